// Figure 8: what the bad-model-file protection (models/ModelFileChecker.h) adds to the load
// of good files, against the load itself (creating the sherpa-onnx engine or recogniser
// from the same files):
//  8a/8c  the first check of the files (a checker process loads and tries them);
//  8b/8d  a check of files already proven good (the cached verdict: a few stat calls);
//  8e     the first check of a recogniser whose graph has the size of a published one
//         (2 M arcs), where reading and checking the graph dominates.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "models/ModelFileChecker.h"
#include "stt/RecognizerConfig.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

using ombrix::bench::Clock;
using ombrix::bench::Figure;
using ombrix::bench::Goal;
using ombrix::extensions::sherpa::checkRecognizerFiles;
using ombrix::extensions::sherpa::checkSpeechSynthesisFiles;
using ombrix::extensions::sherpa::forgetCheckedModelFiles;
using ombrix::extensions::sherpa::ModelCheckResult;
using ombrix::extensions::sherpa::OfflineTtsPtr;
using ombrix::extensions::sherpa::OnlineRecognizerPtr;
using ombrix::extensions::sherpa::speechToTextRecognizerConfig;
using SteadyClock = std::chrono::steady_clock;

constexpr int kProcessIterations = 5;

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// ---- a large decoding graph -----------------------------------------------------------
//
// Written in OpenFst's binary vector layout (this program cannot include the C++17-only
// OpenFst headers): states with 8 arcs each, labels that the fixture model's 3 outputs
// and tokens.txt cover, word ids as large as a real lexicon's, next states spread over
// the whole graph, every tenth state final, and from every state but the start one
// epsilon arc back to the start (as a word end returns to the grammar's start).
constexpr int64_t kLargeGraphArcs = 2'000'000;
constexpr int64_t kArcsPerState = 8;
constexpr int64_t kLargeGraphStates = kLargeGraphArcs / kArcsPerState;
constexpr int32_t kInputLabels = 4; // epsilon and the three tokens
constexpr int32_t kWordIds = 200'000;
constexpr int64_t kFinalEvery = 10;
constexpr int32_t kFstMagic = 0x7eb2fdd6;
constexpr int32_t kVectorVersion = 2;
constexpr uint64_t kExpandedMutableProperties = 0x3;

template <typename T>
void put(std::string& out, T value)
{
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof value);
}

void putString(std::string& out, const std::string& text)
{
    put(out, static_cast<int32_t>(text.size()));
    out += text;
}

std::string largeGraphBytes()
{
    std::string out;
    put(out, kFstMagic);
    putString(out, "vector");
    putString(out, "standard");
    put(out, kVectorVersion);
    put(out, int32_t{0}); // flags: no symbol tables
    put(out, kExpandedMutableProperties);
    put(out, int64_t{0}); // start state
    put(out, kLargeGraphStates);
    put(out, kLargeGraphArcs);
    const float zero = 0.0F;
    const float infinity = std::numeric_limits<float>::infinity();
    for (int64_t state = 0; state < kLargeGraphStates; ++state) {
        put(out, state % kFinalEvery == 0 ? zero : infinity);
        put(out, kArcsPerState);
        for (int64_t arc = 0; arc < kArcsPerState; ++arc) {
            const int64_t index = state * kArcsPerState + arc;
            const bool backToStart = arc == kArcsPerState - 1 && state != 0;
            put(out, backToStart ? int32_t{0} : static_cast<int32_t>(1 + index % (kInputLabels - 1)));
            put(out, static_cast<int32_t>((index * 31) % kWordIds));
            put(out, static_cast<float>(arc % 5) * 0.25F);
            put(out,
                backToStart ? int32_t{0}
                            : static_cast<int32_t>((state * 7919 + arc * 104729) % kLargeGraphStates));
        }
    }
    return out;
}

/// The fixture recogniser with the large graph, written once per run and removed at exit.
class LargeGraphRecogniser {
public:
    LargeGraphRecogniser()
        : directory(
            std::filesystem::temp_directory_path() / ("ombrix-bench-graph-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(directory);
        files = ombrix::bench::fixtureRecogniser();
        files.graph = (directory / "HLG.fst").string();
        std::ofstream(files.graph, std::ios::binary) << largeGraphBytes();
    }
    ~LargeGraphRecogniser()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    LargeGraphRecogniser(const LargeGraphRecogniser&) = delete;
    LargeGraphRecogniser& operator=(const LargeGraphRecogniser&) = delete;

    std::filesystem::path directory;
    ombrix::bench::RecogniserFiles files;
};

const ombrix::bench::RecogniserFiles& largeGraphRecogniser()
{
    static const LargeGraphRecogniser recogniser;
    return recogniser.files;
}

ModelCheckResult checkLargeGraphRecogniser()
{
    const auto& files = largeGraphRecogniser();
    return checkRecognizerFiles(files.model, files.tokens, files.graph);
}

ModelCheckResult checkVoice()
{
    const auto voice = ombrix::bench::fixtureVoice("voice-en");
    return checkSpeechSynthesisFiles(voice.model, voice.tokens, voice.dataDirectory);
}

ModelCheckResult checkRecogniser()
{
    const auto files = ombrix::bench::fixtureRecogniser();
    return checkRecognizerFiles(files.model, files.tokens, files.graph);
}

template <ModelCheckResult (*Check)()>
void firstCheck(benchmark::State& state)
{
    for (auto _ : state) {
        forgetCheckedModelFiles();
        const auto start = SteadyClock::now();
        const ModelCheckResult result = Check();
        state.SetIterationTime(secondsSince(start));
        if (!result.ok || result.fromCache) {
            state.SkipWithError(result.ok ? "the verdict came from the cache" : result.problem.c_str());
            return;
        }
    }
}

template <ModelCheckResult (*Check)()>
void cachedCheck(benchmark::State& state)
{
    if (!Check().ok) {
        state.SkipWithError("the fixture files were not proven good");
        return;
    }
    for (auto _ : state) {
        const ModelCheckResult result = Check();
        if (!result.fromCache) {
            state.SkipWithError("the verdict was not cached");
            return;
        }
        benchmark::DoNotOptimize(result.ok);
    }
}

void BM_CheckVoice_First(benchmark::State& state)
{
    firstCheck<checkVoice>(state);
}
void BM_CheckVoice_Cached(benchmark::State& state)
{
    cachedCheck<checkVoice>(state);
}
void BM_CheckRecogniser_First(benchmark::State& state)
{
    firstCheck<checkRecogniser>(state);
}
void BM_CheckRecogniser_Cached(benchmark::State& state)
{
    cachedCheck<checkRecogniser>(state);
}
BENCHMARK(BM_CheckVoice_First)
    ->UseManualTime()
    ->Iterations(kProcessIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckVoice_Cached)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CheckRecogniser_First)
    ->UseManualTime()
    ->Iterations(kProcessIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckRecogniser_Cached)->Unit(benchmark::kMicrosecond);
void BM_CheckRecogniser_LargeGraph_First(benchmark::State& state)
{
    firstCheck<checkLargeGraphRecogniser>(state);
}
BENCHMARK(BM_CheckRecogniser_LargeGraph_First)
    ->UseManualTime()
    ->Iterations(kProcessIterations)
    ->Unit(benchmark::kMillisecond);

void BM_LoadVoice(benchmark::State& state)
{
    const auto voice = ombrix::bench::fixtureVoice("voice-en");
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = voice.model.c_str();
    config.model.vits.tokens = voice.tokens.c_str();
    config.model.vits.data_dir = voice.dataDirectory.c_str();
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        OfflineTtsPtr engine(SherpaOnnxCreateOfflineTts(&config));
        state.SetIterationTime(secondsSince(start));
        if (!engine) {
            state.SkipWithError("the fixture voice could not be loaded");
            return;
        }
    }
}
BENCHMARK(BM_LoadVoice)->UseManualTime()->Iterations(kProcessIterations)->Unit(benchmark::kMillisecond);

/// The recogniser as the speech-to-text node creates it (see SttBench.cpp).
void loadRecogniser(benchmark::State& state, const ombrix::bench::RecogniserFiles& files)
{
    const SherpaOnnxOnlineRecognizerConfig config
        = speechToTextRecognizerConfig(files.model, files.tokens, files.graph);
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        OnlineRecognizerPtr recognizer(SherpaOnnxCreateOnlineRecognizer(&config));
        state.SetIterationTime(secondsSince(start));
        if (!recognizer) {
            state.SkipWithError("the fixture recogniser could not be loaded");
            return;
        }
    }
}
void BM_LoadRecogniser(benchmark::State& state)
{
    loadRecogniser(state, ombrix::bench::fixtureRecogniser());
}
void BM_LoadRecogniser_LargeGraph(benchmark::State& state)
{
    loadRecogniser(state, largeGraphRecogniser());
}
BENCHMARK(BM_LoadRecogniser)->UseManualTime()->Iterations(kProcessIterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadRecogniser_LargeGraph)
    ->UseManualTime()
    ->Iterations(kProcessIterations)
    ->Unit(benchmark::kMillisecond);

const bool registered = [] {
    Figure voiceFirst;
    voiceFirst.id = "8a";
    voiceFirst.title = "Model check of a voice, first load (checker process) vs the load itself";
    voiceFirst.subject = "BM_CheckVoice_First";
    voiceFirst.baseline = "BM_LoadVoice";
    voiceFirst.clock = Clock::Manual;
    voiceFirst.goal = Goal::Info;
    ombrix::bench::registerFigure(voiceFirst);

    Figure voiceCached = voiceFirst;
    voiceCached.id = "8b";
    voiceCached.title = "Model check of a voice, files already proven good vs the load itself";
    voiceCached.subject = "BM_CheckVoice_Cached";
    // A few stat calls (every file of the voice, its phoneme data included) against
    // loading a model: a small fraction even of the tiny fixture voice's load.
    voiceCached.goal = Goal::AtMost;
    voiceCached.target = 0.05;
    ombrix::bench::registerFigure(voiceCached);

    Figure recogniserFirst = voiceFirst;
    recogniserFirst.id = "8c";
    recogniserFirst.title = "Model check of a recogniser, first load (checker process) vs the load itself";
    recogniserFirst.subject = "BM_CheckRecogniser_First";
    recogniserFirst.baseline = "BM_LoadRecogniser";
    ombrix::bench::registerFigure(recogniserFirst);

    Figure recogniserCached = voiceCached;
    recogniserCached.id = "8d";
    recogniserCached.title = "Model check of a recogniser, files already proven good vs the load itself";
    recogniserCached.subject = "BM_CheckRecogniser_Cached";
    recogniserCached.baseline = "BM_LoadRecogniser";
    ombrix::bench::registerFigure(recogniserCached);

    // The checker reads and checks the whole graph once (one pass over the file, one over
    // the arcs) and then loads it with the library as the node will: at most the load
    // again on top of the load.
    Figure largeGraphFirst = recogniserFirst;
    largeGraphFirst.id = "8e";
    largeGraphFirst.title = "Model check of a recogniser with a 2 M-arc graph, first load vs the load itself";
    largeGraphFirst.subject = "BM_CheckRecogniser_LargeGraph_First";
    largeGraphFirst.baseline = "BM_LoadRecogniser_LargeGraph";
    largeGraphFirst.goal = Goal::AtMost;
    largeGraphFirst.target = 2.0;
    ombrix::bench::registerFigure(largeGraphFirst);
    return true;
}();

} // namespace
