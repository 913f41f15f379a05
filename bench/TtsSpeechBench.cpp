// Text-to-speech node figures for long texts, "stop" and voices at other rates:
//  11 first non-silent sample out of produce after "synthesize" of a 2,000-character text
//     (blocks pulled at once, as in 5b) vs sherpa-onnx's own first callback for the same
//     text plus one 10 ms block;
//  12a "stop" while a long text plays: blocks pulled until the output is silent, against
//     one block (a block count: the manual time of each side is blocks x 10 ms);
//  12b "stop" while the worker synthesises a long text: until the worker is idle, vs the
//     engine synthesising one sentence of the text (worker and engine CPU time);
//  13 real-time factor of a long text through the node (action to the complete item)
//     vs sherpa-onnx generating it directly (the whole audio, no callback, on a waiting
//     thread of its own like the node's worker), for the 16 kHz
//     voice (13a) and a 22050 Hz voice, converted sentence by sentence (13b);
//  14 the 22050 Hz voice's audio of the long text converted to 16 kHz sentence by
//     sentence (VoiceRateStream, as the node does) vs in one go (convertVoiceSampleRate).
//
// Every side is reported as manual time: wall time for the latencies (11, 12), process CPU
// time for the real-time factors (13), where the node works on its worker thread.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "host/OXAny.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"
#include "tts/VoiceRateConverter.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::bench::BlockPuller;
using ombrix::bench::Clock;
using ombrix::bench::Figure;
using ombrix::extensions::sherpa::GeneratedAudioPtr;
using ombrix::extensions::sherpa::OfflineTtsPtr;
using ombrix::extensions::sherpa::SherpaTTSNode;
using SteadyClock = std::chrono::steady_clock;

constexpr int kInnerRate = 16000;
constexpr unsigned kInnerBlock = 160;
constexpr unsigned kMono = 1;
/// One block of the inner graph, added to the engine's first callback in figure 8.
constexpr double kBlockSeconds = double(kInnerBlock) / kInnerRate;
constexpr std::size_t kLongTextCharacters = 2000;
constexpr int kIterations = 5;
constexpr auto kWaitLimit = std::chrono::seconds(60);
constexpr int kMaxBlocksToSilence = 1000;

/// About 2,000 characters of the benchmark sentences (whole sentences).
const std::string& longText()
{
    static const std::string text = [] {
        std::size_t count = 1;
        while (ombrix::bench::sentences(count).size() < kLongTextCharacters) {
            ++count;
        }
        return ombrix::bench::sentences(count);
    }();
    return text;
}

OfflineTtsPtr createEngine(const std::string& voiceName)
{
    const auto voice = ombrix::bench::fixtureVoice(voiceName);
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = voice.model.c_str();
    config.model.vits.tokens = voice.tokens.c_str();
    config.model.vits.data_dir = voice.dataDirectory.c_str();
    return OfflineTtsPtr(SherpaOnnxCreateOfflineTts(&config));
}

/// The generation settings the node uses for a text: speaker 0 at speed 1, short pauses.
SherpaOnnxGenerationConfig nodeGeneration()
{
    SherpaOnnxGenerationConfig generation{};
    generation.silence_scale = 0.2f;
    generation.speed = 1.0f;
    return generation;
}

std::unique_ptr<SherpaTTSNode> nodeWithVoice(benchmark::State& state, const std::string& voiceName)
{
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap{{"loadDefaultVoice", OXAny(false)}});
    const auto voice = ombrix::bench::fixtureVoice(voiceName);
    if (!node->loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        state.SkipWithError("the fixture voice could not be loaded");
        return nullptr;
    }
    return node;
}

/// Polls `condition` every `interval` (yielding only when zero): a measurement of the
/// worker must not spin beside it on a machine with few cores.
template <typename Condition>
bool waitFor(Condition condition, std::chrono::microseconds interval = std::chrono::microseconds(0))
{
    const auto deadline = SteadyClock::now() + kWaitLimit;
    while (!condition()) {
        if (SteadyClock::now() > deadline) {
            return false;
        }
        if (interval.count() > 0) {
            std::this_thread::sleep_for(interval);
        } else {
            std::this_thread::yield();
        }
    }
    return true;
}

/// The polling interval while the worker synthesises a long text: the poller's own CPU
/// time counts in figure 13 (a wake-up costs microseconds), its delay does not.
constexpr std::chrono::microseconds kLongTextPoll{1000};

bool workerIdle(SherpaTTSNode& node)
{
    auto& internals = node.getInternalsForTesting();
    std::lock_guard<std::mutex> lock(internals.queueMutex);
    return internals.textQueue.empty() && !internals.synthesisActive;
}

/// Stops whatever the node does and pulls until it is quiet and its worker idle.
bool settle(SherpaTTSNode& node, BlockPuller& puller)
{
    node.stop();
    auto& internals = node.getInternalsForTesting();
    for (int i = 0; i < 100000; ++i) {
        puller.pull();
        if (internals.playingAudio.load() == nullptr && !internals.audioIsPlaying.load() && workerIdle(node)
            && !puller.lastBlockHasSound()) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

/// CPU time of the whole process (every thread): robust against the machine's other load,
/// which stretches wall time; the node's work runs on its worker thread.
double processCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double secondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// ---- figure 11 ------------------------------------------------------------------------

void BM_TtsFirstAudio_LongText(benchmark::State& state)
{
    auto node = nodeWithVoice(state, "voice-en");
    if (!node) {
        return;
    }
    BlockPuller puller(*node, kInnerRate, kMono, kInnerBlock);
    const OXAnyMap parameters{{"text", OXAny(longText())}};
    for (auto _ : state) {
        if (!settle(*node, puller)) {
            state.SkipWithError("the node did not settle");
            return;
        }
        const auto start = SteadyClock::now();
        node->callAction("synthesize", parameters);
        bool sound = false;
        while (!sound && SteadyClock::now() - start < kWaitLimit) {
            puller.pull();
            sound = puller.lastBlockHasSound();
            if (!sound) {
                std::this_thread::yield();
            }
        }
        const double elapsed = secondsSince(start);
        if (!sound) {
            state.SkipWithError("no audio within the time limit");
            return;
        }
        state.SetIterationTime(elapsed);
    }
    settle(*node, puller);
}
BENCHMARK(BM_TtsFirstAudio_LongText)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

/// Ends the engine's generation at its first callback, noting the time.
int32_t stopAtFirstCallback(const float* /*samples*/, int32_t /*n*/, float /*progress*/, void* arg)
{
    *static_cast<SteadyClock::time_point*>(arg) = SteadyClock::now();
    return 0;
}

void BM_EngineFirstCallbackPlusBlock_LongText(benchmark::State& state)
{
    const OfflineTtsPtr engine = createEngine("voice-en");
    if (!engine) {
        state.SkipWithError("the fixture voice could not be loaded");
        return;
    }
    const SherpaOnnxGenerationConfig generation = nodeGeneration();
    for (auto _ : state) {
        SteadyClock::time_point first{};
        const auto start = SteadyClock::now();
        const GeneratedAudioPtr audio(SherpaOnnxOfflineTtsGenerateWithConfig(
            engine.get(), longText().c_str(), &generation, &stopAtFirstCallback, &first));
        if (first == SteadyClock::time_point{}) {
            state.SkipWithError("the engine made no callback");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(first - start).count() + kBlockSeconds);
    }
}
BENCHMARK(BM_EngineFirstCallbackPlusBlock_LongText)
    ->UseManualTime()
    ->Iterations(kIterations)
    ->Unit(benchmark::kMillisecond);

// ---- figure 12 ------------------------------------------------------------------------

/// Blocks pulled after "stop" until one is silent (that one included), as blocks x 10 ms.
void BM_TtsStopToSilence(benchmark::State& state)
{
    auto node = nodeWithVoice(state, "voice-en");
    if (!node) {
        return;
    }
    BlockPuller puller(*node, kInnerRate, kMono, kInnerBlock);
    const OXAnyMap parameters{{"text", OXAny(longText())}};
    for (auto _ : state) {
        state.PauseTiming();
        if (!settle(*node, puller)) {
            state.SkipWithError("the node did not settle");
            return;
        }
        node->callAction("synthesize", parameters);
        bool sound = false;
        for (int i = 0; i < 100000 && !sound; ++i) {
            puller.pull();
            sound = puller.lastBlockHasSound();
            std::this_thread::yield();
        }
        // Well inside the speech.
        for (int i = 0; i < 10; ++i) {
            puller.pull();
        }
        state.ResumeTiming();
        if (!sound || !puller.lastBlockHasSound()) {
            state.SkipWithError("the node did not play");
            return;
        }
        node->callAction("stop", OXAnyMap());
        int blocks = 0;
        do {
            puller.pull();
            ++blocks;
        } while (puller.lastBlockHasSound() && blocks < kMaxBlocksToSilence);
        state.SetIterationTime(blocks * kBlockSeconds);
    }
    settle(*node, puller);
}
BENCHMARK(BM_TtsStopToSilence)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

/// One block: the unit of figure 9a.
void BM_OneBlock(benchmark::State& state)
{
    for (auto _ : state) {
        state.SetIterationTime(kBlockSeconds);
    }
}
BENCHMARK(BM_OneBlock)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

/// Polling while the worker winds down after "stop": fine enough for a figure of a few
/// hundred microseconds, without spinning beside the worker on a machine with few cores.
constexpr std::chrono::microseconds kStopPoll{20};

double cpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

/// The worker's CPU time when it last finished a text, recorded on the worker.
std::atomic<double> synthesisEndedAt{0.0};

void recordSynthesisEnd(const SherpaTTSNode::Internals::GeneratedAudio* /*latest*/)
{
    synthesisEndedAt.store(cpuSeconds(CLOCK_THREAD_CPUTIME_ID));
}

/// The node that the worker stops right after the first sentence of its next text, and the
/// worker's CPU time at that moment.
std::atomic<SherpaTTSNode*> stopAfterFirstSentence{nullptr};
std::atomic<double> stopIssuedAt{0.0};

void stopAtFirstChunk(const SherpaTTSNode::Internals::GeneratedAudio* item)
{
    if (item->first.next.load() != nullptr) {
        return;
    }
    if (SherpaTTSNode* const node = stopAfterFirstSentence.exchange(nullptr)) {
        stopIssuedAt.store(cpuSeconds(CLOCK_THREAD_CPUTIME_ID));
        node->stop();
    }
}

/// One long text stopped right after its first sentence was published, the moment that
/// leaves the worker the most to do (a whole sentence); returns the worker's CPU time
/// from the stop to the end of the text, or a negative value.
double stopOnce(SherpaTTSNode& node, BlockPuller& puller)
{
    using Hooks = SherpaTTSNode::Internals::TestHooks;
    if (!settle(node, puller)) {
        return -1.0;
    }
    synthesisEndedAt.store(0.0);
    stopIssuedAt.store(0.0);
    stopAfterFirstSentence.store(&node);
    Hooks::onSynthesisEnded.store(&recordSynthesisEnd);
    Hooks::onChunkPublished.store(&stopAtFirstChunk);
    node.synthesize(longText());
    const bool ended = waitFor([&] { return synthesisEndedAt.load() != 0.0 && workerIdle(node); }, kStopPoll);
    Hooks::onChunkPublished.store(nullptr);
    Hooks::onSynthesisEnded.store(nullptr);
    stopAfterFirstSentence.store(nullptr);
    if (!ended || stopIssuedAt.load() == 0.0) {
        return -1.0;
    }
    return synthesisEndedAt.load() - stopIssuedAt.load();
}

/// "stop" while the worker is inside the engine with a long text, until the worker has
/// left the text. The stop is issued by the worker itself, from the chunk hook, right
/// after the first sentence (the same as an application thread's stop at that moment:
/// the synthesis ends at the next sentence), and both ends are read from the worker's
/// CPU clock, so that neither a poller's wake-up nor the preemption of the worker on a
/// busy machine counts; the baseline is CPU time too.
void BM_TtsStopToWorkerIdle(benchmark::State& state)
{
    auto node = nodeWithVoice(state, "voice-en");
    if (!node) {
        return;
    }
    BlockPuller puller(*node, kInnerRate, kMono, kInnerBlock);
    // The engine's first text (espeak-ng's voice set-up) is not part of the figure.
    if (stopOnce(*node, puller) < 0.0) {
        state.SkipWithError("the worker did not stop");
        return;
    }
    for (auto _ : state) {
        const double elapsed = stopOnce(*node, puller);
        if (elapsed < 0.0) {
            state.SkipWithError("the worker did not stop");
            return;
        }
        state.SetIterationTime(elapsed);
    }
    settle(*node, puller);
}
BENCHMARK(BM_TtsStopToWorkerIdle)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

/// The engine synthesising one sentence of the long text (its longest kind).
void BM_EngineOneSentence(benchmark::State& state)
{
    const OfflineTtsPtr engine = createEngine("voice-en");
    if (!engine) {
        state.SkipWithError("the fixture voice could not be loaded");
        return;
    }
    const SherpaOnnxGenerationConfig generation = nodeGeneration();
    constexpr const char* kSentence = "The weather is fine, thank you.";
    const GeneratedAudioPtr warmUp(
        SherpaOnnxOfflineTtsGenerateWithConfig(engine.get(), kSentence, &generation, nullptr, nullptr));
    for (auto _ : state) {
        const double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const GeneratedAudioPtr audio(
            SherpaOnnxOfflineTtsGenerateWithConfig(engine.get(), kSentence, &generation, nullptr, nullptr));
        const double elapsed = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
        if (!audio) {
            state.SkipWithError("the engine produced no audio");
            return;
        }
        state.SetIterationTime(elapsed);
    }
}
BENCHMARK(BM_EngineOneSentence)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

// ---- figure 13 -----------------------------------------------------------------------

void nodeLongText(benchmark::State& state, const char* voiceName)
{
    auto node = nodeWithVoice(state, voiceName);
    if (!node) {
        return;
    }
    auto& internals = node->getInternalsForTesting();
    // The engine's first text (espeak-ng's voice set-up) is not part of the figure.
    node->synthesize("Hello world.");
    if (!waitFor([&] { return internals.latestAudio.load() != nullptr && workerIdle(*node); })) {
        state.SkipWithError("the node did not speak");
        return;
    }
    for (auto _ : state) {
        const auto* const before = internals.latestAudio.load();
        const double start = processCpuSeconds();
        node->synthesize(longText());
        SherpaTTSNode::Internals::GeneratedAudio* item = nullptr;
        const bool complete = waitFor(
            [&] {
                item = internals.latestAudio.load();
                return item != before && item != nullptr && item->generationComplete.load();
            },
            kLongTextPoll);
        const double elapsed = processCpuSeconds() - start;
        if (!complete || !waitFor([&] { return workerIdle(*node); })) {
            state.SkipWithError("the text was not synthesised");
            return;
        }
        state.SetIterationTime(elapsed);
    }
}

/// sherpa-onnx generating a text on a thread of its own that waits between texts, as the
/// node's worker does (so that both sides start cold alike on a machine with idle cores).
class EngineThread {
public:
    explicit EngineThread(const SherpaOnnxOfflineTts* tts)
        : engine(tts)
        , thread([this] { run(); })
    {
    }
    ~EngineThread()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            quit = true;
        }
        changed.notify_all();
        thread.join();
    }
    EngineThread(const EngineThread&) = delete;
    EngineThread& operator=(const EngineThread&) = delete;

    /// Generates `text` there and waits; returns the number of samples.
    int32_t generate(const char* text)
    {
        std::unique_lock<std::mutex> lock(mutex);
        request = text;
        done = false;
        changed.notify_all();
        changed.wait(lock, [this] { return done; });
        return samples;
    }

private:
    void run()
    {
        const SherpaOnnxGenerationConfig generation = nodeGeneration();
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            changed.wait(lock, [this] { return quit || request != nullptr; });
            if (quit) {
                return;
            }
            const char* const text = request;
            request = nullptr;
            lock.unlock();
            const GeneratedAudioPtr audio(
                SherpaOnnxOfflineTtsGenerateWithConfig(engine, text, &generation, nullptr, nullptr));
            lock.lock();
            samples = audio ? audio->n : 0;
            done = true;
            changed.notify_all();
        }
    }

    const SherpaOnnxOfflineTts* const engine;
    std::mutex mutex;
    std::condition_variable changed;
    const char* request = nullptr;
    bool done = false;
    bool quit = false;
    int32_t samples = 0;
    std::thread thread;
};

void engineLongText(benchmark::State& state, const char* voiceName)
{
    const OfflineTtsPtr engine = createEngine(voiceName);
    if (!engine) {
        state.SkipWithError("the fixture voice could not be loaded");
        return;
    }
    EngineThread generator(engine.get());
    // As for the node: the first text is not part of the figure.
    generator.generate("Hello world.");
    for (auto _ : state) {
        const double start = processCpuSeconds();
        const int32_t samples = generator.generate(longText().c_str());
        const double elapsed = processCpuSeconds() - start;
        if (samples <= 0) {
            state.SkipWithError("the engine produced no audio");
            return;
        }
        state.SetIterationTime(elapsed);
    }
}

void BM_TtsNodeLongText_16k(benchmark::State& state)
{
    nodeLongText(state, "voice-en");
}
void BM_EngineLongText_16k(benchmark::State& state)
{
    engineLongText(state, "voice-en");
}
void BM_TtsNodeLongText_22050(benchmark::State& state)
{
    nodeLongText(state, "voice-22050");
}
void BM_EngineLongText_22050(benchmark::State& state)
{
    engineLongText(state, "voice-22050");
}
BENCHMARK(BM_TtsNodeLongText_16k)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineLongText_16k)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TtsNodeLongText_22050)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EngineLongText_22050)->UseManualTime()->Iterations(kIterations)->Unit(benchmark::kMillisecond);

// ---- figure 14 -----------------------------------------------------------------------

/// The 22050 Hz voice's sentences of the long text, as the engine hands them out.
const std::vector<std::vector<float>>& voiceSentences()
{
    static const std::vector<std::vector<float>> sentences = [] {
        const OfflineTtsPtr engine = createEngine("voice-22050");
        if (!engine) {
            throw std::runtime_error("the 22050 Hz fixture voice could not be loaded");
        }
        std::vector<std::vector<float>> kept;
        SherpaOnnxGenerationConfig generation{};
        const GeneratedAudioPtr audio(SherpaOnnxOfflineTtsGenerateWithConfig(
            engine.get(), longText().c_str(), &generation,
            [](const float* samples, int32_t n, float, void* arg) -> int32_t {
                static_cast<std::vector<std::vector<float>>*>(arg)->emplace_back(samples, samples + n);
                return 1;
            },
            &kept));
        return kept;
    }();
    return sentences;
}

constexpr int kVoiceRate = 22050;

void BM_ConvertPerSentence_22050(benchmark::State& state)
{
    const auto& sentences = voiceSentences();
    for (auto _ : state) {
        ombrix::extensions::sherpa::VoiceRateStream stream(kVoiceRate, kInnerRate);
        std::vector<float> converted;
        std::string error;
        for (const auto& sentence : sentences) {
            std::vector<float> chunk;
            stream.push(sentence.data(), sentence.size(), chunk, error);
            converted.insert(converted.end(), chunk.begin(), chunk.end());
        }
        stream.finish(converted, error);
        benchmark::DoNotOptimize(converted.data());
    }
}
BENCHMARK(BM_ConvertPerSentence_22050)->Unit(benchmark::kMillisecond);

void BM_ConvertWhole_22050(benchmark::State& state)
{
    std::vector<float> whole;
    for (const auto& sentence : voiceSentences()) {
        whole.insert(whole.end(), sentence.begin(), sentence.end());
    }
    for (auto _ : state) {
        std::vector<float> converted;
        std::string error;
        ombrix::extensions::sherpa::convertVoiceSampleRate(
            whole.data(), whole.size(), kVoiceRate, kInnerRate, converted, error);
        benchmark::DoNotOptimize(converted.data());
    }
}
BENCHMARK(BM_ConvertWhole_22050)->Unit(benchmark::kMillisecond);

/// A figure of manually timed runs, subject against baseline, with both times shown.
Figure manualFigure(
    const char* id, const char* title, const char* subject, const char* baseline, double target)
{
    Figure figure;
    figure.id = id;
    figure.title = title;
    figure.subject = subject;
    figure.baseline = baseline;
    figure.clock = Clock::Manual;
    figure.target = target;
    figure.note = Figure::Note::BothMs;
    return figure;
}

const bool registered = [] {
    using ombrix::bench::registerFigure;
    registerFigure(manualFigure("11",
        "First audio of a 2,000-character text vs the engine's first callback + one 10 ms block",
        "BM_TtsFirstAudio_LongText", "BM_EngineFirstCallbackPlusBlock_LongText", 1.2));

    Figure stopToSilence
        = manualFigure("12a", "\"stop\" while playing to a silent block at the output, in 10 ms blocks",
            "BM_TtsStopToSilence", "BM_OneBlock", 2.0);
    stopToSilence.note = Figure::Note::None;
    stopToSilence.unit = " blocks";
    registerFigure(stopToSilence);

    registerFigure(
        manualFigure("12b", "\"stop\" during a long synthesis to the worker idle vs one sentence (CPU time)",
            "BM_TtsStopToWorkerIdle", "BM_EngineOneSentence", 1.0));
    registerFigure(manualFigure("13a",
        "Long text (2,000 characters) synthesised through the node vs sherpa-onnx, 16 kHz voice",
        "BM_TtsNodeLongText_16k", "BM_EngineLongText_16k", 1.1));

    // The synthetic voice speaks this text about a thousand times faster than real time, so
    // the conversion (figure 14) weighs here as it never does with a real voice.
    Figure longText22k = manualFigure("13b",
        "Long text through the node vs sherpa-onnx, 22050 Hz voice (converted per sentence)",
        "BM_TtsNodeLongText_22050", "BM_EngineLongText_22050", 1.1);
    longText22k.goal = ombrix::bench::Goal::Info;
    registerFigure(longText22k);

    Figure conversion
        = manualFigure("14", "22050 Hz voice to 16 kHz, sentence by sentence vs the whole text in one go",
            "BM_ConvertPerSentence_22050", "BM_ConvertWhole_22050", 1.0);
    conversion.clock = Clock::Cpu;
    conversion.goal = ombrix::bench::Goal::Info;
    registerFigure(conversion);
    return true;
}();

} // namespace
