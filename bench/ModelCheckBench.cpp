// Figure 8: what the bad-model-file protection (models/ModelFileChecker.h) adds to the load
// of good files, against the load itself (creating the sherpa-onnx engine or recogniser
// from the same files):
//  8a/8c  the first check of the files (a checker process loads and tries them);
//  8b/8d  a check of files already proven good (the cached verdict: a few stat calls).

#include <benchmark/benchmark.h>

#include <chrono>

#include "BenchSupport.h"
#include "models/ModelFileChecker.h"
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
using SteadyClock = std::chrono::steady_clock;

constexpr int kProcessIterations = 5;

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
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
void BM_LoadRecogniser(benchmark::State& state)
{
    const auto files = ombrix::bench::fixtureRecogniser();
    SherpaOnnxOnlineRecognizerConfig config{};
    config.feat_config.feature_dim = 80;
    config.model_config.zipformer2_ctc.model = files.model.c_str();
    config.model_config.tokens = files.tokens.c_str();
    config.model_config.num_threads = 4;
    config.model_config.provider = "cpu";
    config.ctc_fst_decoder_config.graph = files.graph.c_str();
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
BENCHMARK(BM_LoadRecogniser)->UseManualTime()->Iterations(kProcessIterations)->Unit(benchmark::kMillisecond);

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
    return true;
}();

} // namespace
