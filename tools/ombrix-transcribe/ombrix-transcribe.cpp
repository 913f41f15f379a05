// ombrix-transcribe: turns a WAV file (or raw samples on standard input) into text with the
// speech-to-text node.
//
// The program is a host that compiles the node in (the node is a class, not a plug-in
// node type): it runs a GraphRunner at the input's sample rate with a source node that
// plays the input, mixed down to mono, and the SherpaSTTNode as the sink, and calls the
// node's transcribe() every --interval seconds of graph time. By default the graph runs
// as fast as the machine allows, on this thread, so the texts and their times are the
// same on every run; --realtime runs the graph on a thread of its own paced by the wall
// clock, as an audio device would, and transcribes from this thread, as a live host does.
//
// The recogniser holds back the last part of what it was fed until more audio follows
// (kTailSilenceSeconds below), so after the input the graph plays that much silence
// before the final transcribe().
//
// Long inputs: with endpoint detection off, the recogniser's text and its cost per decode
// step grow with the stream. --segment SECONDS bounds that: once a segment is that long,
// the next stretch of silence (as long as the tail above, so that everything before it has
// been decoded) ends it: its text is taken, the same model is loaded again (a new stream),
// and the texts of the segments are joined with spaces.

#include "AudioInput.h"
#include "tools/common/CommandLine.h"
#include "tools/common/Progress.h"
#include "tools/common/ToolCommon.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/GraphRunner.h"
#include "host/Logger.h"
#include "models/ModelFile.h"
#include "ombrix/sherpa/SherpaSTTNode.h"

namespace {

namespace fs = std::filesystem;
using ombrix::LogLevel;
using ombrix::extensions::sherpa::SherpaSTTNode;
using ombrix::tools::AudioInput;
using ombrix::tools::InputError;
using ombrix::tools::jsonString;
using ombrix::tools::RawFormat;
using Clock = std::chrono::steady_clock;
using ombrix::tools::kExitInput;
using ombrix::tools::kExitNoModel;
using ombrix::tools::kExitRuntime;
using ombrix::tools::kExitUsage;
using ombrix::tools::ToolError;
using ombrix::tools::UsageError;

constexpr const char* kProgramName = "ombrix-transcribe";

constexpr double kDefaultIntervalSeconds = 1.0;
/// Default block: 10 ms of the input's rate.
constexpr int kDefaultBlocksPerSecond = 100;
constexpr unsigned kMaxBlockFrames = 65536;
/// Silence played after the input so that the recogniser decodes what it holds back.
/// Measured with the tone-burst recogniser of the tests, on bursts that end exactly at the
/// end of the input: 0.01 to 0.26 s of silence is needed, depending on where the input
/// ends in the recogniser's decoding grid (a period of 0.32 s; the same at 16000, 44100
/// and 48000 Hz). 0.6 s leaves more than twice that, also for models with longer chunks.
constexpr double kTailSilenceSeconds = 0.6;
/// A block whose peak stays below this (-60 dBFS) counts as silence for --segment.
constexpr float kSilencePeak = 1.0e-3f;
constexpr unsigned kRingFrames = SherpaSTTNode::kInputBufferFrames;
/// Frames read from the input at a time.
constexpr std::size_t kReadFrames = 16384;
constexpr double kSecondsPerMinute = 60.0;

struct Options {
    std::string input;
    bool raw = false;
    int rawRate = 0;
    unsigned rawChannels = 1;
    RawFormat rawFormat = RawFormat::S16;
    std::string modelPath;
    std::string tokensPath;
    std::string graphPath;
    unsigned blockFrames = 0; // 0: 10 ms of the input's rate
    double intervalSeconds = kDefaultIntervalSeconds;
    double segmentSeconds = 0.0; // 0: one stream for the whole input
    double tailSeconds = kTailSilenceSeconds;
    bool realtime = false;
    bool json = false;
    bool quiet = false;
    LogLevel logLevel = LogLevel::Warning;
};

void printHelp()
{
    std::printf(R"(Usage: ombrix-transcribe [options] FILE.wav
  or:  ombrix-transcribe [options] --raw --rate HZ
Transcribes the audio of FILE.wav ("-": a WAV stream on standard input; with --raw, raw
samples on standard input) with the Sherpa speech-to-text node. The node is the sink of a graph
running at the input's sample rate; a stereo or multichannel input is mixed down to mono
(the mean of its channels) before the graph.

Output: each time the text grows, a line "<graph seconds><TAB><text>" (the graph time
when the text was taken); the final text is the last line of standard output. Status goes
to standard error.

Model (default: the node's default files, <prefix>/share/files/ below this program's
installation, then Models/ and files/ below the working directory):
  -m, --model FILE      streaming Zipformer2 CTC model (.onnx, or .ort in ORT format)
      --tokens FILE     tokens file (default: tokens.txt next to the model)
      --graph FILE      HLG decoding graph (default: HLG.fst next to the model)

Graph:
  -b, --block FRAMES    frames per graph block (default: 10 ms of the input's rate)
  -i, --interval S      transcribe every S seconds of graph time (default: 1); at most
                        what the node's ring holds, 480000 frames (30 s at 16000 Hz,
                        10 s at 48000 Hz), so that no audio is dropped
      --realtime        pace the graph on the wall clock as an audio device would, and
                        transcribe from another thread as a live host does (the times
                        printed are then when the text was taken, which can differ a
                        little between runs; the final text does not)
      --tail S          seconds of silence played after the input (default: 0.6)
      --segment S       bound the cost of long inputs: after S seconds of a segment, the
                        next 0.6 s of silence ends it; its text is kept, the same model is
                        loaded again and the texts are joined with spaces (default: off)

Raw input (standard input, little-endian, interleaved):
      --raw             read raw samples instead of a WAV stream
  -r, --rate HZ         their sample rate (required with --raw)
  -c, --channels N      their channel count (default: 1)
      --raw-format F    s16 (16-bit PCM, the default) or f32 (32-bit float)

Other:
      --json            print one line of JSON instead: the final text, the timed texts,
                        the input and the timing
  -q, --quiet           print only the final text (or the JSON), and errors
      --log-level L     the node's log lines from level L on: trace, debug, info,
                        warning, error or none (default: warning)
      --version         print the version and the sherpa-onnx version
  -h, --help            this text

After the input the graph plays 0.6 s of silence (--tail): the recogniser decodes the
end of what it was fed only once more audio follows. The test recogniser needs 0.01 to
0.26 s after the last sound, depending on where the input ends in its 0.32 s grid.

Exit status: 0 done; 2 usage error; 3 no usable model (the message names the files
looked for); 4 the input cannot be read (the message says why); 5 other failures.
)");
}

double parseSeconds(const std::string& name, const std::string& text, bool zeroAllowed)
{
    const char* value = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(value, &end);
    if (*value == '\0' || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < 0.0
        || (!zeroAllowed && parsed == 0.0)) {
        throw UsageError("option " + name + " wants a " + (zeroAllowed ? "" : "positive ")
            + "number of seconds, not '" + text + "'");
    }
    return parsed;
}

enum OptionId {
    kOptModel,
    kOptTokens,
    kOptGraph,
    kOptBlock,
    kOptInterval,
    kOptRealtime,
    kOptSegment,
    kOptTail,
    kOptRaw,
    kOptRate,
    kOptChannels,
    kOptRawFormat,
    kOptJson,
    kOptQuiet,
    kOptLogLevel,
    kOptVersion,
    kOptHelp,
};

// Returns nullopt when the program is done (--help, --version).
std::optional<Options> parseOptions(int argc, char** argv)
{
    using Argument = ombrix::tools::OptionSpec::Argument;
    static const std::vector<ombrix::tools::OptionSpec> kOptions = {
        {"model", 'm', Argument::Required, kOptModel},
        {"tokens", 0, Argument::Required, kOptTokens},
        {"graph", 0, Argument::Required, kOptGraph},
        {"block", 'b', Argument::Required, kOptBlock},
        {"interval", 'i', Argument::Required, kOptInterval},
        {"realtime", 0, Argument::None, kOptRealtime},
        {"segment", 0, Argument::Required, kOptSegment},
        {"tail", 0, Argument::Required, kOptTail},
        {"raw", 0, Argument::None, kOptRaw},
        {"rate", 'r', Argument::Required, kOptRate},
        {"channels", 'c', Argument::Required, kOptChannels},
        {"raw-format", 0, Argument::Required, kOptRawFormat},
        {"json", 0, Argument::None, kOptJson},
        {"quiet", 'q', Argument::None, kOptQuiet},
        {"log-level", 0, Argument::Required, kOptLogLevel},
        {"version", 0, Argument::None, kOptVersion},
        {"help", 'h', Argument::None, kOptHelp},
    };
    Options options;
    bool channelsGiven = false;
    bool done = false;
    const std::vector<std::string> operands = ombrix::tools::parseCommandLine(
        argc, argv, kOptions, [&](const ombrix::tools::ParsedOption& option) {
            const std::string& value = option.value;
            switch (option.id) {
            case kOptModel:
                options.modelPath = value;
                break;
            case kOptTokens:
                options.tokensPath = value;
                break;
            case kOptGraph:
                options.graphPath = value;
                break;
            case kOptBlock:
                options.blockFrames = static_cast<unsigned>(
                    ombrix::tools::parseInteger(option.name, value, 1, kMaxBlockFrames));
                break;
            case kOptInterval:
                options.intervalSeconds = parseSeconds(option.name, value, false);
                break;
            case kOptRealtime:
                options.realtime = true;
                break;
            case kOptSegment:
                options.segmentSeconds = parseSeconds(option.name, value, true);
                break;
            case kOptTail:
                options.tailSeconds = parseSeconds(option.name, value, true);
                break;
            case kOptRaw:
                options.raw = true;
                break;
            case kOptRate:
                options.rawRate
                    = static_cast<int>(ombrix::tools::parseInteger(option.name, value, 1000, 768000));
                break;
            case kOptChannels:
                options.rawChannels = static_cast<unsigned>(
                    ombrix::tools::parseInteger(option.name, value, 1, ombrix::tools::kMaxInputChannels));
                channelsGiven = true;
                break;
            case kOptRawFormat:
                if (value == "s16") {
                    options.rawFormat = RawFormat::S16;
                } else if (value == "f32") {
                    options.rawFormat = RawFormat::F32;
                } else {
                    throw UsageError("option --raw-format wants s16 or f32, not '" + value + "'");
                }
                break;
            case kOptJson:
                options.json = true;
                break;
            case kOptQuiet:
                options.quiet = true;
                break;
            case kOptLogLevel:
                if (!ombrix::Logger::parseLevel(value, options.logLevel)) {
                    throw UsageError(
                        "option --log-level wants trace, debug, info, warning, error or none, not '" + value
                        + "'");
                }
                break;
            case kOptVersion:
                // The sherpa-onnx library is linked into this program.
                ombrix::tools::printVersion(stdout, kProgramName, kProgramName);
                done = true;
                break;
            case kOptHelp:
                printHelp();
                done = true;
                break;
            }
        });
    if (done) {
        return std::nullopt;
    }
    if (operands.size() > 1) {
        throw UsageError(
            "give one input file (or - for standard input), not " + std::to_string(operands.size()));
    }
    if (options.raw) {
        if (options.rawRate == 0) {
            throw UsageError("--raw needs --rate HZ");
        }
        if (!operands.empty() && operands[0] != "-") {
            throw UsageError("--raw reads standard input; give no file (or -)");
        }
        options.input = "-";
    } else {
        if (options.rawRate != 0 || channelsGiven) {
            throw UsageError("--rate and --channels describe --raw input; a WAV file carries its own");
        }
        if (operands.empty()) {
            throw UsageError("no input given (a WAV file, - for a WAV stream on standard input, or --raw)");
        }
        options.input = operands[0];
    }
    if ((!options.tokensPath.empty() || !options.graphPath.empty()) && options.modelPath.empty()) {
        throw UsageError("--tokens and --graph go with --model");
    }
    return options;
}

// ---- the model ---------------------------------------------------------------------------------

struct ModelFiles {
    std::string model;
    std::string tokens;
    std::string graph;
};

// The node's default files: below this installation, or else below the working directory.
ModelFiles defaultModelFiles(std::vector<std::string>& lookedAt)
{
    using namespace ombrix::extensions::sherpa::model_files;
    const fs::path cwd = fs::current_path();
    auto resolve = [&](const std::string& primary, std::string_view directory, std::string_view leaf) {
        const std::string fallback = (cwd / directory / leaf).string();
        lookedAt.push_back(primary + "  or  " + fallback);
        return fs::exists(primary) ? primary : fallback;
    };
    ModelFiles files;
    files.model = resolve(getModelFilePath(), kFallbackModelDirectory, kSpeechToTextModelFile);
    files.tokens = resolve(getTokensFilePath(), kFallbackFilesDirectory, kSpeechToTextTokensFile);
    files.graph = resolve(getGraphFilePath(), kFallbackFilesDirectory, kSpeechToTextGraphFile);
    return files;
}

// ---- logging -------------------------------------------------------------------------------------

// The node's log lines: shown from the chosen level on (except while the node is being
// built when explicit files were named: its default load is not what was asked for), and
// the warnings and errors kept for the message of a failed load.
class LogCollector {
public:
    explicit LogCollector(LogLevel shownFrom)
        : shownFrom(shownFrom)
    {
        ombrix::Logger::setLevel(LogLevel::Trace);
        ombrix::Logger::setSink([this](LogLevel level, const std::string& line) { take(level, line); });
    }
    ~LogCollector() { ombrix::Logger::setSink({}); }
    LogCollector(const LogCollector&) = delete;
    LogCollector& operator=(const LogCollector&) = delete;

    void setMuted(bool value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        muted = value;
    }
    std::vector<std::string> takeProblems()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(problems, {});
    }
    /// While held, lines to be shown are kept; release() shows them, drop() forgets them
    /// (when a message about the same failure says it all).
    void hold()
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = true;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : held) {
            std::fputs(line.c_str(), stderr);
        }
        held.clear();
        holding = false;
    }
    void drop()
    {
        std::lock_guard<std::mutex> lock(mutex);
        held.clear();
        holding = false;
    }

private:
    void take(LogLevel level, const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (level >= LogLevel::Warning && !muted) {
            problems.push_back(line);
        }
        if (level >= shownFrom && !muted) {
            std::string shown
                = std::string(kProgramName) + ": [" + ombrix::Logger::levelName(level) + "] " + line + "\n";
            if (holding) {
                held.push_back(std::move(shown));
            } else {
                std::fputs(shown.c_str(), stderr);
            }
        }
    }

    std::mutex mutex;
    const LogLevel shownFrom;
    bool muted = false;
    bool holding = false;
    std::vector<std::string> held;
    std::vector<std::string> problems;
};

// ---- the graph's nodes -------------------------------------------------------------------------

// Plays the input (mono) and then the tail of silence; silence after that. Keeps the
// length of the silent run that ends the latest block, for --segment.
class InputSource : public ombrix::SingleBusAudioSourceNode {
public:
    InputSource(AudioInput& input, std::uint64_t tailFrames)
        : input(input)
        , tailFrames(tailFrames)
        , pending(kReadFrames)
    {
    }

    bool setBusFormat(ombrix::AudioBusFormat& format) override
    {
        return format.getNumberOfChannels() == 1 && format.getSampleRate() == input.getSampleRate();
    }

    bool produce(ombrix::AudioBus& bus) override
    {
        ombrix::AudioBuffer<float>* buffer = bus.getBuffer();
        float* out = buffer->getWritePointer(0);
        const unsigned frames = buffer->getNumberOfFrames();
        unsigned filled = 0;
        while (filled < frames && !inputEnded) {
            if (pendingAt == pendingCount) {
                pendingCount = input.readMono(pending.data(), pending.size());
                pendingAt = 0;
                if (pendingCount == 0) {
                    inputEnded = true;
                    break;
                }
            }
            const std::size_t take = std::min<std::size_t>(frames - filled, pendingCount - pendingAt);
            std::copy_n(pending.data() + pendingAt, take, out + filled);
            pendingAt += take;
            filled += static_cast<unsigned>(take);
            inputFrames += take;
        }
        std::fill(out + filled, out + frames, 0.0f);
        if (inputEnded) {
            const std::uint64_t silence = frames - filled;
            tailPlayed = std::min(tailFrames, tailPlayed + silence);
        }
        float peak = 0.0f;
        for (unsigned i = 0; i < frames; ++i) {
            peak = std::max(peak, std::fabs(out[i]));
        }
        silentRunFrames = peak < kSilencePeak ? silentRunFrames + frames : 0;
        return true;
    }

    /// Input and tail played: nothing more to hear.
    bool done() const { return inputEnded && tailPlayed >= tailFrames; }
    std::uint64_t getInputFrames() const { return inputFrames; }
    std::uint64_t getSilentRunFrames() const { return silentRunFrames; }

private:
    AudioInput& input;
    const std::uint64_t tailFrames;
    std::vector<float> pending;
    std::size_t pendingAt = 0;
    std::size_t pendingCount = 0;
    bool inputEnded = false;
    std::uint64_t inputFrames = 0;
    std::uint64_t tailPlayed = 0;
    std::uint64_t silentRunFrames = 0;
};

// The speech-to-text node, counting the frames it could not store.
class CountingSTTNode : public SherpaSTTNode {
public:
    using SherpaSTTNode::consume;
    bool consume(ombrix::AudioBus& bus) override
    {
        const bool stored = SherpaSTTNode::consume(bus);
        if (!stored && bus.getBuffer() != nullptr) {
            droppedFrames.fetch_add(bus.getBuffer()->getNumberOfFrames(), std::memory_order_relaxed);
        }
        return stored;
    }
    std::uint64_t getDroppedFrames() const { return droppedFrames.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> droppedFrames{0};
};

// ---- output ------------------------------------------------------------------------------------

std::string jsonNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

struct TimedText {
    double seconds;
    std::string text;
};

std::string joinText(const std::string& first, const std::string& second)
{
    if (first.empty()) {
        return second;
    }
    return second.empty() ? first : first + " " + second;
}

// ---- the session ---------------------------------------------------------------------------------

class TranscribeSession {
public:
    TranscribeSession(
        const Options& options, AudioInput& input, CountingSTTNode& node, const ModelFiles& model)
        : options(options)
        , input(input)
        , node(node)
        , model(model)
        , rate(input.getSampleRate())
        , blockFrames(options.blockFrames != 0
                  ? options.blockFrames
                  : std::max(1u, static_cast<unsigned>(rate / kDefaultBlocksPerSecond)))
    {
        if (blockFrames >= kRingFrames) {
            throw UsageError("--block " + std::to_string(blockFrames) + " does not fit the node's ring of "
                + std::to_string(kRingFrames) + " frames");
        }
        // Every transcribe() must find at most a ring's worth of frames waiting, a block
        // after the interval included.
        const auto wanted = static_cast<std::uint64_t>(std::llround(options.intervalSeconds * rate));
        intervalFrames = std::clamp<std::uint64_t>(wanted, 1, kRingFrames - blockFrames);
        intervalClamped = intervalFrames < wanted;
        tailFrames = static_cast<std::uint64_t>(std::ceil(options.tailSeconds * rate));
        segmentSilenceFrames = static_cast<std::uint64_t>(std::ceil(kTailSilenceSeconds * rate));
        segmentFrames = static_cast<std::uint64_t>(std::llround(options.segmentSeconds * rate));
    }

    int run();

private:
    void status(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    /// After a block: transcribes when due, ends a segment when due.
    void afterBlock(std::uint64_t graphFrames, std::uint64_t silentRun, bool last);
    /// transcribe(), joined to the finished segments' text.
    void takeText(std::uint64_t graphFrames);
    /// Records the whole text so far; prints it when it changed.
    void noteText(std::uint64_t graphFrames, const std::string& text);
    void progress(std::uint64_t graphFrames);
    double seconds(std::uint64_t frames) const { return static_cast<double>(frames) / rate; }
    double wallNow() const { return std::chrono::duration<double>(Clock::now() - wallStart).count(); }
    void printResult(std::uint64_t graphFrames, std::uint64_t inputFrames);

    const Options& options;
    AudioInput& input;
    CountingSTTNode& node;
    const ModelFiles& model;
    const int rate;
    const unsigned blockFrames;
    std::uint64_t intervalFrames = 0;
    bool intervalClamped = false;
    std::uint64_t tailFrames = 0;
    std::uint64_t segmentFrames = 0;
    std::uint64_t segmentSilenceFrames = 0;

    Clock::time_point wallStart;
    std::uint64_t nextTranscribe = 0;
    std::uint64_t segmentStart = 0;
    std::string keptText; // text of the finished segments
    std::string shownText;
    std::string finalText;
    std::vector<TimedText> timeline;
    unsigned segments = 1;
    std::vector<double> minuteWall; // wall time at the end of each minute of graph time
    ombrix::tools::Progress progressLine{stderr, !options.quiet && !options.realtime};
};

void TranscribeSession::status(const char* format, ...) const
{
    if (options.quiet) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::fprintf(stderr, "%s: ", kProgramName);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
}

void TranscribeSession::takeText(std::uint64_t graphFrames)
{
    noteText(graphFrames, joinText(keptText, node.transcribe()));
}

void TranscribeSession::noteText(std::uint64_t graphFrames, const std::string& text)
{
    finalText = text;
    if (text != shownText && !text.empty()) {
        shownText = text;
        timeline.push_back({seconds(graphFrames), text});
        if (!options.json && !options.quiet) {
            std::printf("%.3f\t%s\n", seconds(graphFrames), text.c_str());
            std::fflush(stdout);
        }
    }
}

void TranscribeSession::afterBlock(std::uint64_t graphFrames, std::uint64_t silentRun, bool last)
{
    while (static_cast<double>(minuteWall.size() + 1) * kSecondsPerMinute <= seconds(graphFrames)) {
        minuteWall.push_back(wallNow());
    }
    if (last) {
        return;
    }
    if (segmentFrames != 0 && graphFrames - segmentStart >= segmentFrames
        && silentRun >= segmentSilenceFrames) {
        // Everything before the silence has been decoded: keep the segment's text and go on
        // with a new stream of the same model.
        keptText = joinText(keptText, node.transcribe());
        noteText(graphFrames, keptText);
        if (!node.loadModel(model.model, model.tokens, model.graph)) {
            throw ToolError(kExitRuntime, "the model did not load again at the end of a segment");
        }
        ++segments;
        segmentStart = graphFrames;
        nextTranscribe = graphFrames + intervalFrames;
        return;
    }
    if (graphFrames >= nextTranscribe) {
        takeText(graphFrames);
        nextTranscribe = graphFrames + intervalFrames;
    }
}

void TranscribeSession::progress(std::uint64_t graphFrames)
{
    if (!progressLine.due()) {
        return;
    }
    char line[160];
    if (const auto declared = input.getDeclaredFrames()) {
        std::snprintf(line, sizeof line, "progress: %.0f of %.0f s transcribed in %.1f s",
            seconds(graphFrames), seconds(*declared), wallNow());
    } else {
        std::snprintf(
            line, sizeof line, "progress: %.0f s transcribed in %.1f s", seconds(graphFrames), wallNow());
    }
    progressLine.report(line);
}

int TranscribeSession::run()
{
    InputSource source(input, tailFrames);
    ombrix::GraphRunner runner(rate, 1, blockFrames);
    runner.setSource(&source);
    runner.setSink(&node);
    if (!runner.start()) {
        throw ToolError(kExitRuntime, "the speech-to-text node refused the graph format");
    }
    status("graph: %d Hz mono, blocks of %u frames; transcribing every %.3f s of graph time%s", rate,
        blockFrames, seconds(intervalFrames),
        intervalClamped ? " (the most the node's ring holds at this rate)" : "");
    if (segmentFrames != 0) {
        status("segments: a new stream after %.3f s at the next %.1f s of silence", seconds(segmentFrames),
            kTailSilenceSeconds);
    }
    nextTranscribe = intervalFrames;
    wallStart = Clock::now();

    std::uint64_t graphFrames = 0;
    if (!options.realtime) {
        while (!source.done()) {
            runner.processBlock();
            graphFrames = runner.getFramesProcessed();
            afterBlock(graphFrames, source.getSilentRunFrames(), source.done());
            progress(graphFrames);
        }
    } else {
        // The graph on its own thread at the pace of the wall clock; this thread
        // transcribes. State crosses in atomics; the graph thread never waits for this one.
        std::atomic<std::uint64_t> published{0};
        std::atomic<std::uint64_t> publishedSilentRun{0};
        std::atomic<bool> finished{false};
        // Changes with every block and at the end, so a wait on it can never miss the end
        // (the frame count itself may not change between the last block and the end).
        std::atomic<std::uint64_t> ticks{0};
        std::optional<InputError> graphInputError;
        std::thread graph([&] {
            const auto block = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(blockFrames) / rate));
            auto deadline = Clock::now();
            try {
                while (!source.done()) {
                    std::this_thread::sleep_until(deadline);
                    deadline += block;
                    runner.processBlock();
                    publishedSilentRun.store(source.getSilentRunFrames());
                    published.store(runner.getFramesProcessed());
                    ticks.fetch_add(1);
                    ticks.notify_one();
                }
            } catch (const InputError& error) {
                graphInputError = error;
            }
            finished.store(true);
            ticks.fetch_add(1);
            ticks.notify_one();
        });
        std::uint64_t seenTicks = 0;
        try {
            while (!finished.load()) {
                ticks.wait(seenTicks);
                seenTicks = ticks.load();
                afterBlock(published.load(), publishedSilentRun.load(), false);
            }
        } catch (...) {
            graph.join();
            throw;
        }
        graph.join();
        if (graphInputError) {
            throw *graphInputError;
        }
        graphFrames = runner.getFramesProcessed();
        afterBlock(graphFrames, source.getSilentRunFrames(), true);
    }
    runner.stop();
    progressLine.finish();
    takeText(graphFrames);
    printResult(graphFrames, source.getInputFrames());
    if (node.getDroppedFrames() != 0 && !options.realtime) {
        throw ToolError(kExitRuntime, "the node dropped audio, which must not happen at this pace");
    }
    return 0;
}

void TranscribeSession::printResult(std::uint64_t graphFrames, std::uint64_t inputFrames)
{
    const double wall = wallNow();
    const double inputSeconds = seconds(inputFrames);
    std::vector<double> perMinute;
    double previous = 0.0;
    for (const double at : minuteWall) {
        perMinute.push_back((at - previous) / kSecondsPerMinute);
        previous = at;
    }
    const double factor = graphFrames > 0 ? wall / seconds(graphFrames) : 0.0;

    status("audio: %.3f s from %s (%d Hz, %u channel%s, %s)%s", inputSeconds, input.getName().c_str(), rate,
        input.getNumberOfChannels(), input.getNumberOfChannels() == 1 ? "" : "s",
        input.describeFormat().c_str(), input.getNumberOfChannels() > 1 ? ", mixed down to mono" : "");
    status("wall time: %.3f s, real-time factor %.4f; %llu frames dropped%s", wall, factor,
        static_cast<unsigned long long>(node.getDroppedFrames()),
        segments > 1 ? (", " + std::to_string(segments) + " segments").c_str() : "");
    if (perMinute.size() > 1) {
        std::string list;
        for (const double value : perMinute) {
            list += ' ';
            list += jsonNumber(value);
        }
        status("real-time factor per minute:%s", list.c_str());
    }

    if (options.json) {
        std::string json = "{\"text\":" + jsonString(finalText) + ",\"partials\":[";
        for (std::size_t i = 0; i < timeline.size(); ++i) {
            json += i > 0 ? ",{\"time\":" : "{\"time\":";
            json += jsonNumber(timeline[i].seconds) + ",\"text\":" + jsonString(timeline[i].text) + "}";
        }
        json += "],\"input\":{\"name\":" + jsonString(input.getName()) + ",\"sample_rate\":"
            + std::to_string(rate) + ",\"channels\":" + std::to_string(input.getNumberOfChannels())
            + ",\"format\":" + jsonString(input.describeFormat()) + ",\"seconds\":" + jsonNumber(inputSeconds)
            + "},\"graph_seconds\":" + jsonNumber(seconds(graphFrames)) + ",\"block_frames\":"
            + std::to_string(blockFrames) + ",\"interval_seconds\":" + jsonNumber(seconds(intervalFrames))
            + ",\"tail_seconds\":" + jsonNumber(options.tailSeconds) + ",\"realtime\":"
            + (options.realtime ? "true" : "false") + ",\"segments\":" + std::to_string(segments)
            + ",\"dropped_frames\":" + std::to_string(node.getDroppedFrames())
            + ",\"wall_seconds\":" + jsonNumber(wall) + ",\"realtime_factor\":" + jsonNumber(factor)
            + ",\"realtime_factor_per_minute\":[";
        for (std::size_t i = 0; i < perMinute.size(); ++i) {
            if (i > 0) {
                json += ',';
            }
            json += jsonNumber(perMinute[i]);
        }
        json += "]}";
        std::printf("%s\n", json.c_str());
    } else {
        std::printf("%s\n", finalText.c_str());
    }
    std::fflush(stdout);
}

// ---- main ----------------------------------------------------------------------------------------

int transcribe(const Options& options)
{
    // -q: errors only.
    LogCollector log(options.quiet ? std::max(options.logLevel, LogLevel::Error) : options.logLevel);
    auto status = [&](const std::string& line) {
        if (!options.quiet) {
            std::fprintf(stderr, "%s: %s\n", kProgramName, line.c_str());
        }
    };

    std::unique_ptr<AudioInput> input = options.raw
        ? AudioInput::openRaw(options.rawRate, options.rawChannels, options.rawFormat)
        : AudioInput::openWav(options.input);

    ModelFiles model;
    const bool explicitModel = !options.modelPath.empty();
    if (explicitModel) {
        const fs::path directory = fs::path(options.modelPath).parent_path();
        model.model = options.modelPath;
        model.tokens = options.tokensPath.empty() ? (directory / "tokens.txt").string() : options.tokensPath;
        model.graph = options.graphPath.empty() ? (directory / "HLG.fst").string() : options.graphPath;
    } else {
        std::vector<std::string> lookedAt;
        model = defaultModelFiles(lookedAt);
        const std::vector<std::pair<std::string, std::string>> roles
            = {{model.model, "model"}, {model.tokens, "tokens"}, {model.graph, "decoding graph"}};
        std::string missing;
        for (const auto& [path, role] : roles) {
            if (!fs::exists(path)) {
                missing += (missing.empty() ? "" : ", ") + role;
            }
        }
        if (!missing.empty()) {
            std::string message = "no usable speech-to-text model: the " + missing
                + " file is missing. The default files are looked up at\n";
            const char* names[] = {"model", "tokens", "decoding graph"};
            for (std::size_t i = 0; i < lookedAt.size(); ++i) {
                message += "  " + std::string(names[i]) + ": " + lookedAt[i] + "\n";
            }
            message += "(below this program's installation, else below the working directory).\n"
                       "Install a streaming Zipformer2 CTC model there, or name the files with\n"
                       "  --model FILE [--tokens FILE] [--graph FILE].";
            throw ToolError(kExitNoModel, message);
        }
    }

    // Building the node loads its default model when there is one.
    log.setMuted(explicitModel);
    CountingSTTNode node;
    log.setMuted(false);
    log.takeProblems();
    log.hold();
    if (!node.loadModel(model.model, model.tokens, model.graph)) {
        log.drop();
        std::string message = "the speech-to-text model did not load:\n  model: " + model.model
            + "\n  tokens: " + model.tokens + "\n  decoding graph: " + model.graph;
        for (const std::string& line : log.takeProblems()) {
            message += "\n  " + line;
        }
        throw ToolError(kExitNoModel, message);
    }
    log.release();
    status("model: " + model.model + (explicitModel ? "" : " (default)"));
    status("input: " + input->getName() + ", " + std::to_string(input->getSampleRate()) + " Hz, "
        + std::to_string(input->getNumberOfChannels()) + " channel"
        + (input->getNumberOfChannels() == 1 ? "" : "s") + ", " + input->describeFormat());

    TranscribeSession session(options, *input, node, model);
    return session.run();
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<Options> options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgramName, error.what(), kProgramName);
        return kExitUsage;
    }
    if (!options) {
        return 0;
    }
    try {
        return transcribe(*options);
    } catch (const UsageError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgramName, error.what(), kProgramName);
        return kExitUsage;
    } catch (const InputError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
        return kExitInput;
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
        return error.exitStatus;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
        return kExitRuntime;
    }
}
