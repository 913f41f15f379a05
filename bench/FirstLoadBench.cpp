// Figure 9: what a user waits for when a node loads model files, each against the plain
// load of the same files in the same run (creating the sherpa-onnx engine or recogniser):
//  9a/9c  the first load through the node: the cheap checks, the checker process, the load;
//  9b/9d  a later load of the same unchanged files (the checker's verdict is remembered);
//  9e     constructing a text-to-speech node, which loads the default voice (first time);
//  9m/9n  a later process's load of files an earlier process proved good (the verdict
//         stored per user; nothing checked in this process yet);
//  9f     the graph check's share of the checker's run for a recogniser (the time between
//         the checker's "stage reading the graph" report line and its next one, against
//         the whole run from start to exit);
//  9q-9t  (9u-9x real size) the load in a fresh process (ombrix_load_once) against the
//         plain load in a fresh process: a later process whose verdict an earlier one
//         stored per user (q/r), and the first start after an installer checked the files
//         and stored their verdict in the installation's store, with an empty per-user
//         store (s/t); the goal of all of them is at most 1.05x;
//  10a-10d (10e-10h real size) the verdict lookup alone in a fresh process (the model check
//         the node runs before its load, served by the per-user or the installation's
//         store) against the plain load: what the node adds, at most 5 % of the load;
//  9y     (real size) installing the 60 MB voice from its archive with ombrix-install-voice
//         (unpacking, conversion to ORT, the checker's runs, storing the verdicts), against
//         the plain load of the voice (reported).
// With --real-size the same figures again (9g-9l) for models of the published models' size:
// a piper voice with 60 MB of weights that work per token, and a recogniser of 70 MB whose
// graph has about 2 M arcs (the node construction figure stays with the default voice).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "models/ModelFileChecker.h"
#include "models/VerdictStore.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tts/SherpaTTSNode.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

using ombrix::OXAnyMap;
using ombrix::bench::Clock;
using ombrix::bench::Figure;
using ombrix::bench::Goal;
using ombrix::bench::RecogniserFiles;
using ombrix::bench::VoiceFiles;
using ombrix::extensions::sherpa::forgetCheckedModelFiles;
using ombrix::extensions::sherpa::kModelCheckerProgramName;
using ombrix::extensions::sherpa::kVerdictStoreSwitchVariable;
using ombrix::extensions::sherpa::OfflineTtsPtr;
using ombrix::extensions::sherpa::OnlineRecognizerPtr;
using ombrix::extensions::sherpa::SherpaSTTNode;
using ombrix::extensions::sherpa::SherpaTTSNode;
using SteadyClock = std::chrono::steady_clock;

constexpr int kSmallIterations = 5;
constexpr int kRealSizeRepetitions = 3;

const std::string kRealSizeDir = std::string(OMBRIX_BUILD_DIR) + "/fixtures-real-size";
const std::string kDefaultVoiceDir
    = std::string(OMBRIX_BUILD_DIR) + "/share/files/en_GB/vits-piper-en_GB-southern_english_female-low";

struct Models {
    const char* suffix;
    VoiceFiles voice;
    RecogniserFiles recogniser;
};

Models smallModels()
{
    return {"Small", ombrix::bench::fixtureVoice("piper-16000"),
        {std::string(OMBRIX_FIXTURES_DIR) + "/asr-icefall/model.onnx",
            std::string(OMBRIX_FIXTURES_DIR) + "/asr-icefall/tokens.txt",
            std::string(OMBRIX_FIXTURES_DIR) + "/asr-icefall/HLG.fst"}};
}

Models realSizeModels()
{
    const std::string voice = kRealSizeDir + "/voice";
    const std::string asr = kRealSizeDir + "/asr";
    return {"RealSize",
        {voice + "/en_GB-southern_english_female-low.with_runtime_opt.ort", voice + "/tokens.txt",
            voice + "/espeak-ng-data"},
        {asr + "/ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort", asr + "/tokens.txt",
            asr + "/HLG.fst"}};
}

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

SherpaOnnxOfflineTtsConfig voiceConfig(const VoiceFiles& voice)
{
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = voice.model.c_str();
    config.model.vits.tokens = voice.tokens.c_str();
    config.model.vits.data_dir = voice.dataDirectory.c_str();
    return config;
}

/// The recogniser as the speech-to-text node creates it (see SttBench.cpp).
SherpaOnnxOnlineRecognizerConfig recogniserConfig(const RecogniserFiles& files)
{
    SherpaOnnxOnlineRecognizerConfig config{};
    config.feat_config.feature_dim = 80;
    config.model_config.zipformer2_ctc.model = files.model.c_str();
    config.model_config.tokens = files.tokens.c_str();
    config.model_config.num_threads = 4;
    config.model_config.provider = "cpu";
    config.ctc_fst_decoder_config.graph = files.graph.c_str();
    return config;
}

void plainVoiceLoad(benchmark::State& state, const VoiceFiles& voice)
{
    const SherpaOnnxOfflineTtsConfig config = voiceConfig(voice);
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        OfflineTtsPtr engine(SherpaOnnxCreateOfflineTts(&config));
        state.SetIterationTime(secondsSince(start));
        if (!engine) {
            state.SkipWithError(("the voice could not be loaded: " + voice.model).c_str());
            return;
        }
    }
}

void plainRecogniserLoad(benchmark::State& state, const RecogniserFiles& files)
{
    const SherpaOnnxOnlineRecognizerConfig config = recogniserConfig(files);
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        OnlineRecognizerPtr recognizer(SherpaOnnxCreateOnlineRecognizer(&config));
        state.SetIterationTime(secondsSince(start));
        if (!recognizer) {
            state.SkipWithError(("the recogniser could not be loaded: " + files.model).c_str());
            return;
        }
    }
}

/// loadModel through a text-to-speech node: after forgetting every verdict (`first`), or
/// with the verdict for these files remembered.
void nodeVoiceLoad(benchmark::State& state, const VoiceFiles& voice, bool first)
{
    SherpaTTSNode node{OXAnyMap()};
    if (!first && !node.loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        state.SkipWithError(("the node refused the voice: " + voice.model).c_str());
        return;
    }
    for (auto _ : state) {
        if (first) {
            forgetCheckedModelFiles();
        }
        const auto start = SteadyClock::now();
        const bool loaded = node.loadModel(voice.model, voice.tokens, voice.dataDirectory);
        state.SetIterationTime(secondsSince(start));
        if (!loaded) {
            state.SkipWithError(("the node refused the voice: " + voice.model).c_str());
            return;
        }
    }
}

/// While alive, model-check verdicts persist in a store of its own below the build tree
/// (emptied first), as they do for a user; afterwards persistence is off again, as the
/// benchmark program keeps it.
class PersistedVerdicts {
public:
    PersistedVerdicts()
    {
        std::error_code ignored;
        std::filesystem::remove_all(kCacheHome, ignored);
        std::filesystem::create_directories(kCacheHome, ignored);
        if (const char* saved = std::getenv("XDG_CACHE_HOME")) {
            savedCacheHome_ = saved;
        }
        ::setenv("XDG_CACHE_HOME", kCacheHome.c_str(), 1);
        ::unsetenv(kVerdictStoreSwitchVariable);
    }
    ~PersistedVerdicts()
    {
        ::setenv(kVerdictStoreSwitchVariable, "off", 1);
        savedCacheHome_ ? ::setenv("XDG_CACHE_HOME", savedCacheHome_->c_str(), 1)
                        : ::unsetenv("XDG_CACHE_HOME");
    }
    PersistedVerdicts(const PersistedVerdicts&) = delete;
    PersistedVerdicts& operator=(const PersistedVerdicts&) = delete;

private:
    inline static const std::string kCacheHome = std::string(OMBRIX_BUILD_DIR) + "/bench-verdict-cache";
    std::optional<std::string> savedCacheHome_;
};

/// A later process's load of a voice: the files were proven good by an earlier process
/// (the verdict is in the per-user store), this one has checked nothing yet.
void laterProcessVoiceLoad(benchmark::State& state, const VoiceFiles& voice)
{
    const PersistedVerdicts persisted;
    SherpaTTSNode node{OXAnyMap()};
    forgetCheckedModelFiles();
    if (!node.loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        state.SkipWithError(("the node refused the voice: " + voice.model).c_str());
        return;
    }
    for (auto _ : state) {
        forgetCheckedModelFiles();
        const auto start = SteadyClock::now();
        const bool loaded = node.loadModel(voice.model, voice.tokens, voice.dataDirectory);
        state.SetIterationTime(secondsSince(start));
        if (!loaded) {
            state.SkipWithError(("the node refused the voice: " + voice.model).c_str());
            return;
        }
    }
}

/// The same for a recogniser.
void laterProcessRecogniserLoad(benchmark::State& state, const RecogniserFiles& files)
{
    const PersistedVerdicts persisted;
    SherpaSTTNode node;
    forgetCheckedModelFiles();
    if (!node.loadModel(files.model, files.tokens, files.graph)) {
        state.SkipWithError(("the node refused the recogniser: " + files.model).c_str());
        return;
    }
    for (auto _ : state) {
        forgetCheckedModelFiles();
        const auto start = SteadyClock::now();
        const bool loaded = node.loadModel(files.model, files.tokens, files.graph);
        state.SetIterationTime(secondsSince(start));
        if (!loaded) {
            state.SkipWithError(("the node refused the recogniser: " + files.model).c_str());
            return;
        }
    }
}

void nodeRecogniserLoad(benchmark::State& state, const RecogniserFiles& files, bool first)
{
    SherpaSTTNode node;
    if (!first && !node.loadModel(files.model, files.tokens, files.graph)) {
        state.SkipWithError(("the node refused the recogniser: " + files.model).c_str());
        return;
    }
    for (auto _ : state) {
        if (first) {
            forgetCheckedModelFiles();
        }
        const auto start = SteadyClock::now();
        const bool loaded = node.loadModel(files.model, files.tokens, files.graph);
        state.SetIterationTime(secondsSince(start));
        if (!loaded) {
            state.SkipWithError(("the node refused the recogniser: " + files.model).c_str());
            return;
        }
    }
}

/// One run of the checker program on a recogniser, reading its report from a pipe and
/// noting when each line arrives: the whole run, and the graph stage.
struct CheckerTimes {
    double wholeSeconds = 0.0;
    double graphSeconds = -1.0;
    bool ok = false;
};

const std::string kChecker = std::string(OMBRIX_LIB_DIR) + "/" + kModelCheckerProgramName;

/// `text` in single quotes, for a shell command. (Appended piece by piece: g++ 12 -O3
/// flags "'" + text with a false -Wrestrict.)
std::string quoted(const std::string& text)
{
    std::string result;
    result.reserve(text.size() + 2);
    result += '\'';
    result += text;
    result += '\'';
    return result;
}

CheckerTimes runCheckerOn(const RecogniserFiles& files)
{
    std::string command = quoted(kChecker);
    command.append(" asr ").append(quoted(files.model)).append(" ").append(quoted(files.tokens));
    command.append(" ").append(quoted(files.graph)).append(" 2>/dev/null");
    CheckerTimes times;
    const auto start = SteadyClock::now();
    FILE* report = ::popen(command.c_str(), "r");
    if (report == nullptr) {
        return times;
    }
    char line[4096];
    SteadyClock::time_point graphStart{};
    bool inGraph = false;
    while (std::fgets(line, sizeof line, report) != nullptr) {
        const auto now = SteadyClock::now();
        const std::string text(line);
        if (inGraph) {
            times.graphSeconds = std::chrono::duration<double>(now - graphStart).count();
            inGraph = false;
        }
        if (text.starts_with("stage ") && text.find("graph") != std::string::npos) {
            graphStart = now;
            inGraph = true;
        }
        if (text == "OK\n") {
            times.ok = true;
        }
    }
    const int status = ::pclose(report);
    times.wholeSeconds = secondsSince(start);
    times.ok = times.ok && status == 0;
    return times;
}

void checkerRun(benchmark::State& state, const RecogniserFiles& files, bool graphStageOnly)
{
    for (auto _ : state) {
        const CheckerTimes times = runCheckerOn(files);
        if (!times.ok || times.graphSeconds < 0.0) {
            state.SkipWithError(
                ("the checker did not pass the recogniser or report its graph stage: " + files.model)
                    .c_str());
            return;
        }
        state.SetIterationTime(graphStageOnly ? times.graphSeconds : times.wholeSeconds);
    }
}

void defaultVoiceConstruction(benchmark::State& state)
{
    for (auto _ : state) {
        forgetCheckedModelFiles();
        const auto start = SteadyClock::now();
        auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
        state.SetIterationTime(secondsSince(start));
        node.reset();
    }
}

void defaultVoicePlainLoad(benchmark::State& state)
{
    plainVoiceLoad(state,
        {kDefaultVoiceDir + "/en_GB-southern_english_female-low.with_runtime_opt.ort",
            kDefaultVoiceDir + "/tokens.txt", kDefaultVoiceDir + "/espeak-ng-data"});
}

/// Registers the benchmarks and figures of one model size; `firstId` is the letter of its
/// first figure.
void registerSize(const Models& models, char firstId, bool withConstruction)
{
    const std::string suffix = models.suffix;
    const bool realSize = suffix == "RealSize";
    const auto configure = [realSize](benchmark::internal::Benchmark* bench) {
        bench->UseManualTime()->Unit(benchmark::kMillisecond);
        if (realSize) {
            bench->Iterations(1)->Repetitions(kRealSizeRepetitions);
        } else {
            bench->Iterations(kSmallIterations);
        }
    };
    const auto add = [&](const std::string& name, auto&& function) {
        configure(benchmark::RegisterBenchmark(name.c_str(), function));
        return name;
    };
    const std::string plainVoice = add("BM_PlainLoadVoice_" + suffix,
        [voice = models.voice](benchmark::State& state) { plainVoiceLoad(state, voice); });
    const std::string plainRecogniser = add("BM_PlainLoadRecogniser_" + suffix,
        [files = models.recogniser](benchmark::State& state) { plainRecogniserLoad(state, files); });
    const std::string voiceFirst = add("BM_NodeLoadVoice_First_" + suffix,
        [voice = models.voice](benchmark::State& state) { nodeVoiceLoad(state, voice, true); });
    const std::string voiceCached = add("BM_NodeLoadVoice_Cached_" + suffix,
        [voice = models.voice](benchmark::State& state) { nodeVoiceLoad(state, voice, false); });
    const std::string recogniserFirst = add("BM_NodeLoadRecogniser_First_" + suffix,
        [files = models.recogniser](benchmark::State& state) { nodeRecogniserLoad(state, files, true); });
    const std::string recogniserCached = add("BM_NodeLoadRecogniser_Cached_" + suffix,
        [files = models.recogniser](benchmark::State& state) { nodeRecogniserLoad(state, files, false); });
    const std::string graphStage = add("BM_CheckerGraphStage_" + suffix,
        [files = models.recogniser](benchmark::State& state) { checkerRun(state, files, true); });
    const std::string checkerWhole = add("BM_CheckerWholeRun_" + suffix,
        [files = models.recogniser](benchmark::State& state) { checkerRun(state, files, false); });

    const std::string what = realSize ? " (real size)" : " (test models)";
    char id = firstId;
    const auto figure
        = [&](const std::string& title, const std::string& subject, const std::string& baseline) {
              Figure f;
              f.id = std::string("9") + id++;
              f.title = title + what;
              f.subject = subject;
              f.baseline = baseline;
              f.clock = Clock::Manual;
              f.goal = Goal::Info;
              f.note = Figure::Note::BothMs;
              ombrix::bench::registerFigure(f);
          };
    figure("Voice, first load through the node vs plain load", voiceFirst, plainVoice);
    figure("Voice, cached load through the node vs plain load", voiceCached, plainVoice);
    figure("Recogniser, first load through the node vs plain load", recogniserFirst, plainRecogniser);
    figure("Recogniser, cached load through the node vs plain load", recogniserCached, plainRecogniser);
    if (withConstruction) {
        const std::string construction = add("BM_NodeConstructionDefaultVoice", defaultVoiceConstruction);
        const std::string plainDefault = add("BM_PlainLoadDefaultVoice", defaultVoicePlainLoad);
        figure("TTS node construction with the default voice (first) vs plain load of it", construction,
            plainDefault);
    } else {
        ++id;
    }
    figure("Graph check's share of the checker's run on the recogniser", graphStage, checkerWhole);

    // After the existing figures, so their letters stay: m/n for the test models, o/p
    // for the real-size ones.
    const std::string voiceLater = add("BM_NodeLoadVoice_LaterProcess_" + suffix,
        [voice = models.voice](benchmark::State& state) { laterProcessVoiceLoad(state, voice); });
    const std::string recogniserLater = add("BM_NodeLoadRecogniser_LaterProcess_" + suffix,
        [files = models.recogniser](benchmark::State& state) { laterProcessRecogniserLoad(state, files); });
    id = realSize ? 'o' : 'm';
    figure("Voice, later process (verdict stored per user) vs plain load", voiceLater, plainVoice);
    figure("Recogniser, later process (verdict stored per user) vs plain load", recogniserLater,
        plainRecogniser);
}

// ---- loads in fresh processes -----------------------------------------------------------------

const std::string kLoadOnce = std::string(OMBRIX_BIN_DIR) + "/ombrix_load_once";
// The installation whose store the fresh processes consult: the build tree, above the lib/
// holding the checker they find.
const std::string kInstallationPrefix = OMBRIX_BUILD_DIR;
const std::string kFreshCacheRoot = std::string(OMBRIX_BUILD_DIR) + "/bench-fresh-cache";

/// One timed load by ombrix_load_once; a negative time when it failed. `cacheHome` set:
/// verdicts persist, in that per-user store; empty: persistence stays off.
double loadInFreshProcess(
    const char* how, const char* kind, const std::vector<std::string>& files, const std::string& cacheHome)
{
    std::string command = "env";
    if (!cacheHome.empty()) {
        command.append(" -u ")
            .append(kVerdictStoreSwitchVariable)
            .append(" XDG_CACHE_HOME=")
            .append(quoted(cacheHome));
    }
    command.append(" ").append(quoted(kLoadOnce)).append(" ").append(how).append(" ").append(kind);
    for (const std::string& file : files) {
        command.append(" ").append(quoted(file));
    }
    command += " 2>/dev/null";
    FILE* output = ::popen(command.c_str(), "r");
    if (output == nullptr) {
        return -1.0;
    }
    double seconds = -1.0;
    if (std::fscanf(output, "seconds %lf", &seconds) != 1) {
        seconds = -1.0;
    }
    return ::pclose(output) == 0 ? seconds : -1.0;
}

/// What the installers do after installing files: the checker checks them and stores the
/// verdict in the installation's store.
bool storeInstallationVerdict(const char* kind, const std::vector<std::string>& files)
{
    std::string command = quoted(kChecker);
    command.append(" --store-verdict ").append(quoted(kInstallationPrefix)).append(" ").append(kind);
    for (const std::string& file : files) {
        command.append(" ").append(quoted(file));
    }
    command += " 2>/dev/null | grep -q '^OK$'";
    return std::system(command.c_str()) == 0;
}

enum class FreshLoad { Plain, LaterProcess, AfterInstaller, LaterProcessLookup, AfterInstallerLookup };

void freshProcessLoad(
    benchmark::State& state, const char* kind, const std::vector<std::string>& files, FreshLoad load)
{
    const bool later = load == FreshLoad::LaterProcess || load == FreshLoad::LaterProcessLookup;
    const bool afterInstaller = load == FreshLoad::AfterInstaller || load == FreshLoad::AfterInstallerLookup;
    const bool lookupOnly = load == FreshLoad::LaterProcessLookup || load == FreshLoad::AfterInstallerLookup;
    const std::string cache = kFreshCacheRoot + "/" + (later ? "later-" : "first-")
        + std::to_string(std::hash<std::string>{}(files[0]));
    std::error_code ignored;
    // Set up once per run (each repetition is a call of its own): a setup right before a
    // measured load (another process reading and using the same files) makes that load
    // slower than the ones after it.
    static std::set<std::string> prepared;
    if (load != FreshLoad::Plain && prepared.insert(cache).second) {
        if (later) {
            // An earlier process stores the verdict per user, which is asked before the
            // installation's store.
            std::filesystem::remove_all(cache, ignored);
            if (loadInFreshProcess("node", kind, files, cache) < 0.0) {
                state.SkipWithError(("the node refused the files: " + files[0]).c_str());
                return;
            }
        } else if (!storeInstallationVerdict(kind, files)) {
            state.SkipWithError(("the checker did not store a verdict for the files: " + files[0]).c_str());
            return;
        }
    }
    if (afterInstaller) {
        std::filesystem::remove_all(cache, ignored);
    }
    const char* how = load == FreshLoad::Plain ? "plain" : lookupOnly ? "check" : "node";
    // One load of the same kind before the measured ones, untimed.
    if (loadInFreshProcess(how, kind, files, load == FreshLoad::Plain ? "" : cache) < 0.0) {
        state.SkipWithError(("the files were not loaded: " + files[0]).c_str());
        return;
    }
    for (auto _ : state) {
        if (afterInstaller) {
            std::filesystem::remove_all(cache, ignored); // nothing stored per user yet
        }
        const double seconds = loadInFreshProcess(how, kind, files, load == FreshLoad::Plain ? "" : cache);
        if (seconds < 0.0) {
            state.SkipWithError(("the files were not loaded: " + files[0]).c_str());
            return;
        }
        state.SetIterationTime(seconds);
    }
}

/// Registers the fresh-process figures of one model size, from `firstId` on.
void registerFreshProcessFigures(const Models& models, char firstId)
{
    const std::string suffix = models.suffix;
    const bool realSize = suffix == "RealSize";
    const std::vector<std::string> voice
        = {models.voice.model, models.voice.tokens, models.voice.dataDirectory};
    const std::vector<std::string> recogniser
        = {models.recogniser.model, models.recogniser.tokens, models.recogniser.graph};
    const auto add = [&](const std::string& name, const char* kind, const std::vector<std::string>& files,
                         FreshLoad load) {
        auto* bench = benchmark::RegisterBenchmark(name.c_str(),
            [kind, files, load](benchmark::State& state) { freshProcessLoad(state, kind, files, load); });
        bench->UseManualTime()->Unit(benchmark::kMillisecond);
        realSize ? bench->Iterations(1)->Repetitions(kRealSizeRepetitions + 2)
                 : bench->Iterations(kSmallIterations);
        return name;
    };
    const std::string plainVoice
        = add("BM_FreshProcessPlainLoadVoice_" + suffix, "tts", voice, FreshLoad::Plain);
    const std::string plainRecogniser
        = add("BM_FreshProcessPlainLoadRecogniser_" + suffix, "asr", recogniser, FreshLoad::Plain);
    const std::string laterVoice
        = add("BM_FreshProcessNodeLoadVoice_LaterProcess_" + suffix, "tts", voice, FreshLoad::LaterProcess);
    const std::string laterRecogniser = add("BM_FreshProcessNodeLoadRecogniser_LaterProcess_" + suffix, "asr",
        recogniser, FreshLoad::LaterProcess);
    const std::string installedVoice = add(
        "BM_FreshProcessNodeLoadVoice_AfterInstaller_" + suffix, "tts", voice, FreshLoad::AfterInstaller);
    const std::string installedRecogniser = add("BM_FreshProcessNodeLoadRecogniser_AfterInstaller_" + suffix,
        "asr", recogniser, FreshLoad::AfterInstaller);

    const std::string laterVoiceLookup = add("BM_FreshProcessVerdictLookupVoice_LaterProcess_" + suffix,
        "tts", voice, FreshLoad::LaterProcessLookup);
    const std::string laterRecogniserLookup
        = add("BM_FreshProcessVerdictLookupRecogniser_LaterProcess_" + suffix, "asr", recogniser,
            FreshLoad::LaterProcessLookup);
    const std::string installedVoiceLookup = add("BM_FreshProcessVerdictLookupVoice_AfterInstaller_" + suffix,
        "tts", voice, FreshLoad::AfterInstallerLookup);
    const std::string installedRecogniserLookup
        = add("BM_FreshProcessVerdictLookupRecogniser_AfterInstaller_" + suffix, "asr", recogniser,
            FreshLoad::AfterInstallerLookup);

    // What the node adds to the plain load, measured alone (its wall time is small and
    // hardly disturbed by the machine's other load): the goal is the same 5 %.
    const std::string what = realSize ? " (real size)" : " (test models)";
    // Figures of one kind share a number, lettered in order; other processes on the machine
    // only ever add time, so each takes the least disturbed runs.
    const auto registerAtMost = [&](const std::string& id, const std::string& title,
                                    const std::string& subject, const std::string& baseline, double target) {
        Figure f;
        f.id = id;
        f.title = title + what;
        f.subject = subject;
        f.baseline = baseline;
        f.clock = Clock::Manual;
        f.goal = Goal::AtMost;
        f.target = target;
        f.statistic = Figure::Statistic::Minimum;
        f.note = Figure::Note::BothMs;
        ombrix::bench::registerFigure(f);
    };
    char lookupId = realSize ? 'e' : 'a';
    const auto lookupFigure
        = [&](const std::string& title, const std::string& subject, const std::string& baseline) {
              registerAtMost(std::string("10") + lookupId++, title, subject, baseline, 0.05);
          };
    lookupFigure("Voice, later process: the verdict lookup vs plain load", laterVoiceLookup, plainVoice);
    lookupFigure("Recogniser, later process: the verdict lookup vs plain load", laterRecogniserLookup,
        plainRecogniser);
    lookupFigure("Voice, first start after the installer: the verdict lookup vs plain load",
        installedVoiceLookup, plainVoice);
    lookupFigure("Recogniser, first start after the installer: the verdict lookup vs plain load",
        installedRecogniserLookup, plainRecogniser);

    char id = firstId;
    const auto figure
        = [&](const std::string& title, const std::string& subject, const std::string& baseline) {
              registerAtMost(std::string("9") + id++, title, subject, baseline, 1.05);
          };
    figure("Voice, later process (stored per user), fresh process vs plain load", laterVoice, plainVoice);
    figure("Recogniser, later process (stored per user), fresh process vs plain load", laterRecogniser,
        plainRecogniser);
    figure("Voice, first start after the installer checked it vs plain load", installedVoice, plainVoice);
    figure("Recogniser, first start after the installer checked it vs plain load", installedRecogniser,
        plainRecogniser);
}

// ---- installing the real-size voice ---------------------------------------------------------

const std::string kPublishedVoiceName = "vits-piper-en_GB-southern_english_female-low";

/// The published archive of the real-size voice (its ONNX model, tokens.txt and
/// espeak-ng-data/ in one directory of the published name), made once; "" when that failed.
const std::string& realSizeVoiceArchive()
{
    static const std::string archive = [] {
        const std::string stage = std::string(OMBRIX_BUILD_DIR) + "/bench-voice-archive";
        const std::string archivePath = stage + "/" + kPublishedVoiceName + ".tar.bz2";
        if (std::filesystem::exists(archivePath)) {
            return archivePath;
        }
        const std::string top = stage + "/" + kPublishedVoiceName;
        std::error_code error;
        std::filesystem::remove_all(stage, error);
        std::filesystem::create_directories(top, error);
        const std::string source = kRealSizeDir + "/voice-onnx";
        std::filesystem::copy(source, top, std::filesystem::copy_options::recursive, error);
        const std::string command = "tar -cjf " + quoted(archivePath + ".part") + " -C " + quoted(stage) + " "
            + kPublishedVoiceName + " && mv " + quoted(archivePath + ".part") + " " + quoted(archivePath);
        return !error && std::system(command.c_str()) == 0 ? archivePath : std::string();
    }();
    return archive;
}

void installVoiceTime(benchmark::State& state)
{
    const std::string& archive = realSizeVoiceArchive();
    if (archive.empty()) {
        state.SkipWithError("the archive of the real-size voice could not be made");
        return;
    }
    const std::string prefix = std::string(OMBRIX_BUILD_DIR) + "/bench-install-prefix";
    const std::string command = quoted(std::string(OMBRIX_SOURCE_DIR) + "/scripts/install-voice.sh")
        + " --prefix " + quoted(prefix) + " --archive " + quoted(archive) + " --converter "
        + quoted(std::string(OMBRIX_LIB_DIR) + "/ombrix-convert-model") + " --checker " + quoted(kChecker)
        + " >/dev/null 2>&1";
    for (auto _ : state) {
        std::error_code ignored;
        std::filesystem::remove_all(prefix, ignored);
        const auto start = SteadyClock::now();
        const int status = std::system(command.c_str());
        state.SetIterationTime(secondsSince(start));
        if (status != 0) {
            state.SkipWithError("ombrix-install-voice failed on the real-size voice");
            return;
        }
    }
}

void registerInstallTime()
{
    benchmark::RegisterBenchmark("BM_InstallVoice_RealSize", installVoiceTime)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(kRealSizeRepetitions);
    Figure f;
    f.id = "9y";
    f.title = "Installing the 60 MB voice (unpack, conversion, checks) vs its plain load (real size)";
    f.subject = "BM_InstallVoice_RealSize";
    f.baseline = "BM_PlainLoadVoice_RealSize";
    f.clock = Clock::Manual;
    f.goal = Goal::Info;
    f.note = Figure::Note::BothMs;
    ombrix::bench::registerFigure(f);
}

const bool registered = ombrix::bench::registerLateRegistration([] {
    registerSize(smallModels(), 'a', true);
    registerFreshProcessFigures(smallModels(), 'q');
    if (ombrix::bench::realSizeMode()) {
        registerSize(realSizeModels(), 'g', false);
        registerFreshProcessFigures(realSizeModels(), 'u');
        registerInstallTime();
    }
});

} // namespace
