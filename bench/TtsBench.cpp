// Text-to-speech node figures:
//  1  produce per block while playing, 16000 Hz mono, 160 frames, vs memset + memcpy of
//     the same block;
//  2  produce at 48000 Hz stereo, 480 frames (through the resampler), vs libsoxr alone
//     converting the same audio the same way (16 -> 48 kHz, 2 channels, HQ, 160-frame
//     input chunks); 2b compares with libsoxr converting one channel and copying it;
//  5  time to first audio: "synthesize" action to the first block that carries samples,
//     minus the engine's own generate time for the same text (5a with a real-time block
//     clock, 5b pulling blocks as fast as possible);
//  7  appendStreamingText per token over a 10,000-token stream, and per-token cost at
//     10,000 tokens against 1,000 tokens (linear growth).
//
// The node plays the synthetic voice of the fixtures. While a figure measures steady
// playback, the benchmark thread is the node's audio thread and rewinds the playing
// item's position before it runs out, so every block is a block of speech.

#include <benchmark/benchmark.h>

#include <soxr.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "host/OXAny.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::bench::BlockPuller;
using ombrix::bench::Clock;
using ombrix::bench::Figure;
using ombrix::bench::Goal;
using ombrix::bench::Measure;
using ombrix::extensions::sherpa::GeneratedAudioPtr;
using ombrix::extensions::sherpa::OfflineTtsPtr;
using ombrix::extensions::sherpa::SherpaTTSNode;
using GeneratedAudio = SherpaTTSNode::Internals::GeneratedAudio;
using SteadyClock = std::chrono::steady_clock;

constexpr int kInnerRate = 16000;
constexpr unsigned kInnerBlock = 160;
constexpr int kGraphRate = 48000;
constexpr unsigned kGraphBlock = 480;
constexpr unsigned kStereo = 2;
constexpr unsigned kMono = 1;
/// Long enough that the item is rewound only every few thousand blocks.
constexpr std::size_t kPlaybackSentences = 60;
constexpr const char* kFirstAudioText = "Hello world. How are you?";
constexpr auto kWaitLimit = std::chrono::seconds(30);
/// One block of the inner graph: the block clock of figure 5a.
constexpr auto kBlockPeriod = std::chrono::microseconds(1000000LL * kInnerBlock / kInnerRate);
constexpr int kFirstAudioIterations = 20;

OfflineTtsPtr createEngine(const ombrix::bench::VoiceFiles& voice)
{
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = voice.model.c_str();
    config.model.vits.tokens = voice.tokens.c_str();
    config.model.vits.data_dir = voice.dataDirectory.c_str();
    return OfflineTtsPtr(SherpaOnnxCreateOfflineTts(&config));
}

/// The synthetic voice's audio for the playback text, from the engine itself.
const std::vector<float>& speechSamples()
{
    static const std::vector<float> samples = [] {
        const OfflineTtsPtr engine = createEngine(ombrix::bench::fixtureVoice("voice-en"));
        if (!engine) {
            throw std::runtime_error("the fixture voice could not be loaded");
        }
        const std::string text = ombrix::bench::sentences(kPlaybackSentences);
        const GeneratedAudioPtr audio(SherpaOnnxOfflineTtsGenerate(engine.get(), text.c_str(), 0, 1.0f));
        if (!audio) {
            throw std::runtime_error("the fixture voice produced no audio");
        }
        return std::vector<float>(audio->samples, audio->samples + audio->n);
    }();
    return samples;
}

/// A node with the fixture voice loaded, or null (with the benchmark skipped).
std::unique_ptr<SherpaTTSNode> nodeWithVoice(benchmark::State& state)
{
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    const auto voice = ombrix::bench::fixtureVoice("voice-en");
    if (!node->loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        state.SkipWithError("the fixture voice could not be loaded");
        return nullptr;
    }
    return node;
}

template <typename Condition>
bool waitFor(Condition condition)
{
    const auto deadline = SteadyClock::now() + kWaitLimit;
    while (!condition()) {
        if (SteadyClock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

/// Queues the long playback text and pulls until the node plays it; returns the item.
GeneratedAudio* startPlayback(SherpaTTSNode& node, BlockPuller& puller)
{
    auto& internals = node.getInternalsForTesting();
    node.synthesize(ombrix::bench::sentences(kPlaybackSentences));
    if (!waitFor([&] { return internals.latestAudio.load() != nullptr; })) {
        return nullptr;
    }
    puller.pull();
    GeneratedAudio* item = internals.playingAudio.load();
    return item != nullptr && puller.lastBlockHasSound() ? item : nullptr;
}

/// Inner blocks left in the item when it is rewound: the resampler may pull more than
/// one inner block for one outer block.
constexpr int32_t kRewindMarginBlocks = 16;

/// Audio-thread side: keeps `item` from running out (the benchmark thread is the only
/// writer of its position, as the audio thread is in the node).
inline void keepPlaying(GeneratedAudio& item)
{
    if (item.sampleCount.load(std::memory_order_relaxed) - item.playPosition.load(std::memory_order_relaxed)
        < kRewindMarginBlocks * static_cast<int32_t>(kInnerBlock)) {
        item.rewind();
    }
}

// ---- figure 1 ------------------------------------------------------------------------

void BM_TtsProduce_16kMono(benchmark::State& state)
{
    auto node = nodeWithVoice(state);
    if (!node) {
        return;
    }
    BlockPuller puller(*node, kInnerRate, kMono, kInnerBlock);
    GeneratedAudio* item = startPlayback(*node, puller);
    if (item == nullptr) {
        state.SkipWithError("the node did not start playing");
        return;
    }
    for (auto _ : state) {
        keepPlaying(*item);
        puller.pull();
        benchmark::DoNotOptimize(puller.channel(0));
        benchmark::ClobberMemory();
    }
    if (node->getInternalsForTesting().playingAudio.load() != item || !puller.lastBlockHasSound()) {
        state.SkipWithError("playback stopped during the run");
    }
}
BENCHMARK(BM_TtsProduce_16kMono);

/// What produce must do at the least: silence the block and put the samples in.
void BM_MemsetMemcpy_16kMono(benchmark::State& state)
{
    const std::vector<float>& speech = speechSamples();
    std::vector<float> block(kInnerBlock);
    std::size_t position = 0;
    for (auto _ : state) {
        if (speech.size() - position < kRewindMarginBlocks * kInnerBlock) {
            position = 0;
        }
        std::memset(block.data(), 0, kInnerBlock * sizeof(float));
        std::memcpy(block.data(), speech.data() + position, kInnerBlock * sizeof(float));
        position += kInnerBlock;
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemsetMemcpy_16kMono);

// ---- figure 2 ------------------------------------------------------------------------

void BM_TtsProduce_48kStereo(benchmark::State& state)
{
    auto node = nodeWithVoice(state);
    if (!node) {
        return;
    }
    BlockPuller puller(*node, kGraphRate, kStereo, kGraphBlock);
    GeneratedAudio* item = startPlayback(*node, puller);
    if (item == nullptr) {
        // The resampler's look-ahead may hold the first samples back for a few blocks.
        for (int i = 0; i < 20 && !puller.lastBlockHasSound(); ++i) {
            puller.pull();
        }
        item = node->getInternalsForTesting().playingAudio.load();
        if (item == nullptr || !puller.lastBlockHasSound()) {
            state.SkipWithError("the node did not start playing");
            return;
        }
    }
    for (auto _ : state) {
        keepPlaying(*item);
        puller.pull();
        benchmark::DoNotOptimize(puller.channel(0));
        benchmark::ClobberMemory();
    }
    if (node->getInternalsForTesting().playingAudio.load() != item || !puller.lastBlockHasSound()) {
        state.SkipWithError("playback stopped during the run");
    }
}
BENCHMARK(BM_TtsProduce_48kStereo);

struct SoxrDeleter {
    void operator()(soxr_t converter) const { soxr_delete(converter); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

/// libsoxr alone, configured as the host resampler configures it (HQ, planar float, one
/// thread), fed the speech 160 frames at a time and drained after each chunk.
void soxrOnly(benchmark::State& state, unsigned convertedChannels)
{
    const std::vector<float>& speech = speechSamples();
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    const SoxrPtr converter(
        soxr_create(kInnerRate, kGraphRate, convertedChannels, &error, &io, &quality, &runtime));
    if (error != nullptr || !converter) {
        state.SkipWithError("soxr_create failed");
        return;
    }
    // Room for soxr's bursts, as the host resampler keeps.
    constexpr std::size_t kOutputCapacity = 3 * kInnerBlock + 16384;
    std::vector<std::vector<float>> output(kStereo, std::vector<float>(kOutputCapacity));
    std::vector<float*> outputPointers = {output[0].data(), output[1].data()};
    std::size_t position = 0;
    for (auto _ : state) {
        if (speech.size() - position < kRewindMarginBlocks * kInnerBlock) {
            position = 0;
        }
        const float* input[kStereo] = {speech.data() + position, speech.data() + position};
        std::size_t produced = 0;
        soxr_process(
            converter.get(), input, kInnerBlock, nullptr, outputPointers.data(), kOutputCapacity, &produced);
        if (convertedChannels == kMono) {
            std::memcpy(output[1].data(), output[0].data(), produced * sizeof(float));
        }
        position += kInnerBlock;
        benchmark::DoNotOptimize(output[1].data());
        benchmark::ClobberMemory();
    }
}

void BM_SoxrOnly_48kStereo(benchmark::State& state)
{
    soxrOnly(state, kStereo);
}
void BM_SoxrMonoCopy_48kStereo(benchmark::State& state)
{
    soxrOnly(state, kMono);
}
BENCHMARK(BM_SoxrOnly_48kStereo);
BENCHMARK(BM_SoxrMonoCopy_48kStereo);

// ---- figure 5 ------------------------------------------------------------------------

/// Pulls until nothing plays any more (the previous iteration's item has ended).
bool playOut(SherpaTTSNode& node, BlockPuller& puller)
{
    auto& internals = node.getInternalsForTesting();
    for (int i = 0; i < 100000; ++i) {
        if (internals.playingAudio.load() == nullptr && !internals.audioIsPlaying.load()) {
            return true;
        }
        puller.pull();
    }
    return false;
}

void firstAudio(benchmark::State& state, bool paced)
{
    auto node = nodeWithVoice(state);
    if (!node) {
        return;
    }
    BlockPuller puller(*node, kInnerRate, kMono, kInnerBlock);
    const OXAnyMap parameters{{"text", OXAny(kFirstAudioText)}};
    int iteration = 0;
    for (auto _ : state) {
        if (!playOut(*node, puller)) {
            state.SkipWithError("the previous item did not end");
            return;
        }
        // A real graph's block clock runs independently of the action: spread the
        // action's phase over the block period.
        const auto phase = kBlockPeriod * (iteration++ % 10) / 10;
        const auto start = SteadyClock::now();
        auto nextBlock = start + phase;
        node->callAction("synthesize", parameters);
        const auto deadline = start + kWaitLimit;
        bool sound = false;
        while (!sound && SteadyClock::now() < deadline) {
            if (paced) {
                std::this_thread::sleep_until(nextBlock);
                nextBlock += kBlockPeriod;
            }
            puller.pull();
            sound = puller.lastBlockHasSound();
            if (!paced && !sound) {
                std::this_thread::yield();
            }
        }
        const auto end = SteadyClock::now();
        if (!sound) {
            state.SkipWithError("no audio within the time limit");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}

void BM_TtsFirstAudio_Paced(benchmark::State& state)
{
    firstAudio(state, true);
}
void BM_TtsFirstAudio_Unpaced(benchmark::State& state)
{
    firstAudio(state, false);
}
BENCHMARK(BM_TtsFirstAudio_Paced)
    ->UseManualTime()
    ->Iterations(kFirstAudioIterations)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TtsFirstAudio_Unpaced)
    ->UseManualTime()
    ->Iterations(kFirstAudioIterations)
    ->Unit(benchmark::kMillisecond);

void BM_EngineGenerate(benchmark::State& state)
{
    const OfflineTtsPtr engine = createEngine(ombrix::bench::fixtureVoice("voice-en"));
    if (!engine) {
        state.SkipWithError("the fixture voice could not be loaded");
        return;
    }
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        const GeneratedAudioPtr audio(SherpaOnnxOfflineTtsGenerate(engine.get(), kFirstAudioText, 0, 1.0f));
        const auto end = SteadyClock::now();
        if (!audio) {
            state.SkipWithError("the engine produced no audio");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
}
BENCHMARK(BM_EngineGenerate)
    ->UseManualTime()
    ->Iterations(kFirstAudioIterations)
    ->Unit(benchmark::kMillisecond);

// ---- figure 7 ------------------------------------------------------------------------

/// Streams `count` tokens into a node without a voice (so that the worker drops the cut
/// pieces at once instead of synthesising them beside the measurement).
void appendStream(benchmark::State& state, std::size_t count)
{
    SherpaTTSNode node{OXAnyMap()};
    node.loadModel("/nonexistent/model.onnx", "/nonexistent/tokens.txt", "/nonexistent/espeak-ng-data");
    const std::vector<std::string> tokens = ombrix::bench::tokenStream(count);
    for (auto _ : state) {
        for (const std::string& token : tokens) {
            node.appendStreamingText(token, false);
        }
        node.appendStreamingText("", true);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

constexpr std::size_t kShortStream = 1000;
constexpr std::size_t kLongStream = 10000;
void BM_AppendStreamingText_1k(benchmark::State& state)
{
    appendStream(state, kShortStream);
}
void BM_AppendStreamingText_10k(benchmark::State& state)
{
    appendStream(state, kLongStream);
}
BENCHMARK(BM_AppendStreamingText_1k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendStreamingText_10k)->Unit(benchmark::kMicrosecond);

/// The same tokens appended to a plain string: what the streaming path costs at the least.
void BM_StringAppend_10k(benchmark::State& state)
{
    const std::vector<std::string> tokens = ombrix::bench::tokenStream(kLongStream);
    for (auto _ : state) {
        std::string text;
        for (const std::string& token : tokens) {
            text += token;
        }
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_StringAppend_10k)->Unit(benchmark::kMicrosecond);

const bool registered = [] {
    Figure produceMono;
    produceMono.id = "1";
    produceMono.title = "TTS produce while playing, 16 kHz mono 160 frames vs memset+memcpy";
    produceMono.subject = "BM_TtsProduce_16kMono";
    produceMono.baseline = "BM_MemsetMemcpy_16kMono";
    produceMono.target = 3.0;
    ombrix::bench::registerFigure(produceMono);

    Figure produceStereo;
    produceStereo.id = "2";
    produceStereo.title = "TTS produce while playing, 48 kHz stereo 480 frames vs libsoxr alone (2 ch)";
    produceStereo.subject = "BM_TtsProduce_48kStereo";
    produceStereo.baseline = "BM_SoxrOnly_48kStereo";
    produceStereo.target = 1.25;
    ombrix::bench::registerFigure(produceStereo);

    Figure produceStereoMono = produceStereo;
    produceStereoMono.id = "2b";
    produceStereoMono.title = "TTS produce, 48 kHz stereo 480 frames vs libsoxr mono + channel copy";
    produceStereoMono.baseline = "BM_SoxrMonoCopy_48kStereo";
    ombrix::bench::registerFigure(produceStereoMono);

    Figure firstAudioPaced;
    firstAudioPaced.id = "5a";
    firstAudioPaced.title = "Time to first audio minus engine generate (10 ms block clock)";
    firstAudioPaced.subject = "BM_TtsFirstAudio_Paced";
    firstAudioPaced.baseline = "BM_EngineGenerate";
    firstAudioPaced.measure = Measure::DifferenceMs;
    firstAudioPaced.clock = Clock::Manual;
    firstAudioPaced.target = 11.0; // one 160-frame block at 16 kHz + 1 ms
    firstAudioPaced.unit = " ms";
    ombrix::bench::registerFigure(firstAudioPaced);

    Figure firstAudioUnpaced = firstAudioPaced;
    firstAudioUnpaced.id = "5b";
    firstAudioUnpaced.title = "Time to first audio minus engine generate (blocks pulled at once)";
    firstAudioUnpaced.subject = "BM_TtsFirstAudio_Unpaced";
    firstAudioUnpaced.target = 1.0;
    ombrix::bench::registerFigure(firstAudioUnpaced);

    Figure perToken;
    perToken.id = "7a";
    perToken.title = "appendStreamingText per token (10k-token stream) vs string append";
    perToken.subject = "BM_AppendStreamingText_10k";
    perToken.baseline = "BM_StringAppend_10k";
    perToken.subjectScale = 1.0 / kLongStream;
    perToken.baselineScale = 1.0 / kLongStream;
    perToken.goal = Goal::Info; // the detail column gives the cost per token
    ombrix::bench::registerFigure(perToken);

    Figure growth;
    growth.id = "7b";
    growth.title = "appendStreamingText per-token cost, 10k-token vs 1k-token stream (linear)";
    growth.subject = "BM_AppendStreamingText_10k";
    growth.baseline = "BM_AppendStreamingText_1k";
    growth.subjectScale = 1.0 / kLongStream;
    growth.baselineScale = 1.0 / kShortStream;
    growth.target = 1.5;
    ombrix::bench::registerFigure(growth);
    return true;
}();

} // namespace
