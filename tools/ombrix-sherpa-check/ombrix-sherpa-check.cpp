// ombrix-sherpa-check: loads one set of speech-model files with the real sherpa-onnx, in
// a process of its own, and says whether they work.
//
//   ombrix-sherpa-check [--report-fd N] [--skip-file-checks] [--voice-data DIR] tts <model> <tokens.txt>
//   <espeak-ng-data dir> ombrix-sherpa-check [--report-fd N] [--skip-file-checks] asr <model> <tokens.txt>
//   <HLG graph>
//
// The plug-in runs this before it loads model files into its host, because sherpa-onnx
// ends the process it runs in on most kinds of bad file contents (_Exit, exit inside
// espeak-ng, segfaults); here that only ends this program. A voice is created with the
// text-to-speech node's configuration and speaks one short text (with --voice-data, the
// engine is given the data directory that espeak-ng of the plug-in's process already
// reads, and DIR, the voice's own data that the library will then never read, is checked
// for its structure in every mode); a recogniser is created
// with the speech-to-text node's configuration, decodes a stretch of fixed pseudo-random
// noise (which, unlike silence, gets tokens other than the blank onto its paths) and
// returns its result. Before that, in every mode, the whole decoding graph is checked: its
// layout, every state and arc (next states, weights, input labels against tokens.txt and
// the model's output size), as decoding only reaches a few of its arcs.
//
// With --store-verdict PREFIX (for the installers), a good
// verdict is also stored in the store of the installation at PREFIX
// (PREFIX/var/lib/ombrix-sherpa/verdicts, models/VerdictStore.h), keyed by the identity
// the plug-in computes for the same files: only when every file lies inside PREFIX, the
// files did not change while they were checked, and the file system keeps nanosecond
// change times. A verdict that could not be stored is a line "note <why>" before "OK".
//
// Report (to descriptor N, default standard output), one line each: "stage <step>"
// before every step, "problem <path>: <what is wrong>" when a fault is found, and "OK" as
// the very last act. Anything else (no "OK") means the files must not be loaded; the
// library's own messages go to standard error. Exit status: 0 OK, 2 a problem was
// reported, 64 wrong arguments; anything else is the library ending the process.

#include "models/FileIdentity.h"
#include "models/ModelFileInspection.h"
#include "models/VerdictStore.h"
#include "stt/RecognizerConfig.h"
#include "tools/ombrix-sherpa-check/GraphCheck.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace ombrix::extensions::sherpa;

constexpr int kExitOk = 0;
constexpr int kExitProblem = 2;
constexpr int kExitUsage = 64;

// Goes straight to the library, without the file checks of ModelFileInspection: for the
// plug-in's tests, which prove that the library run alone rejects every broken model.
constexpr std::string_view kSkipFileChecksOption = "--skip-file-checks";
bool skipFileChecks = false;

// The plug-in has run the structural checks of the files in its own process (which it
// does before it starts this program): they are not repeated here, and the graph is only
// read with OpenFst (whose allocations the address-space cap bounds) and verified.
constexpr std::string_view kStructureCheckedOption = "--structure-checked";
bool structureChecked = false;

// The voice's own espeak-ng data when espeak-ng of the plug-in's process was initialised
// from another directory (the one given as the voice's data directory).
constexpr std::string_view kVoiceDataOption = "--voice-data";
std::string voiceOwnData;

// The installation whose store receives a good verdict (--store-verdict).
constexpr std::string_view kStoreVerdictOption = "--store-verdict";
std::string storePrefix;

// What the voice says: short, but with letters, a digit (espeak-ng's number rules of the
// dictionary) and punctuation (a pause and a question's tune), and so phonemes and pads
// between start and end.
constexpr const char* kCheckText = "Hello, 1?";

// Noise fed to the recogniser: enough feature frames for at least two decodes of a
// model with chunk length T (10 ms per frame, 25 ms window), at least one second.
constexpr int32_t kCheckSampleRate = 16000;
constexpr int64_t kSamplesPerFrame = 160;
constexpr int64_t kSamplesPerWindow = 400;
constexpr int64_t kDefaultChunkFrames = 45;
constexpr int64_t kMinimumNoiseSamples = kCheckSampleRate; // one second
/// -20 dBFS: the peak of the uniform noise, 0.1 of full scale.
constexpr float kNoisePeak = 0.1F;
/// The noise is the same in every run: a 32-bit linear congruential generator
/// (Numerical Recipes' constants) from this seed.
constexpr uint32_t kNoiseSeed = 0x5eed0001U;
constexpr uint32_t kNoiseMultiplier = 1664525U;
constexpr uint32_t kNoiseIncrement = 1013904223U;

/// Writes whole lines to the report descriptor.
class Report {
public:
    explicit Report(int fd)
        : fd(fd)
    {
    }

    void stage(const std::string& step) const { line("stage " + step); }
    void problem(const std::string& what) const { line("problem " + what); }
    void ok() const { line("OK"); }
    void note(const std::string& what) const { line("note " + what); }

private:
    void line(std::string text) const
    {
        for (char& c : text) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        text += '\n';
        std::string_view rest = text;
        while (!rest.empty()) {
            const ssize_t written = ::write(fd, rest.data(), rest.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;
            }
            rest.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    int fd;
};

bool isDirectory(const std::string& path)
{
    struct stat status { };
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string describeException(const std::exception& e)
{
    return e.what()[0] != '\0' ? e.what() : "an exception without a message";
}

// ---- text-to-speech ---------------------------------------------------------------------------

int checkVoice(
    const Report& report, const std::string& model, const std::string& tokens, const std::string& dataDir)
{
    // Espeak-ng never reads a later voice's own tables, so no run of the library can judge
    // them: they are checked in every mode, so that damaged data is refused whatever voice
    // came first (as the first voice of a process it would end it).
    if (!voiceOwnData.empty()) {
        report.stage("reading the voice's own espeak-ng data");
        if (const std::string problem = checkEspeakDataDirectory(voiceOwnData); !problem.empty()) {
            report.problem(problem);
            return kExitProblem;
        }
    }
    report.stage("reading the files");
    // Without the file checks, what the library would block on or accept and then not
    // survive is still refused: FIFOs and devices, impossible metadata values, broken
    // espeak-ng tables.
    const std::vector<std::string> problems = skipFileChecks
        ? std::vector<std::string>{checkNotSpecialFile(model), checkNotSpecialFile(tokens),
            checkVoiceModelValues(model), isDirectory(dataDir) ? checkEspeakDataDirectory(dataDir) : ""}
        : std::vector<std::string>{
            checkVoiceModelFile(model), checkVoiceTokensFile(tokens), checkEspeakDataDirectory(dataDir)};
    for (const std::string& problem : problems) {
        if (!problem.empty()) {
            report.problem(problem);
            return kExitProblem;
        }
    }

    // Exactly the node's configuration: everything else zero, the library's defaults.
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = model.c_str();
    config.model.vits.tokens = tokens.c_str();
    config.model.vits.data_dir = dataDir.c_str();
    report.stage("creating the engine");
    OfflineTtsPtr tts;
    try {
        tts.reset(SherpaOnnxCreateOfflineTts(&config));
    } catch (const std::exception& e) {
        report.problem(model + ": sherpa-onnx cannot load the voice: " + describeException(e));
        return kExitProblem;
    } catch (...) {
        report.problem(model + ": sherpa-onnx cannot load the voice (an exception of unknown type)");
        return kExitProblem;
    }
    if (!tts) {
        report.problem(model + ": sherpa-onnx refused the voice (with " + tokens + " and " + dataDir + ")");
        return kExitProblem;
    }
    const int32_t sampleRate = SherpaOnnxOfflineTtsSampleRate(tts.get());
    if (sampleRate <= 0) {
        report.problem(model + ": the voice reports a sample rate of " + std::to_string(sampleRate) + " Hz");
        return kExitProblem;
    }

    report.stage("speaking a test text");
    GeneratedAudioPtr audio;
    try {
        const SherpaOnnxGenerationConfig generation{};
        audio.reset(
            SherpaOnnxOfflineTtsGenerateWithConfig(tts.get(), kCheckText, &generation, nullptr, nullptr));
    } catch (const std::exception& e) {
        // A voice espeak-ng does not know, or tokens without the pad, start or end symbol.
        std::string voice;
        std::string ignored;
        if (const auto info = readModelFileInfo(model, ignored)) {
            voice = info->metadataValue("voice").value_or("");
        }
        report.problem(model + " (with " + tokens + "): the voice fails to speak: " + describeException(e)
            + (voice.empty() ? std::string() : " (espeak-ng voice '" + voice + "', data " + dataDir + ")"));
        return kExitProblem;
    } catch (...) {
        report.problem(
            model + " (with " + tokens + "): the voice fails to speak (an exception of unknown type)");
        return kExitProblem;
    }
    if (!audio || audio->n <= 0) {
        report.problem(model + ": the voice produced no audio for a test text");
        return kExitProblem;
    }
    audio.reset();
    tts.reset();
    return kExitOk;
}

// ---- speech-to-text ---------------------------------------------------------------------------

/// The whole graph must be usable by the library, which trusts it: a next state beyond
/// the graph, a label beyond the model's outputs (it reads past its scores) or one
/// missing from tokens.txt (the process ends once a result containing it is read) only
/// does harm when decoding reaches that arc, which decoding silence would never reveal.
std::string checkDecodingGraph(
    GraphCheck& graphCheck, const std::string& graph, const std::string& model, const std::string& tokensPath)
{
    std::string problem;
    const std::optional<RecognizerTokens> tokens = readRecognizerTokens(tokensPath, problem);
    if (!tokens) {
        return problem;
    }
    const std::optional<ModelFileInfo> info = readModelFileInfo(model, problem);
    if (!info) {
        return problem;
    }
    const std::optional<int64_t> outputs = modelOutputSize(*info);
    if (!outputs) {
        std::fprintf(stderr,
            "%s: the model does not declare its output size; graph labels are checked against "
            "tokens.txt only\n",
            model.c_str());
    }
    return graphCheck.check(graph, tokens->ids, tokensPath, outputs, model, !structureChecked);
}

int64_t noiseSamplesFor(const std::string& model)
{
    std::string ignored;
    int64_t chunkFrames = kDefaultChunkFrames;
    if (const auto info = readModelFileInfo(model, ignored)) {
        const std::string chunk = info->metadataValue("T").value_or("");
        const std::string shift = info->metadataValue("decode_chunk_len").value_or("");
        int64_t t = 0;
        int64_t s = 0;
        if (std::from_chars(chunk.data(), chunk.data() + chunk.size(), t).ec == std::errc()
            && std::from_chars(shift.data(), shift.data() + shift.size(), s).ec == std::errc() && t > 0
            && s >= 0) {
            chunkFrames = t + s;
        }
    }
    return std::max(kMinimumNoiseSamples, chunkFrames * kSamplesPerFrame + kSamplesPerWindow);
}

/// `samples` of uniform noise in [-kNoisePeak, kNoisePeak], the same in every run.
std::vector<float> testNoise(int64_t samples)
{
    std::vector<float> noise(static_cast<std::size_t>(samples));
    uint32_t state = kNoiseSeed;
    for (float& sample : noise) {
        state = state * kNoiseMultiplier + kNoiseIncrement;
        const float unit = static_cast<float>(state >> 8) / static_cast<float>(1U << 24); // [0, 1)
        sample = (2.0F * unit - 1.0F) * kNoisePeak;
    }
    return noise;
}

int checkRecognizer(
    const Report& report, const std::string& model, const std::string& tokens, const std::string& graph)
{
    std::string problem;
    report.stage("reading the files");
    if (!skipFileChecks && !structureChecked) {
        problem = checkRecognizerModelFile(model);
        if (problem.empty()) {
            readRecognizerTokens(tokens, problem);
        }
    } else {
        // What the library and the graph reader would block on, and metadata values it
        // accepts but cannot work with, are refused without the file checks too.
        for (const std::string& next : {checkNotSpecialFile(model), checkNotSpecialFile(tokens),
                 checkNotSpecialFile(graph), checkRecognizerModelValues(model)}) {
            if (problem.empty()) {
                problem = next;
            }
        }
    }
    // Also without the file checks: nothing else keeps a damaged graph from the library.
    // (Its header is checked here too, so the graph is read once.) OpenFst's own
    // verification of it goes on while the library loads; the verdict waits for it.
    GraphCheck graphCheck;
    if (problem.empty()) {
        report.stage("reading the graph");
        problem = checkDecodingGraph(graphCheck, graph, model, tokens);
    }
    if (!problem.empty()) {
        report.problem(problem);
        return kExitProblem;
    }

    // Exactly the node's configuration: everything else zero, the library's defaults.
    const SherpaOnnxOnlineRecognizerConfig config = speechToTextRecognizerConfig(model, tokens, graph);

    std::string step;
    const auto enter = [&](const char* next) {
        step = next;
        report.stage(step);
    };
    try {
        enter("creating the recogniser");
        OnlineRecognizerPtr recognizer(SherpaOnnxCreateOnlineRecognizer(&config));
        if (!recognizer) {
            report.problem(
                model + ": sherpa-onnx refused the recogniser (with " + tokens + " and " + graph + ")");
            return kExitProblem;
        }
        enter("creating a stream");
        OnlineStreamPtr stream(SherpaOnnxCreateOnlineStream(recognizer.get()));
        if (!stream) {
            report.problem(model + ": sherpa-onnx cannot create a stream for the recogniser");
            return kExitProblem;
        }
        enter("decoding a test noise");
        const std::vector<float> noise = testNoise(noiseSamplesFor(model));
        SherpaOnnxOnlineStreamAcceptWaveform(
            stream.get(), kCheckSampleRate, noise.data(), static_cast<int32_t>(noise.size()));
        while (SherpaOnnxIsOnlineStreamReady(recognizer.get(), stream.get()) != 0) {
            SherpaOnnxDecodeOnlineStream(recognizer.get(), stream.get());
        }
        enter("reading the result");
        OnlineRecognizerResultPtr result(SherpaOnnxGetOnlineStreamResult(recognizer.get(), stream.get()));
        if (!result) {
            report.problem(model + ": the recogniser returned no result");
            return kExitProblem;
        }
        enter("verifying the graph");
        if (std::string verification = graphCheck.verified(); !verification.empty()) {
            report.problem(verification);
            return kExitProblem;
        }
    } catch (const std::exception& e) {
        report.problem(model + " (with " + tokens + " and " + graph + "): sherpa-onnx failed while " + step
            + ": " + describeException(e));
        return kExitProblem;
    } catch (...) {
        report.problem(model + " (with " + tokens + " and " + graph + "): sherpa-onnx failed while " + step
            + " (an exception of unknown type)");
        return kExitProblem;
    }
    return kExitOk;
}

int usage(const char* program)
{
    std::fprintf(stderr,
        "usage: %s [--report-fd N] [--skip-file-checks] [--voice-data DIR] tts <model> <tokens.txt> "
        "<espeak-ng-data>\n"
        "       %s [--report-fd N] [--skip-file-checks | --structure-checked] asr <model> <tokens.txt> "
        "<graph>\n"
        "       (either also with --store-verdict PREFIX)\n",
        program, program);
    return kExitUsage;
}

/// The identity of the files as the plug-in keys them when it loads them itself: for a
/// voice, espeak-ng reads `files[2]`, and the voice's own data is --voice-data when given.
std::optional<FileIdentity> identityFor(const std::string& kind, const std::vector<std::string>& files)
{
    const std::string& ownData = voiceOwnData.empty() ? files[2] : voiceOwnData;
    const FileSet set = kind == "tts" ? voiceFileSet(files[0], files[1], ownData, files[2])
                                      : recognizerFileSet(files[0], files[1], files[2]);
    return fileSetIdentity(kind == "tts" ? "tts" : "asr", set.files, set.tree);
}

/// The identity before the check, once settled: a file written just before (as the
/// installer does) waits the few milliseconds until a later change would show.
std::optional<FileIdentity> settledIdentityFor(const std::string& kind, const std::vector<std::string>& files)
{
    constexpr int kMaxAttempts = 100;
    constexpr useconds_t kPauseMicroseconds = 5000;
    std::optional<FileIdentity> identity = identityFor(kind, files);
    for (int attempt = 0; identity && !settled(*identity) && attempt < kMaxAttempts; ++attempt) {
        ::usleep(kPauseMicroseconds);
        identity = identityFor(kind, files);
    }
    return identity;
}

/// Stores the verdict of `before` (the identity taken before the check) in the store of
/// the installation at storePrefix; "" when stored, otherwise why not.
std::string storeVerdict(
    const std::string& kind, const std::vector<std::string>& files, const std::optional<FileIdentity>& before)
{
    std::error_code error;
    const std::filesystem::path prefix = std::filesystem::canonical(storePrefix, error);
    if (error) {
        return "the prefix " + storePrefix + " cannot be resolved: " + error.message();
    }
    std::vector<std::string> paths = files;
    if (!voiceOwnData.empty()) {
        paths.push_back(voiceOwnData);
    }
    for (const std::string& file : paths) {
        const std::filesystem::path real = std::filesystem::canonical(file, error);
        if (error || !real.string().starts_with(prefix.string() + "/")) {
            return file + " is not inside " + prefix.string();
        }
    }
    const std::optional<FileIdentity> after = identityFor(kind, files);
    if (!before || !after || before->key != after->key) {
        return "the files changed while they were checked";
    }
    if (!before->complete || !before->nanosecondTimes || !settled(*before)) {
        return "the file system does not keep nanosecond change times, or the files kept changing";
    }
    const VerdictStore store(VerdictStore::installationDirectory(prefix), kModelCheckRuleVersion,
        VerdictStoreKind::InstallationWriter);
    if (!store.problem().empty()) {
        return store.problem();
    }
    return store.remember(before->key) ? std::string() : "cannot write to " + store.directory().string();
}

/// The least address space this process is capped at, and how many times the files'
/// size it may use beyond that.
constexpr uint64_t kMinAddressSpace = uint64_t{2} << 30; // 2 GiB
constexpr uint64_t kAddressSpacePerFileByte = 8;

/// Regular files' sizes; a directory's regular files' (one level: the voice data's
/// bulk is there). Unreadable entries count 0.
uint64_t sizeOfFiles(const std::vector<std::string>& paths)
{
    uint64_t total = 0;
    for (const std::string& path : paths) {
        std::error_code error;
        const std::filesystem::directory_entry entry(path, error);
        if (error) {
            continue;
        }
        if (entry.is_regular_file(error)) {
            total += entry.file_size(error);
        } else if (entry.is_directory(error)) {
            for (const auto& file : std::filesystem::directory_iterator(path, error)) {
                std::error_code ignored;
                total += file.is_regular_file(ignored) ? file.file_size(ignored) : 0;
            }
        }
    }
    return total;
}

/// Caps this process's address space at max(2 GiB, 8 x the files' size), never above the
/// limit it was started with: the library running away with memory (an endless decode,
/// a runaway synthesis) then ends here, as a verdict, instead of filling the machine.
void capAddressSpace(const std::vector<std::string>& paths)
{
    const uint64_t files = sizeOfFiles(paths);
    const uint64_t wanted = files > (std::numeric_limits<uint64_t>::max() - 1) / kAddressSpacePerFileByte
        ? std::numeric_limits<uint64_t>::max()
        : std::max(kMinAddressSpace, files * kAddressSpacePerFileByte);
    rlimit current{};
    if (getrlimit(RLIMIT_AS, &current) != 0) {
        return;
    }
    if (current.rlim_cur != RLIM_INFINITY && current.rlim_cur <= wanted) {
        return;
    }
    const rlimit capped{static_cast<rlim_t>(wanted), current.rlim_max};
    setrlimit(RLIMIT_AS, &capped);
}

} // namespace

int main(int argc, char** argv)
{
    // A checker that the library kills must not leave a core file behind.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);

    std::vector<std::string> arguments(argv + 1, argv + argc);
    int reportFd = STDOUT_FILENO;
    while (!arguments.empty() && arguments[0].starts_with("--")) {
        if (arguments[0] == kSkipFileChecksOption) {
            skipFileChecks = true;
            arguments.erase(arguments.begin());
            continue;
        }
        if (arguments[0] == kStructureCheckedOption) {
            structureChecked = true;
            arguments.erase(arguments.begin());
            continue;
        }
        if (arguments[0] == kStoreVerdictOption && arguments.size() >= 2) {
            storePrefix = arguments[1];
            arguments.erase(arguments.begin(), arguments.begin() + 2);
            continue;
        }
        if (arguments[0] == kVoiceDataOption && arguments.size() >= 2) {
            voiceOwnData = arguments[1];
            arguments.erase(arguments.begin(), arguments.begin() + 2);
            continue;
        }
        if (arguments[0] != "--report-fd" || arguments.size() < 2) {
            return usage(argv[0]);
        }
        const std::string& value = arguments[1];
        if (std::from_chars(value.data(), value.data() + value.size(), reportFd).ec != std::errc()
            || reportFd < 0) {
            return usage(argv[0]);
        }
        arguments.erase(arguments.begin(), arguments.begin() + 2);
    }
    if (arguments.size() != 4) {
        return usage(argv[0]);
    }
    const std::vector<std::string> files(arguments.begin() + 1, arguments.end());
    capAddressSpace(files);
    const Report report(reportFd);
    std::optional<FileIdentity> before;
    if (!storePrefix.empty()) {
        before = settledIdentityFor(arguments[0], files);
    }
    int status = kExitUsage;
    if (arguments[0] == "tts") {
        status = checkVoice(report, arguments[1], arguments[2], arguments[3]);
    } else if (arguments[0] == "asr") {
        status = checkRecognizer(report, arguments[1], arguments[2], arguments[3]);
    } else {
        return usage(argv[0]);
    }
    if (status != kExitOk) {
        return status;
    }
    if (!storePrefix.empty()) {
        if (const std::string why = storeVerdict(arguments[0], files, before); !why.empty()) {
            report.note("verdict not stored: " + why);
        }
    }
    // The verdict is the last thing this process does: nothing after it (destructors,
    // exit handlers of the library) can turn a good verdict into a misleading exit.
    std::fflush(nullptr);
    report.ok();
    std::_Exit(kExitOk);
}
