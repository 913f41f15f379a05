// ombrix-speak: speaks a text into a WAV file through the Sherpa plug-in.
//
// The program is a host application like any other: it links only the host SDK, loads
// libOmbrixSherpa.so at run time from its own installation (<prefix>/lib next to
// <prefix>/bin), finds the "Sherpa" extension, creates a "Sherpa.TTS" node from a
// configuration map, and pulls the node's output block by block through a GraphRunner
// into a WavWriter. It never includes a header of the plug-in: it knows the node only by
// its type name, its actions and its events.
//
// The graph clock. A live host pulls one block per block of wall time. This tool renders
// faster than that while nothing is pending, but the node's synthesis runs on the node's
// own worker thread, and the only sign that a piece has been synthesised is its audio in
// the output. So while the node may be working on a piece (from the moment text is handed
// to it or a playback ends, until the piece's audio shows up) the tool pulls blocks at
// wall-clock speed, exactly as an audio device would. The output therefore sounds as it
// would on a device, with the same (short) gaps that synthesis takes.
//
// Reading the timeline. Each piece the node synthesises is reported by its
// "synthesisStarted" event ("started"), then by the first block in which its audio is
// heard ("playing"), and ends either with a "finished" event ("finished") or, when the
// next piece's audio replaced it before its end, as "interrupted"; the node sends no
// event for an interrupted piece, so the tool infers it: a "finished" event always
// belongs to the newest piece that is playing, and older pieces still playing at that
// moment were cut off by their successor. The seconds of audio given for an interrupted
// piece run from its first audible block to the start of its successor's synthesis, so
// at least that much of it was heard; when its audio arrived while other audio was still
// sounding, the arrival cannot be told apart, and the timeline gives an upper bound
// instead (from the start of its synthesis to the start of its successor's).

#include "host/GraphRunner.h"
#include "host/Ombrix.h"

#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using ombrix::LogLevel;

// Exit statuses (also listed by --help).
constexpr int kExitUsage = 2;
constexpr int kExitNoVoice = 3;
constexpr int kExitPlugin = 4;
constexpr int kExitRuntime = 5;

// Where the plug-in looks for its default English voice, below the base directory of
// the running executable (the parent of the directory holding it).
constexpr const char* kVoiceLanguageDirectory = "en_GB";
constexpr const char* kVoiceDirectory = "vits-piper-en_GB-southern_english_female-low";
constexpr const char* kVoiceModelFile = "en_GB-southern_english_female-low.with_runtime_opt.ort";
constexpr const char* kVoiceTokensFile = "tokens.txt";
constexpr const char* kVoicePhonemeDataDirectory = "espeak-ng-data";
// Written into a voice directory by the installation of the synthetic test voices.
constexpr const char* kTestVoiceMarkerFile = "TEST-VOICE.txt";
constexpr const char* kPluginFile = "libOmbrixSherpa.so";
constexpr const char* kExtensionName = "Sherpa";
constexpr const char* kNodeType = "Sherpa.TTS";
// The node's line for a text it drops because it has no voice loaded.
constexpr const char* kTextRejectedLogLine
    = "[SherpaTTSNode] synthesize is called but TTS instance is not initialized.";

// The node produces 16000 Hz audio in blocks of 160 frames and puts a host resampler with
// these parameters in front of any other graph rate.
constexpr int kNodeInnerSampleRate = 16000;
constexpr int kNodeInnerBlockSize = 160;

// A block whose peak stays below this (-80 dBFS) counts as silence.
constexpr float kSilencePeak = 1.0e-4f;
// Blocks pulled at wall-clock speed after text is handed to the node or a playback ends,
// so that the node's worker can pick the text up before the clock runs on.
constexpr int kHandOffGraceBlocks = 2;
// A piece whose synthesis started while other audio was playing cannot be seen arriving;
// it is taken as playing after this much wall time, or after three times the longest
// synthesis seen so far, whichever is longer.
constexpr double kHiddenArrivalMinimumSeconds = 0.1;
// A piece still not heard after this much wall time is reported as giving no audio.
constexpr double kNoAudioWallSeconds = 30.0;
// After everything is spoken, the tool keeps pulling for the resampler's latency plus
// these margins, then until a silent block, but never longer than the cap.
constexpr double kTailCapSeconds = 1.0;
// Progress lines for long renderings, every this many seconds of graph time.
constexpr double kProgressEverySeconds = 10.0;
// The automatic graph-time limit: a fixed allowance plus an allowance per byte of text
// (far more than any voice needs per character) plus the streaming feed time.
constexpr double kLimitBaseSeconds = 60.0;
constexpr double kLimitSecondsPerByte = 0.25;

struct Options {
    std::string text;
    std::string outputPath = "ombrix-speak.wav";
    int sampleRate = 48000;
    unsigned channels = 2;
    unsigned blockSize = 480;
    std::string modelPath;
    std::string tokensPath;
    std::string dataDirPath;
    std::string pluginPath;
    bool stream = false;
    double wordsPerSecond = 4.0;
    LogLevel logLevel = LogLevel::Warning;
    double maxGraphSeconds = 0.0; // 0: automatic
    ombrix::WavWriter::Format format = ombrix::WavWriter::Format::Pcm16;
    bool showLibraries = false;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A failure with the exit status it ends the program with.
class ToolError : public std::runtime_error {
public:
    ToolError(int status, const std::string& message)
        : std::runtime_error(message)
        , exitStatus(status)
    {
    }
    int exitStatus;
};

void printHelp(std::ostream& out)
{
    out << R"(Usage: ombrix-speak [options] [TEXT...]
Speaks TEXT (the arguments joined by spaces; standard input when there are none or
TEXT is "-") through the Sherpa text-to-speech plug-in and writes the audio to a WAV file.

Output:
  -o, --output FILE        WAV file to write (default: ombrix-speak.wav)
  -r, --rate HZ            graph sample rate (default: 48000)
  -c, --channels N         1 or 2 (default: 2)
  -b, --block FRAMES       frames per graph block (default: 480)
      --format F           pcm16 or float (default: pcm16)

Voice (default: the English voice of this installation,
<prefix>/share/files/en_GB/vits-piper-en_GB-southern_english_female-low/):
      --model FILE         voice model (.onnx, or .ort in ORT format); loaded with the
                           node's "loadModel" action
      --tokens FILE        tokens file (default: tokens.txt next to the model)
      --data-dir DIR       espeak-ng data (default: espeak-ng-data next to the model)

Streaming:
      --stream             feed the text word by word with "appendStreamingText"
                           ("isFinal" on the last word); the node speaks it at
                           sentence boundaries
      --words-per-second N feeding pace in graph time (default: 4)

Other:
      --plugin FILE        plug-in library (default: <prefix>/lib/libOmbrixSherpa.so)
      --log-level L        trace, debug, info, warning, error or none (default: warning)
      --max-seconds S      give up after S seconds of graph time (default: from the
                           text length; generous)
      --show-libraries     list the shared libraries the program has loaded
  -h, --help               this text

Exit status: 0 done; 2 usage error; 3 no voice or the voice did not load;
4 the plug-in could not be loaded or used; 5 rendering failed (output, time limit).
)";
}

std::string requireValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
    const std::optional<std::string>& inlineValue)
{
    if (inlineValue) {
        return *inlineValue;
    }
    if (i + 1 >= args.size()) {
        throw UsageError("option " + name + " needs a value");
    }
    return args[++i];
}

long parseInteger(const std::string& name, const std::string& value, long minimum, long maximum)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || parsed < minimum || parsed > maximum) {
        throw UsageError("option " + name + " wants a whole number from " + std::to_string(minimum) + " to "
            + std::to_string(maximum) + ", not '" + value + "'");
    }
    return parsed;
}

double parsePositive(const std::string& name, const std::string& value)
{
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0 || !(parsed > 0.0) || !std::isfinite(parsed)) {
        throw UsageError("option " + name + " wants a positive number, not '" + value + "'");
    }
    return parsed;
}

// Returns nullopt when --help was asked for.
std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> words;
    bool textFromStdin = false;
    bool onlyText = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (onlyText || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg == "-" && !onlyText) {
                textFromStdin = true;
            } else {
                words.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            onlyText = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = arg.substr(equals + 1);
            arg.resize(equals);
        }
        auto value = [&]() { return requireValue(args, i, arg, inlineValue); };
        if (arg == "-h" || arg == "--help") {
            return std::nullopt;
        } else if (arg == "-o" || arg == "--output") {
            options.outputPath = value();
        } else if (arg == "-r" || arg == "--rate") {
            options.sampleRate = static_cast<int>(parseInteger(arg, value(), 1000, 768000));
        } else if (arg == "-c" || arg == "--channels") {
            options.channels = static_cast<unsigned>(parseInteger(arg, value(), 1, 2));
        } else if (arg == "-b" || arg == "--block") {
            options.blockSize = static_cast<unsigned>(parseInteger(arg, value(), 16, 65536));
        } else if (arg == "--format") {
            const std::string format = value();
            if (format == "pcm16") {
                options.format = ombrix::WavWriter::Format::Pcm16;
            } else if (format == "float") {
                options.format = ombrix::WavWriter::Format::Float32;
            } else {
                throw UsageError("option --format wants pcm16 or float, not '" + format + "'");
            }
        } else if (arg == "--model") {
            options.modelPath = value();
        } else if (arg == "--tokens") {
            options.tokensPath = value();
        } else if (arg == "--data-dir") {
            options.dataDirPath = value();
        } else if (arg == "--plugin") {
            options.pluginPath = value();
        } else if (arg == "--stream") {
            options.stream = true;
        } else if (arg == "--words-per-second") {
            options.wordsPerSecond = parsePositive(arg, value());
        } else if (arg == "--log-level") {
            const std::string level = value();
            if (!ombrix::Logger::parseLevel(level, options.logLevel)) {
                throw UsageError("option --log-level wants trace, debug, info, warning, error or none, not '"
                    + level + "'");
            }
        } else if (arg == "--max-seconds") {
            options.maxGraphSeconds = parsePositive(arg, value());
        } else if (arg == "--show-libraries") {
            options.showLibraries = true;
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    if ((!options.tokensPath.empty() || !options.dataDirPath.empty()) && options.modelPath.empty()) {
        throw UsageError("--tokens and --data-dir go with --model");
    }
    if (!words.empty() && textFromStdin) {
        throw UsageError("give the text either as arguments or on standard input (\"-\"), not both");
    }
    if (words.empty()) {
        options.text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        // The line end that `echo` and editors leave at the end is not part of the text.
        while (!options.text.empty() && (options.text.back() == '\n' || options.text.back() == '\r')) {
            options.text.pop_back();
        }
    } else {
        for (std::size_t i = 0; i < words.size(); ++i) {
            options.text += (i ? " " : "") + words[i];
        }
    }
    if (options.text.empty()) {
        throw UsageError("no text given (pass it as arguments or on standard input)");
    }
    return options;
}

// The base directory of this installation: the executable's path from /proc/self/exe
// with its last two components removed, as the plug-in computes it for its default models.
fs::path installationBase()
{
    char buffer[1024];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length < 0) {
        throw ToolError(kExitRuntime, "cannot read /proc/self/exe: " + std::string(std::strerror(errno)));
    }
    buffer[length] = '\0';
    return fs::path(buffer).parent_path().parent_path();
}

struct VoiceFiles {
    std::string model;
    std::string tokens;
    std::string dataDir;
    bool isDefault = true;
};

VoiceFiles resolveVoice(const Options& options, const fs::path& base)
{
    VoiceFiles voice;
    if (options.modelPath.empty()) {
        const fs::path directory = base / "share" / "files" / kVoiceLanguageDirectory / kVoiceDirectory;
        voice.model = (directory / kVoiceModelFile).string();
        voice.tokens = (directory / kVoiceTokensFile).string();
        voice.dataDir = (directory / kVoicePhonemeDataDirectory).string();
        voice.isDefault = true;
    } else {
        const fs::path directory = fs::path(options.modelPath).parent_path();
        voice.model = options.modelPath;
        voice.tokens
            = options.tokensPath.empty() ? (directory / kVoiceTokensFile).string() : options.tokensPath;
        voice.dataDir = options.dataDirPath.empty() ? (directory / kVoicePhonemeDataDirectory).string()
                                                    : options.dataDirPath;
        voice.isDefault = false;
    }
    return voice;
}

// Fails with a message that says which file is missing and how to get a voice.
void checkVoiceFiles(const VoiceFiles& voice, const fs::path& base)
{
    std::error_code error;
    const bool hasModel = fs::is_regular_file(voice.model, error);
    const bool hasTokens = fs::is_regular_file(voice.tokens, error);
    const bool hasData = fs::is_directory(voice.dataDir, error);
    if (hasModel && hasTokens && hasData) {
        return;
    }
    std::ostringstream message;
    if (voice.isDefault && !hasModel) {
        message << "no voice found. The default English voice is looked up at\n  " << voice.model
                << "\nand that file does not exist.";
    } else {
        message << "the voice is incomplete:";
        if (!hasModel) {
            message << "\n  model file missing: " << voice.model;
        }
        if (!hasTokens) {
            message << "\n  tokens file missing: " << voice.tokens;
        }
        if (!hasData) {
            message << "\n  espeak-ng data directory missing: " << voice.dataDir;
        }
    }
    message << "\nInstall the English voice into this installation with\n  scripts/install-voice.sh --prefix "
            << base.string()
            << "\nor name voice files explicitly with --model FILE [--tokens FILE] [--data-dir DIR].";
    throw ToolError(kExitNoVoice, message.str());
}

std::string quotedText(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

// The text without whitespace and asterisks (which the node does not speak), for checking
// that the pieces the node reported cover the whole text.
std::string spokenCharacters(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '*') {
            out += c;
        }
    }
    return out;
}

// Streaming tokens: each word with the whitespace that follows it (leading whitespace
// goes with the first word), so that the tokens joined give the text back exactly.
std::vector<std::string> splitIntoTokens(const std::string& text)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::vector<std::string> tokens;
    std::string current;
    bool inTrailingSpace = false;
    bool seenWord = false;
    for (const char c : text) {
        if (isSpace(c)) {
            inTrailingSpace = seenWord;
        } else if (inTrailingSpace) {
            tokens.push_back(current);
            current.clear();
            inTrailingSpace = false;
        } else {
            seenWord = true;
        }
        current += c;
    }
    if (!current.empty()) {
        tokens.push_back(current);
    }
    return tokens;
}

int dlIteratePrinter(dl_phdr_info* info, size_t, void* data)
{
    auto* out = static_cast<std::vector<std::string>*>(data);
    const std::string name = info->dlpi_name ? info->dlpi_name : "";
    for (const char* wanted : {"libOmbrixSDK", "libOmbrixSherpa", "libsherpa-onnx-c-api", "libonnxruntime"}) {
        if (name.find(wanted) != std::string::npos) {
            std::error_code error;
            const fs::path canonical = fs::canonical(name, error);
            out->push_back(error ? name : canonical.string());
        }
    }
    return 0;
}

// Frames (at the graph rate) by which a resampler like the node's delays its audio.
double resamplerLatencyFrames(int sampleRate, unsigned channels, unsigned blockSize)
{
    if (sampleRate == kNodeInnerSampleRate) {
        return 0.0;
    }
    ombrix::AudioGraphResampler probe(kNodeInnerSampleRate, kNodeInnerBlockSize);
    probe.setNumberOfBuses(0, 1);
    probe.setProcessCallback([](ombrix::AudioBusList&, ombrix::AudioBusList& outputs) {
        outputs.getBus(0).clear();
        return true;
    });
    std::vector<std::vector<float>> storage(channels, std::vector<float>(blockSize));
    std::vector<float*> pointers;
    for (auto& channel : storage) {
        pointers.push_back(channel.data());
    }
    ombrix::AudioBuffer<float> buffer(pointers.data(), channels, blockSize, true, sampleRate);
    ombrix::AudioBusArray<0> inputs;
    ombrix::AudioBusArray<1> outputs(ombrix::AudioBusFormat(sampleRate, channels));
    outputs.getBus(0).setBuffer(&buffer);
    probe.process(inputs, outputs);
    return std::max(0.0, probe.getLatencyFrames());
}

// The first frame of the block in which any channel reaches the silence threshold.
std::optional<unsigned> firstAudibleFrame(const ombrix::AudioBuffer<float>& buffer)
{
    std::optional<unsigned> first;
    for (unsigned c = 0; c < buffer.getNumberOfChannels(); ++c) {
        const float* samples = buffer.getReadPointer(c);
        const unsigned end = first.value_or(buffer.getNumberOfFrames());
        for (unsigned i = 0; i < end; ++i) {
            if (std::fabs(samples[i]) >= kSilencePeak) {
                first = i;
                break;
            }
        }
    }
    return first;
}

// Paces blocks at wall-clock speed, as an audio device would pull them, whenever asked;
// blocks pulled without it cost no wall time at all.
class WallClockPacer {
public:
    explicit WallClockPacer(Clock::duration blockDuration)
        : block(blockDuration)
    {
    }

    // Call once before each block; blocks until that block's time when `paced`.
    void beforeBlock(bool paced)
    {
        if (paced) {
            if (!wasPaced) {
                deadline = Clock::now();
            }
            std::this_thread::sleep_until(deadline);
            deadline += block;
        }
        wasPaced = paced;
    }

private:
    Clock::duration block;
    Clock::time_point deadline;
    bool wasPaced = false;
};

// One piece of text as the node synthesised it, seen from the host.
struct Piece {
    enum class State { Synthesising, Playing, Finished, Interrupted, NoAudio };

    std::string text;
    double startWall = 0.0;
    std::uint64_t startFrame = 0;
    State state = State::Synthesising;
    // Set when its audio is known to be in the graph: the block from which on the
    // finished event of a later block can belong to it.
    std::uint64_t playingBlock = 0;
    std::uint64_t playingFrame = 0;
    double playingWall = 0.0;
    bool heardArriving = false; // seen as silence turning into sound
    std::uint64_t endFrame = 0;
    double endWall = 0.0;
    std::size_t interruptedBy = 0;
};

struct TimelineEvent {
    std::uint64_t frame;
    double wall;
    std::string what;
};

class SpeakSession {
public:
    SpeakSession(Options opts, VoiceFiles voiceFiles, fs::path baseDirectory)
        : options(std::move(opts))
        , voice(std::move(voiceFiles))
        , base(std::move(baseDirectory))
    {
    }

    ~SpeakSession()
    {
        // The node's worker may log until the node is gone; only then may the sink that
        // refers to this session go.
        node.reset();
        factory.reset();
        ombrix::Logger::setSink({});
    }

    int run();

private:
    void installLogSink();
    void loadPluginAndCreateNode();
    void handOff(const std::string& action, const ombrix::OXAnyMap& params);
    void collectStartedPieces(std::uint64_t blockIndex);
    void markPlaying(std::size_t index, std::uint64_t blockIndex, std::uint64_t frame, bool heard);
    void onFinished(std::uint64_t blockIndex, std::uint64_t frame);
    void interruptOlderPieces(std::size_t finishedIndex);
    bool allSpoken() const;
    void addEvent(std::uint64_t frame, double wall, std::string what);
    double wallNow() const { return std::chrono::duration<double>(Clock::now() - wallStart).count(); }
    double seconds(std::uint64_t frames) const { return static_cast<double>(frames) / options.sampleRate; }
    void printTimeline() const;
    void printSummary(std::uint64_t framesWritten, double renderWall) const;

    Options options;
    VoiceFiles voice;
    fs::path base;

    std::shared_ptr<ombrix::NodeFactory> factory;
    std::unique_ptr<ombrix::Node> node;
    ombrix::SingleBusAudioSourceNode* source = nullptr;

    Clock::time_point wallStart = Clock::now();
    // Graph frames processed, published for the worker thread's event listener.
    std::atomic<std::uint64_t> graphFrames{0};
    // Set by the log sink (any thread) when the node drops a text for want of a voice.
    std::atomic<bool> textRejected{false};

    // Pieces announced by "synthesisStarted" on the node's worker thread.
    struct StartedPiece {
        std::string text;
        double wall;
        std::uint64_t frame;
    };
    std::mutex startedMutex;
    std::vector<StartedPiece> startedPieces; // guarded by startedMutex

    // "finished" events; emitted on the audio thread, which is this program's main thread
    // (GraphRunner::processBlock runs the node on the caller's thread).
    std::atomic<int> finishedEvents{0};

    // Main-thread state of the rendering.
    std::vector<Piece> pieces;
    std::optional<std::size_t> synthesising;
    double longestSynthesisWall = 0.0;
    std::vector<TimelineEvent> events;
    std::string spokenTarget;
    std::string spokenSoFar;
};

void SpeakSession::installLogSink()
{
    const LogLevel shown = options.logLevel;
    // Error lines always reach the sink so that a dropped text is noticed; they are only
    // printed when the chosen level asks for them.
    ombrix::Logger::setLevel(std::min(shown, LogLevel::Error));
    ombrix::Logger::setSink([this, shown](LogLevel level, const std::string& line) {
        if (line.find(kTextRejectedLogLine) != std::string::npos) {
            textRejected.store(true);
        }
        if (level >= shown) {
            std::fprintf(stderr, "[%s] %s\n", ombrix::Logger::levelName(level), line.c_str());
        }
    });
}

void SpeakSession::loadPluginAndCreateNode()
{
    auto& manager = ombrix::ExtensionManager::getInstance();
    std::string error;
    if (!manager.loadLibrary(options.pluginPath, &error)) {
        throw ToolError(kExitPlugin, "cannot load the plug-in " + options.pluginPath + ": " + error);
    }
    const auto extension = manager.findExtension(kExtensionName);
    if (!extension) {
        throw ToolError(kExitPlugin,
            "the plug-in " + options.pluginPath + " registered no extension named \"" + kExtensionName
                + "\"");
    }
    factory = extension->getNodeFactory();
    if (!factory || !factory->findNodeType(kNodeType)) {
        throw ToolError(kExitPlugin,
            std::string("the \"") + kExtensionName + "\" extension offers no node type \"" + kNodeType
                + "\"");
    }

    // With explicit voice files, the node's own attempt at the default voice during
    // construction does not matter; its log lines would only confuse.
    const LogLevel level = ombrix::Logger::getLevel();
    if (!voice.isDefault) {
        ombrix::Logger::setLevel(LogLevel::None);
    }
    const auto created = Clock::now();
    try {
        node = factory->createNode(kNodeType, ombrix::OXAnyMap{});
    } catch (...) {
        ombrix::Logger::setLevel(level);
        throw;
    }
    ombrix::Logger::setLevel(level);
    source = dynamic_cast<ombrix::SingleBusAudioSourceNode*>(node.get());
    if (!source) {
        throw ToolError(kExitPlugin, std::string("the node \"") + kNodeType + "\" is not an audio source");
    }

    if (!voice.isDefault) {
        const auto result = node->callAction("loadModel",
            ombrix::OXAnyMap{
                {"modelPath", voice.model}, {"tokensPath", voice.tokens}, {"dataPath", voice.dataDir}});
        if (result.isError()) {
            throw ToolError(kExitPlugin, "the node refused \"loadModel\": " + result.getError());
        }
        if (!result.getValue().convert<bool>()) {
            throw ToolError(kExitNoVoice,
                "the voice could not be loaded (\"loadModel\" returned false) from\n  model:    "
                    + voice.model + "\n  tokens:   " + voice.tokens + "\n  data dir: " + voice.dataDir
                    + "\nRun with --log-level info to see the node's reasons.");
        }
    }
    std::printf("node %s created in %.3f s (voice loaded)\n", kNodeType,
        std::chrono::duration<double>(Clock::now() - created).count());

    node->addEventListener("synthesisStarted", [this](const std::string&, const ombrix::OXAny& data) {
        // Runs on the node's worker thread.
        std::string text;
        try {
            text = data.convert<ombrix::OXAnyMap>().get<std::string>("text");
        } catch (const std::exception&) {
            text = "(no text in the event)";
        }
        const double wall = wallNow();
        const std::uint64_t frame = graphFrames.load();
        std::lock_guard lock(startedMutex);
        startedPieces.push_back({std::move(text), wall, frame});
    });
    node->addEventListener(
        "finished", [this](const std::string&, const ombrix::OXAny&) { ++finishedEvents; });
}

void SpeakSession::handOff(const std::string& action, const ombrix::OXAnyMap& params)
{
    const auto result = node->callAction(action, params);
    if (result.isError()) {
        throw ToolError(kExitPlugin, "the node refused \"" + action + "\": " + result.getError());
    }
}

void SpeakSession::addEvent(std::uint64_t frame, double wall, std::string what)
{
    events.push_back({frame, wall, std::move(what)});
}

void SpeakSession::collectStartedPieces(std::uint64_t blockIndex)
{
    std::vector<StartedPiece> fresh;
    {
        std::lock_guard lock(startedMutex);
        if (startedPieces.size() <= pieces.size()) {
            return;
        }
        fresh.assign(startedPieces.begin() + static_cast<std::ptrdiff_t>(pieces.size()), startedPieces.end());
    }
    for (auto& started : fresh) {
        // The worker synthesises one piece at a time and publishes its audio before it
        // starts the next, so a new start means the previous piece is in the graph.
        if (synthesising) {
            markPlaying(*synthesising, blockIndex, started.frame, false);
        }
        Piece piece;
        piece.text = started.text;
        piece.startWall = started.wall;
        piece.startFrame = started.frame;
        pieces.push_back(piece);
        synthesising = pieces.size() - 1;
        spokenSoFar += spokenCharacters(started.text);
        addEvent(started.frame, started.wall,
            "piece " + std::to_string(pieces.size()) + " started: " + quotedText(started.text));
    }
}

void SpeakSession::markPlaying(std::size_t index, std::uint64_t blockIndex, std::uint64_t frame, bool heard)
{
    Piece& piece = pieces[index];
    if (piece.state != Piece::State::Synthesising) {
        return;
    }
    piece.state = Piece::State::Playing;
    piece.playingBlock = blockIndex;
    piece.playingFrame = std::max(frame, piece.startFrame);
    piece.playingWall = wallNow();
    piece.heardArriving = heard;
    if (heard) {
        longestSynthesisWall = std::max(longestSynthesisWall, piece.playingWall - piece.startWall);
    }
    if (synthesising == index) {
        synthesising.reset();
    }
    addEvent(piece.playingFrame, piece.playingWall,
        "piece " + std::to_string(index + 1)
            + (heard ? " playing" : " playing (start not heard: by this time)"));
}

void SpeakSession::interruptOlderPieces(std::size_t newerIndex)
{
    for (std::size_t i = 0; i < newerIndex; ++i) {
        Piece& piece = pieces[i];
        if (piece.state != Piece::State::Playing) {
            continue;
        }
        const Piece& successor = pieces[i + 1];
        piece.state = Piece::State::Interrupted;
        piece.interruptedBy = i + 2;
        piece.endFrame = std::max(successor.startFrame, piece.playingFrame);
        piece.endWall = successor.startWall;
        // Heard from its first audible block to the start of its successor's synthesis;
        // when its arrival was hidden under other audio, only an upper bound is known.
        char heard[96];
        if (piece.heardArriving) {
            std::snprintf(heard, sizeof(heard), " after %.3f s of its audio",
                seconds(piece.endFrame - piece.playingFrame));
        } else {
            std::snprintf(heard, sizeof(heard), ", at most %.3f s of its audio heard",
                seconds(successor.startFrame - std::min(successor.startFrame, piece.startFrame)));
        }
        addEvent(std::max(successor.playingFrame, successor.startFrame), successor.playingWall,
            "piece " + std::to_string(i + 1) + " interrupted by piece " + std::to_string(i + 2) + heard);
    }
}

void SpeakSession::onFinished(std::uint64_t blockIndex, std::uint64_t frame)
{
    // The event belongs to the newest piece that was already in the graph before this
    // block: a piece that arrived in this very block can only have replaced the one
    // that ended in it.
    std::optional<std::size_t> owner;
    for (std::size_t i = pieces.size(); i-- > 0;) {
        if (pieces[i].state == Piece::State::Playing && pieces[i].playingBlock < blockIndex) {
            owner = i;
            break;
        }
    }
    if (!owner && synthesising) {
        // Its audio arrived and ended unseen (a piece too short or too quiet to notice).
        owner = synthesising;
        markPlaying(*owner, blockIndex, frame, false);
    }
    if (!owner) {
        addEvent(frame, wallNow(), "\"finished\" event without a piece playing");
        return;
    }
    interruptOlderPieces(*owner);
    Piece& piece = pieces[*owner];
    piece.state = Piece::State::Finished;
    piece.endFrame = frame;
    piece.endWall = wallNow();
    addEvent(frame, piece.endWall, "piece " + std::to_string(*owner + 1) + " finished");
}

bool SpeakSession::allSpoken() const
{
    if (pieces.empty() || synthesising || spokenSoFar.size() < spokenTarget.size()) {
        return false;
    }
    return std::all_of(pieces.begin(), pieces.end(), [](const Piece& piece) {
        return piece.state != Piece::State::Synthesising && piece.state != Piece::State::Playing;
    });
}

int SpeakSession::run()
{
    installLogSink();
    loadPluginAndCreateNode();
    if (options.showLibraries) {
        std::vector<std::string> libraries;
        dl_iterate_phdr(dlIteratePrinter, &libraries);
        for (const auto& library : libraries) {
            std::printf("library: %s\n", library.c_str());
        }
    }

    ombrix::WavWriter wav;
    if (!wav.open(options.outputPath, options.sampleRate, options.channels, options.format)) {
        throw ToolError(kExitRuntime, "cannot write " + options.outputPath);
    }
    ombrix::GraphRunner runner(options.sampleRate, options.channels, options.blockSize);
    runner.setSource(source);
    if (!runner.start()) {
        throw ToolError(kExitRuntime,
            "the node refused the graph format (" + std::to_string(options.sampleRate) + " Hz, "
                + std::to_string(options.channels) + " channels)");
    }

    const double latency = resamplerLatencyFrames(options.sampleRate, options.channels, options.blockSize);
    const auto innerBlockFrames = static_cast<std::uint64_t>(
        std::ceil(static_cast<double>(kNodeInnerBlockSize) * options.sampleRate / kNodeInnerSampleRate));
    const std::uint64_t minimumTailFrames
        = static_cast<std::uint64_t>(std::ceil(latency)) + options.blockSize + innerBlockFrames;
    const auto tailCapFrames
        = minimumTailFrames + static_cast<std::uint64_t>(kTailCapSeconds * options.sampleRate);

    const std::vector<std::string> tokens
        = options.stream ? splitIntoTokens(options.text) : std::vector<std::string>{};
    spokenTarget = spokenCharacters(options.text);
    const double limitSeconds = options.maxGraphSeconds > 0.0
        ? options.maxGraphSeconds
        : kLimitBaseSeconds + kLimitSecondsPerByte * static_cast<double>(options.text.size())
            + 2.0 * static_cast<double>(tokens.size()) / options.wordsPerSecond;
    const auto limitFrames = static_cast<std::uint64_t>(limitSeconds * options.sampleRate);

    std::printf("graph: %d Hz, %u channel%s, blocks of %u frames; resampler latency %.1f frames\n",
        options.sampleRate, options.channels, options.channels == 1 ? "" : "s", options.blockSize, latency);
    if (options.stream) {
        std::printf("mode: streaming %zu words at %.3g words per second of graph time\n", tokens.size(),
            options.wordsPerSecond);
    } else {
        std::printf("mode: whole text (%zu bytes) with \"synthesize\"\n", options.text.size());
    }
    std::fflush(stdout);

    wallStart = Clock::now();
    WallClockPacer pacer(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(static_cast<double>(options.blockSize) / options.sampleRate)));
    int graceBlocks = 0;
    bool previousSilent = true;
    bool everythingHandedOff = false;
    std::size_t nextToken = 0;
    std::optional<std::uint64_t> doneFrame;
    double waitingSince = -1.0; // wall time the wait began; negative: not waiting
    std::uint64_t frames = 0;
    double nextProgress = kProgressEverySeconds;
    std::string failure;

    if (!options.stream) {
        handOff("synthesize", ombrix::OXAnyMap{{"text", options.text}});
        everythingHandedOff = true;
        graceBlocks = kHandOffGraceBlocks;
    }

    for (std::uint64_t block = 0;; ++block) {
        // Streamed words whose time has come, by graph time.
        while (options.stream && nextToken < tokens.size()
            && seconds(frames) * options.wordsPerSecond >= static_cast<double>(nextToken)) {
            const bool isFinal = nextToken + 1 == tokens.size();
            handOff(
                "appendStreamingText", ombrix::OXAnyMap{{"token", tokens[nextToken]}, {"isFinal", isFinal}});
            ++nextToken;
            graceBlocks = kHandOffGraceBlocks;
            if (isFinal) {
                everythingHandedOff = true;
                addEvent(frames, wallNow(), "last word sent with \"isFinal\"");
            }
        }
        collectStartedPieces(block);
        if (textRejected.load()) {
            failure = "the node has no voice loaded and dropped the text (see its error lines; run with "
                      "--log-level debug for the whole story)";
            break;
        }

        if (synthesising) {
            const double waited = wallNow() - pieces[*synthesising].startWall;
            const double hiddenArrival = std::max(kHiddenArrivalMinimumSeconds, 3.0 * longestSynthesisWall);
            if (!previousSilent && waited > hiddenArrival) {
                markPlaying(*synthesising, block, frames, false);
            } else if (waited > kNoAudioWallSeconds) {
                Piece& piece = pieces[*synthesising];
                piece.state = Piece::State::NoAudio;
                synthesising.reset();
                addEvent(frames, wallNow(),
                    "piece " + std::to_string(&piece - pieces.data() + 1) + " gave no audio within "
                        + std::to_string(int(kNoAudioWallSeconds)) + " s");
            }
        }

        if (!doneFrame && everythingHandedOff && graceBlocks == 0 && allSpoken()) {
            doneFrame = frames;
        }
        if (doneFrame) {
            const std::uint64_t tail = frames - *doneFrame;
            if ((tail >= minimumTailFrames && previousSilent) || tail >= tailCapFrames) {
                break;
            }
        } else if (frames >= limitFrames) {
            failure = "gave up after " + std::to_string(static_cast<int>(limitSeconds))
                + " s of graph time without the text having finished playing (--max-seconds)";
            break;
        }

        // Everything is handed off, nothing is playing or being synthesised, yet part of
        // the text has not been announced: the node's worker has not picked it up yet.
        const bool waitingForNode = !doneFrame && everythingHandedOff && !synthesising
            && spokenSoFar.size() < spokenTarget.size()
            && std::none_of(pieces.begin(), pieces.end(),
                [](const Piece& p) { return p.state == Piece::State::Playing; });
        if (!waitingForNode) {
            waitingSince = -1.0;
        } else if (waitingSince < 0.0) {
            waitingSince = wallNow();
        } else if (wallNow() - waitingSince > kNoAudioWallSeconds) {
            failure = "part of the text was never synthesised by the node";
            break;
        }

        // Wall-clock pacing while the node may be working on a piece.
        pacer.beforeBlock(graceBlocks > 0 || synthesising.has_value() || waitingForNode);
        if (graceBlocks > 0) {
            --graceBlocks;
        }

        const int finishedBefore = finishedEvents.load();
        const auto& buffer = runner.processBlock();
        const std::uint64_t blockStart = frames;
        frames += buffer.getNumberOfFrames();
        graphFrames.store(frames);
        if (!wav.write(buffer)) {
            failure = "writing " + options.outputPath + " failed";
            break;
        }

        const std::optional<unsigned> firstLoud = firstAudibleFrame(buffer);
        const bool silent = !firstLoud;

        // A playback that ended here may let the node cut held-back streaming text.
        for (int n = finishedEvents.load() - finishedBefore; n > 0; --n) {
            onFinished(block, blockStart);
            graceBlocks = kHandOffGraceBlocks;
        }
        // The first sound after silence is the piece being synthesised arriving.
        if (synthesising && previousSilent && !silent) {
            markPlaying(*synthesising, block, blockStart + *firstLoud, true);
        }
        previousSilent = silent;

        if (seconds(frames) >= nextProgress) {
            std::fprintf(stderr, "progress: %.0f s of audio rendered in %.1f s, %zu piece%s started\n",
                seconds(frames), wallNow(), pieces.size(), pieces.size() == 1 ? "" : "s");
            nextProgress += kProgressEverySeconds;
        }
    }
    const double renderWall = wallNow();
    runner.stop();
    wav.close();

    // Pieces still playing with a successor were cut off by it.
    if (!pieces.empty()) {
        std::size_t newestPlaying = pieces.size();
        for (std::size_t i = pieces.size(); i-- > 0;) {
            if (pieces[i].state == Piece::State::Playing) {
                newestPlaying = i;
                break;
            }
        }
        if (newestPlaying < pieces.size()) {
            interruptOlderPieces(newestPlaying);
        }
    }
    if (doneFrame) {
        addEvent(
            frames, renderWall, "end of output, " + std::to_string(frames - *doneFrame) + " frames of tail");
    }
    printTimeline();
    printSummary(wav.getFramesWritten(), renderWall);
    if (!failure.empty()) {
        throw ToolError(textRejected.load() ? kExitNoVoice : kExitRuntime, failure);
    }
    return 0;
}

void SpeakSession::printTimeline() const
{
    std::vector<TimelineEvent> sorted = events;
    std::stable_sort(sorted.begin(), sorted.end(),
        [](const TimelineEvent& a, const TimelineEvent& b) { return a.frame < b.frame; });
    std::printf("timeline:\n   graph s    wall s  event\n");
    for (const auto& event : sorted) {
        std::printf("%10.3f %9.3f  %s\n", seconds(event.frame), event.wall, event.what.c_str());
    }
}

void SpeakSession::printSummary(std::uint64_t framesWritten, double renderWall) const
{
    auto count = [this](Piece::State state) {
        return std::count_if(
            pieces.begin(), pieces.end(), [state](const Piece& p) { return p.state == state; });
    };
    std::printf("pieces: %zu started, %zd finished, %zd interrupted", pieces.size(),
        count(Piece::State::Finished), count(Piece::State::Interrupted));
    if (const auto silent = count(Piece::State::NoAudio)) {
        std::printf(", %zd without audio", silent);
    }
    std::printf("\n");
    const double audioSeconds = seconds(framesWritten);
    std::printf("output: %s, %.3f s of audio (%d Hz, %u channel%s, %s)\n", options.outputPath.c_str(),
        audioSeconds, options.sampleRate, options.channels, options.channels == 1 ? "" : "s",
        options.format == ombrix::WavWriter::Format::Pcm16 ? "16-bit PCM" : "32-bit float");
    std::printf("wall time: %.3f s, real-time factor %.3f\n", renderWall,
        audioSeconds > 0.0 ? renderWall / audioSeconds : 0.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<Options> options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "ombrix-speak: %s\nTry 'ombrix-speak --help'.\n", error.what());
        return kExitUsage;
    }
    if (!options) {
        printHelp(std::cout);
        return 0;
    }
    try {
        const fs::path base = installationBase();
        if (options->pluginPath.empty()) {
            options->pluginPath = (base / "lib" / kPluginFile).string();
        }
        const VoiceFiles voice = resolveVoice(*options, base);
        checkVoiceFiles(voice, base);
        std::printf("plug-in: %s\n", options->pluginPath.c_str());
        std::printf("voice: %s%s\n", voice.model.c_str(), voice.isDefault ? " (default English voice)" : "");
        if (fs::exists(fs::path(voice.model).parent_path() / kTestVoiceMarkerFile)) {
            std::printf("note: this is the synthetic test voice: the output is test tones, not speech\n");
        }
        std::fflush(stdout);
        SpeakSession session(*options, voice, base);
        return session.run();
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "ombrix-speak: error: %s\n", error.what());
        return error.exitStatus;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "ombrix-speak: error: %s\n", error.what());
        return kExitRuntime;
    }
}
