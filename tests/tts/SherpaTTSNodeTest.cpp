// The text-to-speech node on the real engine with the synthetic voice: actions, events,
// the samples it plays block by block, interruption, streaming hold-back, loading,
// teardown and graphs at several rates.

#include "TTSNodeTestSupport.h"
#include "support/LogCapture.h"
#include "support/TestSignals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "extension/SherpaNodeFactory.h"
#include "host/AudioGraphResampler.h"
#include "host/GraphRunner.h"
#include "tts/VoiceRateConverter.h"
#include "utils/Ramp.h"

namespace ombrix::testing {
namespace {

using extensions::sherpa::SherpaNodeFactory;

constexpr unsigned kMono = 1;
constexpr unsigned kStereo = 2;
constexpr int kInnerRate = 16000;

std::unique_ptr<SherpaTTSNode> makeNodeWithVoice(const VoiceFiles& voice = fixtureVoice("voice-en"))
{
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    if (!node->loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        throw std::runtime_error("fixture voice did not load");
    }
    return node;
}

/// Pulls blocks until `finishedCount` "finished" events were seen (or a generous block
/// limit), appending channel `channel` of every block to `out`. Returns the number of
/// blocks pulled.
std::size_t pullUntilFinished(BlockDriver& driver, EventRecorder& recorder, std::size_t finishedCount,
    std::vector<float>& out, std::size_t maxBlocks = 20000)
{
    std::size_t blocks = 0;
    while (recorder.count("finished") < finishedCount && blocks < maxBlocks) {
        driver.pull();
        out.insert(out.end(), driver.channel(0), driver.channel(0) + driver.frames());
        ++blocks;
    }
    return blocks;
}

double sumOfSquares(const std::vector<float>& samples)
{
    return std::accumulate(
        samples.begin(), samples.end(), 0.0, [](double sum, float x) { return sum + double(x) * double(x); });
}

TEST(SherpaTTSNode, PlaysTheEnginesSamplesBlockByBlockAndReportsTheEndOneBlockLater)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);
    EXPECT_EQ(node->getInternalsForTesting().resampler, nullptr);

    // Asterisks are dropped and a NUL byte is a space: the engine hears the whole text.
    node->synthesize(std::string("Hello *world*.\0How are *you*?", 29));
    const GeneratedAudio* const item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    // Published at its first sentence; played block by block once complete.
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    ASSERT_EQ(recorder.textsOf("synthesisStarted"), std::vector<std::string>{kTwoSentences});
    EXPECT_EQ(log.count("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp="), 1u);
    EXPECT_TRUE(log.contains("text=\"Hello world. How are you?\""));

    const std::vector<float> expected = referenceSamples(fixtureVoice("voice-en"), kTwoSentences);
    ASSERT_EQ(expected.size() % kInnerBlockFrames, kInnerBlockFrames / 2)
        << "the test wants a partial last block";
    const std::size_t blocksWithSound = (expected.size() + kInnerBlockFrames - 1) / kInnerBlockFrames;

    std::vector<float> played;
    for (std::size_t block = 0; block < blocksWithSound; ++block) {
        driver.pull();
        played.insert(played.end(), driver.channel(0), driver.channel(0) + kInnerBlockFrames);
        EXPECT_EQ(recorder.count("finished"), 0u) << "block " << block;
    }
    ASSERT_EQ(played.size(), blocksWithSound * kInnerBlockFrames);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), played.begin()));
    EXPECT_TRUE(
        std::all_of(played.begin() + expected.size(), played.end(), [](float x) { return x == 0.0f; }));

    // The block after the last sample reports the end, on the audio thread, and is silent.
    driver.pull();
    ASSERT_EQ(recorder.count("finished"), 1u);
    EXPECT_EQ(recorder.events().back().thread, std::this_thread::get_id());
    EXPECT_TRUE(std::all_of(
        driver.channel(0), driver.channel(0) + kInnerBlockFrames, [](float x) { return x == 0.0f; }));
    for (int block = 0; block < 10; ++block) {
        driver.pull();
    }
    EXPECT_EQ(recorder.count("finished"), 1u);

    // The end of playback rearms the latency line.
    node->synthesize("Again.");
    ASSERT_TRUE(log.waitFor("text=\"Again.\""));
}

TEST(SherpaTTSNode, LatencyLineMarksTheFirstSynthesisAfterConstructionClearOrEnd)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    const GeneratedAudio* first = nullptr;
    node->synthesize("One.");
    first = waitForPublished(*node);
    node->synthesize("Two.");
    waitForPublished(*node, first);
    EXPECT_EQ(log.count("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp="), 1u);
    EXPECT_TRUE(log.contains("text=\"One.\""));

    node->clearStreamingBuffer();
    node->synthesize("Three.");
    ASSERT_TRUE(log.waitFor("text=\"Three.\""));
    EXPECT_EQ(log.count("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp="), 2u);

    // The timestamp is wall-clock milliseconds since the epoch.
    const auto lines = log.lines();
    const auto line = std::find_if(lines.rbegin(), lines.rend(),
        [](const std::string& l) { return l.starts_with("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp="); });
    ASSERT_NE(line, lines.rend());
    const long long stamp
        = std::atoll(line->c_str() + std::string("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp=").size());
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_GT(stamp, now - 60'000);
    EXPECT_LE(stamp, now);
}

TEST(SherpaTTSNode, NewerItemInterruptsWithAOneBlockFadeSummedWithTheNewStart)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    BlockDriver driver(*node, kInnerRate, kStereo, kInnerBlockFrames);
    const std::vector<float> first = referenceSamples(fixtureVoice("voice-en"), kTwoSentences);
    const std::vector<float> second = referenceSamples(fixtureVoice("voice-en"), "Good morning.");

    node->synthesize(kTwoSentences);
    const GeneratedAudio* itemA = waitForPublished(*node);
    constexpr std::size_t kBlocksBeforeInterruption = 3;
    for (std::size_t block = 0; block < kBlocksBeforeInterruption; ++block) {
        driver.pull();
    }
    node->synthesize("Good morning.");
    ASSERT_NE(waitForPublished(*node, itemA), nullptr);

    driver.pull();
    std::vector<float> expected(first.begin() + kBlocksBeforeInterruption * kInnerBlockFrames,
        first.begin() + (kBlocksBeforeInterruption + 1) * kInnerBlockFrames);
    math::Ramp::rampMultiply(expected.data(), expected.data(), 1.0f, 0.0f, kInnerBlockFrames);
    for (std::size_t i = 0; i < kInnerBlockFrames; ++i) {
        expected[i] += second[i];
    }
    for (unsigned channel = 0; channel < kStereo; ++channel) {
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), driver.channel(channel)))
            << "channel " << channel;
    }
    // The gain at the block's start is full, at its end one step above zero.
    EXPECT_FLOAT_EQ(driver.channel(0)[0], first[kBlocksBeforeInterruption * kInnerBlockFrames] + second[0]);

    // Then the new item alone, to its end; only its end is reported.
    std::vector<float> rest;
    pullUntilFinished(driver, recorder, 1, rest);
    ASSERT_GE(rest.size(), second.size() - kInnerBlockFrames);
    EXPECT_TRUE(std::equal(second.begin() + kInnerBlockFrames, second.end(), rest.begin()));
    EXPECT_EQ(recorder.count("finished"), 1u);
    EXPECT_TRUE(std::equal(driver.channel(0), driver.channel(0) + kInnerBlockFrames, driver.channel(1)));
}

TEST(SherpaTTSNode, StreamedTextIsCutAtBoundariesAndHeldBackWhileAudioPlays)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);
    auto& internals = node->getInternalsForTesting();
    const auto buffered = [&internals] {
        std::lock_guard<std::mutex> lock(internals.streamingMutex);
        return internals.streamingBuffer;
    };

    const std::string firstSentence = "Streaming starts here, and this first sentence is long.";
    node->callAction("appendStreamingText", OXAnyMap{{"token", OXAny(firstSentence + " And")}});
    ASSERT_TRUE(
        log.contains("[SherpaTTSNode] Action 'appendStreamingText' called with token: " + firstSentence));
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 1));
    EXPECT_EQ(recorder.textsOf("synthesisStarted")[0], firstSentence);
    EXPECT_EQ(buffered(), "And");
    ASSERT_NE(waitForPublished(*node), nullptr);
    driver.pull(); // now audible

    const std::string held = " this second sentence arrives while the first one is playing.";
    node->appendStreamingText(held + " Tail", false);
    EXPECT_EQ(buffered(), "And" + held + " Tail") << "nothing may be cut while audio plays";

    std::vector<float> ignored;
    pullUntilFinished(driver, recorder, 1, ignored);
    ASSERT_EQ(recorder.count("finished"), 1u);
    // The audio thread cut the held text in the block that reported the end.
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Synthesizing buffered text after audio finished: And" + held));
    EXPECT_EQ(buffered(), "Tail");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 2));

    // A final flush takes the rest whole, also while audio plays.
    node->appendStreamingText("", true);
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 3));
    EXPECT_EQ(recorder.textsOf("synthesisStarted"),
        (std::vector<std::string>{firstSentence, "And" + held, "Tail"}));
    EXPECT_EQ(buffered(), "");

    // Clearing drops what was appended; nothing more is spoken.
    node->appendStreamingText("Dropped text that never ends with a mark", false);
    node->callAction("clearStreamingBuffer", OXAnyMap());
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Action 'clearStreamingBuffer' called"));
    EXPECT_EQ(buffered(), "");
    node->appendStreamingText("", true);
    node->synthesize("Marker.");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 4));
    EXPECT_EQ(recorder.textsOf("synthesisStarted").back(), "Marker.");
}

TEST(SherpaTTSNode, LoadModelReportsItsOutcomeAndTextsWithoutAnEngineAreRejected)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);

    const Result<OXAny> failed = node->callAction("loadModel",
        OXAnyMap{{"modelPath", OXAny("/nonexistent/model.onnx")},
            {"tokensPath", OXAny("/nonexistent/tokens.txt")},
            {"dataPath", OXAny("/nonexistent/espeak-ng-data")}});
    ASSERT_TRUE(failed.isSuccess());
    EXPECT_FALSE(failed.getValue().convert<bool>());
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Model file does not exist at path: /nonexistent/model.onnx"));
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Tokens file does not exist at path: /nonexistent/tokens.txt"));
    EXPECT_TRUE(
        log.contains("[SherpaTTSNode] Data directory does not exist at path: /nonexistent/espeak-ng-data"));
    const long reload = log.indexOf("[SherpaTTSNode] Model already loaded, cleaning up before reloading");
    ASSERT_GE(reload, 0);
    EXPECT_GT(log.indexOf("[SherpaTTSNode] Loading TTS model from: /nonexistent/model.onnx"), reload);
    EXPECT_GT(log.indexOf("[SherpaTTSNode] Calling SherpaOnnxCreateOfflineTts...", reload), reload);
    EXPECT_GE(log.indexOf("[SherpaTTSNode] Failed to create Sherpa Offline TTS."), 0);
    EXPECT_GE(log.indexOf("[SherpaTTSNode] Check that the model files exist and are valid"), 0);
    EXPECT_STREQ(std::getenv("ESPEAK_DATA_PATH"), "/nonexistent/espeak-ng-data");

    // Without an engine each text is consumed and rejected; it is not kept for later.
    node->callAction("synthesize", OXAnyMap{{"text", OXAny("Nobody hears this.")}});
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Action 'synthesize' called with text: Nobody hears this."));
    ASSERT_TRUE(log.waitFor("[SherpaTTSNode] synthesize is called but TTS instance is not initialized."));
    EXPECT_TRUE(log.contains("[SherpaTTSNode] synthesize called, tts=null, this="));

    // A model in an ORT format version that onnxruntime 1.27 cannot read is refused with
    // onnxruntime's own reason, before the library could end the process with it.
    const VoiceFiles piper = fixtureVoice("piper-16000");
    const std::string newerFormat = std::string(OMBRIX_FIXTURES_DIR) + "/ort-format-7/model.ort";
    EXPECT_FALSE(node->loadModel(newerFormat, piper.tokens, piper.dataDirectory));
    const long refused = log.indexOf("[SherpaTTSNode] Model files rejected: " + newerFormat + ": ");
    ASSERT_GE(refused, 0);
    EXPECT_NE(log.lines()[static_cast<std::size_t>(refused)].find(
                  "The ORT format model version [7] is not supported in this build 1.27.0."),
        std::string::npos)
        << log.lines()[static_cast<std::size_t>(refused)];

    // A later load makes the following texts work again.
    const VoiceFiles voice = fixtureVoice("voice-en");
    const Result<OXAny> loaded = node->callAction("loadModel",
        OXAnyMap{{"modelPath", OXAny(voice.model)}, {"tokensPath", OXAny(voice.tokens)},
            {"dataPath", OXAny(voice.dataDirectory)}});
    ASSERT_TRUE(loaded.isSuccess());
    EXPECT_TRUE(loaded.getValue().convert<bool>());
    EXPECT_TRUE(log.contains("[SherpaTTSNode] TTS model loaded successfully"));
    EXPECT_STREQ(std::getenv("ESPEAK_DATA_PATH"), voice.dataDirectory.c_str());
    node->synthesize("Heard.");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 1));
    EXPECT_EQ(recorder.textsOf("synthesisStarted"), std::vector<std::string>{"Heard."});
}

TEST(SherpaTTSNode, ActionsValidateTheirParametersAndOtherNamesGoToTheHost)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    log.clear();

    EXPECT_THROW(node->callAction("synthesize", OXAnyMap{{"txt", OXAny("typo")}}), OXAnyKeyError);
    EXPECT_THROW(node->callAction("loadModel", OXAnyMap{{"modelPath", OXAny("m")}}), OXAnyKeyError);
    EXPECT_FALSE(log.contains("Action 'synthesize' called"));
    EXPECT_FALSE(log.contains("loadModel called"));

    const Result<OXAny> wrongCase = node->callAction("Synthesize", OXAnyMap{{"text", OXAny("x")}});
    EXPECT_TRUE(wrongCase.isError());

    // "isFinal" defaults to false: a short token stays buffered.
    EXPECT_TRUE(node->callAction("appendStreamingText", OXAnyMap{{"token", OXAny("Short.")}}).isSuccess());
    EXPECT_TRUE(
        node->callAction("appendStreamingText", OXAnyMap{{"token", OXAny("")}, {"isFinal", OXAny(true)}})
            .isSuccess());
    node->synthesize("After.");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 2));
    // Nothing of the failed calls was queued: the first text spoken is the flushed token.
    EXPECT_EQ(recorder.textsOf("synthesisStarted"), (std::vector<std::string>{"Short.", "After."}));

    // Declared from the type description: three actions, two events; loadModel is answered only.
    EXPECT_TRUE(node->hasAction("synthesize"));
    EXPECT_TRUE(node->hasAction("appendStreamingText"));
    EXPECT_TRUE(node->hasAction("clearStreamingBuffer"));
    EXPECT_FALSE(node->hasAction("loadModel"));
    EXPECT_TRUE(node->hasEvent("finished"));
    EXPECT_TRUE(node->hasEvent("synthesisStarted"));
}

TEST(SherpaTTSNode, ConfigurationSpeaksTextAndReportsUnknownKeysInKeyOrder)
{
    LogCapture log;
    std::unique_ptr<SherpaTTSNode> node;
    node = std::make_unique<SherpaTTSNode>(
        OXAnyMap{{"zeta", OXAny(1)}, {"text", OXAny("Configured text.")}, {"alpha", OXAny(true)}});
    const auto errors = log.linesAt(LogLevel::Error);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "Unknown parameter: alpha");
    EXPECT_EQ(errors[1], "Unknown parameter: zeta");
    // The default English voice of the build tree was loaded at construction.
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Sherpa model loaded successfully: "));
    EXPECT_TRUE(log.contains(", tts=valid, this="));
    ASSERT_TRUE(log.waitFor("text=\"Configured text.\""));
}

TEST(SherpaTTSNode, BusFormatAcceptsMonoOrStereoAndKeepsOneResamplerAwayFrom16000Hz)
{
    LogCapture log;
    SherpaTTSNode node{OXAnyMap()};
    auto& internals = node.getInternalsForTesting();
    for (unsigned channels : {0u, 3u}) {
        AudioBusFormat format(48000, channels);
        EXPECT_FALSE(node.setBusFormat(format));
    }
    EXPECT_EQ(log.count("[SherpaTTSNode] Sherpa TTS only supports mono or stereo audio."), 2u);
    EXPECT_EQ(internals.resampler, nullptr) << "a refused format changes nothing";

    AudioBusFormat format48(48000, kStereo);
    ASSERT_TRUE(node.setBusFormat(format48));
    AudioGraphResampler* const created = internals.resampler.get();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(created->getInnerSampleRate(), 16000);
    EXPECT_EQ(created->getInnerBlockSize(), 160);
    AudioBusFormat format44(44100, kMono);
    ASSERT_TRUE(node.setBusFormat(format44));
    EXPECT_EQ(internals.resampler.get(), created);
    AudioBusFormat format16(16000, kMono);
    ASSERT_TRUE(node.setBusFormat(format16));
    EXPECT_EQ(internals.resampler, nullptr);
    ASSERT_TRUE(node.setBusFormat(format48));
    EXPECT_NE(internals.resampler, nullptr);
}

TEST(SherpaTTSNode, StereoAt48kHzIsOneConversionCopiedAndEqualsAStereoConversionsFirstChannel)
{
    // What a two-channel conversion of the same inner signal gives in channel 0: the
    // output the node had when it converted every channel.
    constexpr int kGraphRate = 48000;
    constexpr unsigned kGraphBlock = 480;
    constexpr std::size_t kBlocks = 400;
    const std::vector<float> inner = referenceSamples(fixtureVoice("voice-en"), kTwoSentences);
    AudioGraphResampler twoChannels(kInnerRate, static_cast<int>(kInnerBlockFrames));
    twoChannels.setNumberOfBuses(0, 1);
    std::size_t fed = 0;
    twoChannels.setProcessCallback([&](AudioBusList&, AudioBusList& outputs) {
        AudioBuffer<float>* block = outputs.getBus(0).getBuffer();
        for (unsigned i = 0; i < block->getNumberOfFrames(); ++i, ++fed) {
            const float x = fed < inner.size() ? inner[fed] : 0.0f;
            block->getWritePointer(0)[i] = x;
            block->getWritePointer(1)[i] = x;
        }
        return true;
    });
    twoChannels.prepare(kGraphRate, kStereo);
    std::vector<float> left(kGraphBlock);
    std::vector<float> right(kGraphBlock);
    float* pointers[kStereo] = {left.data(), right.data()};
    AudioBuffer<float> referenceBlock(pointers, kStereo, kGraphBlock, true, kGraphRate);
    AudioBusArray<0> none;
    AudioBusArray<1> referenceOutputs(AudioBusFormat(kGraphRate, kStereo));
    referenceOutputs.getBus(0).setBuffer(&referenceBlock);
    std::vector<float> reference;
    for (std::size_t block = 0; block < kBlocks; ++block) {
        ASSERT_TRUE(twoChannels.process(none, referenceOutputs));
        reference.insert(reference.end(), left.begin(), left.end());
    }

    auto node = makeNodeWithVoice();
    BlockDriver driver(*node, kGraphRate, kStereo, kGraphBlock);
    node->synthesize(kTwoSentences);
    const GeneratedAudio* item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    std::vector<float> first;
    std::vector<float> second;
    for (std::size_t block = 0; block < kBlocks; ++block) {
        driver.pull();
        first.insert(first.end(), driver.channel(0), driver.channel(0) + kGraphBlock);
        second.insert(second.end(), driver.channel(1), driver.channel(1) + kGraphBlock);
    }
    ASSERT_GT(sumOfSquares(first), 0.0);
    EXPECT_EQ(first, reference);
    EXPECT_EQ(second, reference);
}

/// Runs `node` (made by the factory) in a graph until its text has played out.
struct GraphRun {
    std::vector<std::vector<float>> channels;
    std::size_t finished = 0;
};

GraphRun speakInGraph(Node& created, int sampleRate, unsigned channels, const std::string& text)
{
    auto& source = dynamic_cast<SherpaTTSNode&>(created);
    EventRecorder recorder(source);
    GraphRunner runner(sampleRate, channels, kInnerBlockFrames * 3);
    runner.setSource(&source);
    EXPECT_TRUE(runner.start());
    EXPECT_TRUE(source.callAction("synthesize", OXAnyMap{{"text", OXAny(text)}}).isSuccess());
    // Pulled only once the whole text is synthesised: an output that runs ahead of a slow
    // synthesis plays pauses between the sentences, which would shift the samples compared.
    const auto* item = waitForPublished(source);
    EXPECT_NE(item, nullptr);
    if (item != nullptr) {
        EXPECT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    }
    GraphRun run;
    run.channels.resize(channels);
    // Play to the end, then a little longer so that the converter's tail is out too.
    constexpr std::size_t kTailBlocks = 20;
    constexpr std::size_t kMaxBlocks = 5000;
    std::size_t tail = 0;
    for (std::size_t block = 0; block < kMaxBlocks && tail < kTailBlocks; ++block) {
        const AudioBuffer<float>& out = runner.processBlock();
        for (unsigned c = 0; c < channels; ++c) {
            run.channels[c].insert(run.channels[c].end(), out.getReadPointer(c),
                out.getReadPointer(c) + out.getNumberOfFrames());
        }
        tail += recorder.count("finished") > 0 ? 1 : 0;
    }
    runner.stop();
    run.finished = recorder.count("finished");
    return run;
}

TEST(SherpaTTSNode, FactoryNodeSpeaksInGraphsAtTheInnerRateAndConvertedToOtherRates)
{
    // The default English voice of the build tree is piper-16000 in ORT format.
    const std::vector<float> reference = referenceSamples(fixtureVoice("piper-16000"), kTwoSentences);
    const double referenceEnergy = sumOfSquares(reference);
    SherpaNodeFactory factory;

    struct Case {
        int rate;
        unsigned channels;
    };
    for (const Case& graph : {Case{16000, kMono}, Case{44100, kStereo}, Case{48000, kStereo}}) {
        SCOPED_TRACE(std::to_string(graph.rate) + " Hz, " + std::to_string(graph.channels) + " channels");
        std::unique_ptr<Node> node = factory.createNode("Sherpa.TTS", OXAnyMap());
        ASSERT_NE(node, nullptr);
        const GraphRun run = speakInGraph(*node, graph.rate, graph.channels, kTwoSentences);
        EXPECT_EQ(run.finished, 1u);
        for (unsigned c = 1; c < graph.channels; ++c) {
            EXPECT_EQ(run.channels[c], run.channels[0]) << "channel " << c;
        }
        const std::vector<float>& out = run.channels[0];
        const double ratio = double(graph.rate) / kInnerRate;
        if (graph.rate == kInnerRate) {
            ASSERT_GE(out.size(), reference.size());
            EXPECT_TRUE(std::equal(reference.begin(), reference.end(), out.begin()));
            continue;
        }
        // Converted: the same energy per second, spread over rate/16000 as many samples,
        // and the sound lasts as long as the original.
        EXPECT_NEAR(sumOfSquares(out) / ratio, referenceEnergy, referenceEnergy * 0.02);
        const auto loud = [](float x) { return std::fabs(x) > 0.05f; };
        const auto first = std::find_if(out.begin(), out.end(), loud);
        const auto last = std::find_if(out.rbegin(), out.rend(), loud);
        ASSERT_NE(first, out.end());
        const double span = double(std::distance(first, last.base()));
        EXPECT_NEAR(span, reference.size() * ratio, 0.01 * reference.size() * ratio);
        float peak = 0.0f;
        for (float x : out) {
            peak = std::max(peak, std::fabs(x));
        }
        float referencePeak = 0.0f;
        for (float x : reference) {
            referencePeak = std::max(referencePeak, std::fabs(x));
        }
        EXPECT_NEAR(peak, referencePeak, referencePeak * 0.05);
    }
}

TEST(SherpaTTSNode, VoicesAtTheirOwnRatesAreConvertedToTheGraphRate)
{
    // The piper voices are laid out as the upstream export writes them (tokens.txt in the
    // id map's order, only the upstream metadata keys, an older export without "version"
    // and "has_g2pw"). The 4-speaker voice scales speaker s by (-1)^s / (1 + s), so only
    // speaker 0 plays with the energy of the engine's speaker-0 output.
    struct Case {
        const char* voice;
        int rate;
    };
    for (const Case& voiceCase : {Case{"voice-22050", 22050}, Case{"piper-16000", 16000},
             Case{"piper-22050-old", 22050}, Case{"piper-44100-4-speakers", 44100}}) {
        const VoiceFiles voice = fixtureVoice(voiceCase.voice);
        int engineRate = 0;
        const std::vector<float> engineOutput = referenceSamples(voice, kTwoSentences, &engineRate);
        ASSERT_EQ(engineRate, voiceCase.rate) << voiceCase.voice;
        for (const int graphRate : {kInnerRate, 48000}) {
            SCOPED_TRACE(
                std::string(voiceCase.voice) + " in a graph at " + std::to_string(graphRate) + " Hz");
            auto node = makeNodeWithVoice(voice);
            EventRecorder recorder(*node);
            BlockDriver driver(*node, graphRate, kMono, static_cast<unsigned>(graphRate / 100));
            node->synthesize(kTwoSentences);
            const GeneratedAudio* item = waitForPublished(*node);
            ASSERT_NE(item, nullptr);
            // The item holds the engine's output converted to the inner 16000 Hz.
            ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
            const double innerCount = double(engineOutput.size()) * kInnerRate / engineRate;
            EXPECT_NEAR(item->sampleCount.load(), innerCount, 2.0);
            if (engineRate == kInnerRate) {
                EXPECT_EQ(item->publishedSamples(), engineOutput);
            }

            std::vector<float> played;
            pullUntilFinished(driver, recorder, 1, played);
            ASSERT_EQ(recorder.count("finished"), 1u);
            // "finished" comes when the inner side has ended; the converter still holds
            // the last few milliseconds.
            for (int block = 0; block < 10; ++block) {
                driver.pull();
                played.insert(played.end(), driver.channel(0), driver.channel(0) + driver.frames());
            }
            // The sound takes as long as the engine's output did at its own rate.
            const double expectedCount = double(engineOutput.size()) * graphRate / engineRate;
            const auto loud = [](float x) { return std::fabs(x) > 0.05f; };
            const auto first = std::find_if(played.begin(), played.end(), loud);
            const auto last = std::find_if(played.rbegin(), played.rend(), loud);
            ASSERT_NE(first, played.end());
            const double span = double(std::distance(first, last.base()));
            EXPECT_NEAR(span, expectedCount, 0.01 * expectedCount);
            EXPECT_NEAR(sumOfSquares(played) * engineRate / graphRate, sumOfSquares(engineOutput),
                0.02 * sumOfSquares(engineOutput));
        }
    }
}

TEST(SherpaTTSNode, DestructionLogsTheTeardownInOrder)
{
    LogCapture log;
    {
        auto node = makeNodeWithVoice();
        AudioBusFormat format(48000, kStereo);
        ASSERT_TRUE(node->setBusFormat(format));
        node->synthesize("First.");
        const GeneratedAudio* first = waitForPublished(*node);
        node->synthesize("Second.");
        ASSERT_NE(waitForPublished(*node, first), nullptr);
        log.clear();
    }
    const std::vector<std::string> expected = {
        "[SherpaTTSNode] Destructor called",
        "[SherpaTTSNode] Destructor called - starting cleanup",
        "[SherpaTTSNode] Cleaning up resources...",
        "[SherpaTTSNode] Clearing atomic pointers",
        "[SherpaTTSNode] Freeing resampler",
        "[SherpaTTSNode] Clearing 2 generated audio items",
        "[SherpaTTSNode] Freeing TTS model",
        "[SherpaTTSNode] Cleanup completed",
        "[SherpaTTSNode] Destructor completed",
    };
    EXPECT_EQ(log.linesAt(LogLevel::Info), expected);
    EXPECT_EQ(log.lines().size(), expected.size());
}

TEST(SherpaTTSNode, DestructionWaitsForTheRunningSynthesisAndDropsQueuedTexts)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    // The listener runs on the worker inside the synthesis; it lets the synthesis go on
    // only once the destructor has asked the worker to stop, so the destructor meets a
    // running synthesis with texts still queued.
    // Meanwhile the node is still usable from the listener (its destructor is waiting).
    auto& internals = node->getInternalsForTesting();
    SherpaTTSNode* const raw = node.get();
    node->addEventListener("synthesisStarted", [&internals, raw](const std::string&, const OXAny&) {
        EXPECT_TRUE(waitUntil([&internals] {
            std::lock_guard<std::mutex> lock(internals.queueMutex);
            return internals.stopRequested;
        }));
        raw->clearStreamingBuffer();
        raw->synthesize("Queued by the listener during teardown.");
    });
    node->synthesize("A long text that is being synthesised while the node goes away.");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 1));
    for (const char* text : {"Queued one.", "Queued two.", "Queued three."}) {
        node->synthesize(text);
    }
    recorder.forgetEmitter();
    node.reset();

    EXPECT_EQ(recorder.count("synthesisStarted"), 1u) << "queued texts are dropped";
    const long started = log.indexOf("[SherpaTTSNode] Destructor called - starting cleanup");
    const long items = log.indexOf("[SherpaTTSNode] Clearing 1 generated audio items");
    ASSERT_GE(started, 0);
    EXPECT_GT(items, started) << "the running synthesis completed and published before cleanup";
    EXPECT_GT(log.indexOf("[SherpaTTSNode] Destructor completed"), items);
    EXPECT_EQ(log.count("synthesize called, tts="), 1u);
}

// ---- sentence-by-sentence publication and "stop" ------------------------------------

namespace streaming {

/// While set, the worker waits after publishing an item's first sentence.
std::atomic<bool> holdFirstChunk{false};
std::atomic<bool> firstChunkHeld{false};

void holdAfterFirstChunk(const GeneratedAudio* item)
{
    if (item->first.next.load() != nullptr) {
        return;
    }
    firstChunkHeld.store(true);
    while (holdFirstChunk.load()) {
        std::this_thread::yield();
    }
}

/// Holds the worker after the first sentence of every item for as long as it lives.
class FirstChunkHold {
public:
    FirstChunkHold()
    {
        firstChunkHeld.store(false);
        holdFirstChunk.store(true);
        SherpaTTSNode::Internals::TestHooks::onChunkPublished.store(&holdAfterFirstChunk);
    }
    ~FirstChunkHold() { release(); }
    FirstChunkHold(const FirstChunkHold&) = delete;
    FirstChunkHold& operator=(const FirstChunkHold&) = delete;
    bool waitUntilHeld()
    {
        return waitUntil([] { return firstChunkHeld.load(); });
    }
    void release()
    {
        holdFirstChunk.store(false);
        SherpaTTSNode::Internals::TestHooks::onChunkPublished.store(nullptr);
    }
};

bool anyNonZero(const float* samples, std::size_t count)
{
    return std::any_of(samples, samples + count, [](float x) { return x != 0.0f; });
}

} // namespace streaming

TEST(SherpaTTSNode, FirstSentencePlaysBeforeTheRestIsSynthesisedAndTheWholeMatchesTheEngine)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);
    const std::string text = std::string(kTwoSentences) + " One more sentence.";
    const std::vector<float> reference = referenceSamples(fixtureVoice("voice-en"), text);

    streaming::FirstChunkHold hold;
    node->synthesize(text);
    ASSERT_TRUE(hold.waitUntilHeld());
    GeneratedAudio* const item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    std::vector<float> played;
    driver.pull();
    played.insert(played.end(), driver.channel(0), driver.channel(0) + driver.frames());
    EXPECT_TRUE(streaming::anyNonZero(driver.channel(0), driver.frames()));
    EXPECT_FALSE(item->generationComplete.load()) << "audio came only after the whole text";
    EXPECT_LT(item->sampleCount.load(), static_cast<int32_t>(reference.size()));

    // Playing past the first sentence: silence while the worker is held, no "finished".
    const auto firstSentence = static_cast<std::size_t>(item->sampleCount.load());
    while (played.size() < firstSentence + 10 * kInnerBlockFrames) {
        driver.pull();
        played.insert(played.end(), driver.channel(0), driver.channel(0) + driver.frames());
    }
    EXPECT_EQ(recorder.count("finished"), 0u);
    EXPECT_FALSE(streaming::anyNonZero(driver.channel(0), driver.frames()));
    hold.release();
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    EXPECT_EQ(item->publishedSamples(), reference);

    std::vector<float> rest;
    pullUntilFinished(driver, recorder, 1, rest);
    ASSERT_EQ(recorder.count("finished"), 1u);
    // The rest of the text follows the pause, sample for sample.
    const std::vector<float> tail(
        reference.begin() + static_cast<std::ptrdiff_t>(firstSentence), reference.end());
    ASSERT_GE(rest.size(), tail.size());
    const auto start = std::find_if(rest.begin(), rest.end(), [](float x) { return x != 0.0f; });
    ASSERT_NE(start, rest.end());
    const auto firstTail = std::find_if(tail.begin(), tail.end(), [](float x) { return x != 0.0f; });
    const auto offset = start - rest.begin() - (firstTail - tail.begin());
    ASSERT_GE(offset, 0);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), rest.begin() + offset));
    EXPECT_EQ(recorder.textsOf("synthesisStarted"), std::vector<std::string>{text});
}

TEST(SherpaTTSNode, StopFadesThePlayingItemReportsItOnceAndLaterTextIsSpoken)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    BlockDriver driver(*node, kInnerRate, kStereo, kInnerBlockFrames);
    node->synthesize(kTwoSentences);
    GeneratedAudio* const item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    for (int block = 0; block < 5; ++block) {
        driver.pull();
    }
    ASSERT_TRUE(streaming::anyNonZero(driver.channel(0), driver.frames()));

    EXPECT_TRUE(node->callAction("stop", OXAnyMap()).isSuccess());
    driver.pull(); // the fade
    EXPECT_EQ(recorder.count("finished"), 0u);
    EXPECT_NEAR(driver.channel(0)[driver.frames() - 1], 0.0f, 1e-3f);
    EXPECT_EQ(driver.channelCopy(0), driver.channelCopy(1));
    driver.pull();
    EXPECT_EQ(recorder.count("finished"), 1u);
    EXPECT_FALSE(streaming::anyNonZero(driver.channel(0), driver.frames()));
    EXPECT_TRUE(node->getInternalsForTesting().isFirstSynthesis.load());
    for (int block = 0; block < 20; ++block) {
        driver.pull();
        ASSERT_FALSE(streaming::anyNonZero(driver.channel(0), driver.frames()));
    }
    EXPECT_EQ(recorder.count("finished"), 1u);

    node->synthesize("Spoken after the stop.");
    std::vector<float> after;
    pullUntilFinished(driver, recorder, 2, after);
    EXPECT_EQ(recorder.count("finished"), 2u);
    EXPECT_TRUE(streaming::anyNonZero(after.data(), after.size()));
}

TEST(SherpaTTSNode, StopDuringSynthesisEndsItAtTheNextSentenceWithOrWithoutAudio)
{
    for (const bool audioStarted : {false, true}) {
        SCOPED_TRACE(audioStarted ? "audio had started" : "before any audio");
        auto node = makeNodeWithVoice();
        EventRecorder recorder(*node);
        BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);
        const std::string text = std::string(kTwoSentences) + " " + kTwoSentences;
        {
            streaming::FirstChunkHold hold;
            node->synthesize(text);
            ASSERT_TRUE(hold.waitUntilHeld());
            node->synthesize("This text is queued and dropped.");
            if (audioStarted) {
                driver.pull();
                ASSERT_TRUE(streaming::anyNonZero(driver.channel(0), driver.frames()));
            }
            node->stop();
        }
        GeneratedAudio* const item = waitForPublished(*node);
        ASSERT_NE(item, nullptr);
        ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
        EXPECT_EQ(item->first.next.load(), nullptr) << "the synthesis went on after the stop";
        ASSERT_TRUE(waitUntil([&] {
            std::lock_guard<std::mutex> lock(node->getInternalsForTesting().queueMutex);
            return !node->getInternalsForTesting().synthesisActive;
        }));
        std::vector<float> out;
        pullUntilFinished(driver, recorder, 1, out, 100);
        EXPECT_EQ(recorder.count("finished"), 1u);
        for (int block = 0; block < 50; ++block) {
            driver.pull();
            out.insert(out.end(), driver.channel(0), driver.channel(0) + driver.frames());
        }
        EXPECT_EQ(recorder.count("finished"), 1u);
        EXPECT_EQ(recorder.count("synthesisStarted"), 1u) << "the queued text was not dropped";
        // Nothing but the fade block (when audio had started) is heard after the stop.
        const std::size_t fadeBlock = audioStarted ? kInnerBlockFrames : 0;
        EXPECT_FALSE(streaming::anyNonZero(out.data() + fadeBlock, out.size() - fadeBlock));
    }
}

TEST(SherpaTTSNode, StopWithNothingToStopDoesNothing)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);
    EXPECT_TRUE(node->callAction("stop", OXAnyMap()).isSuccess());
    for (int block = 0; block < 20; ++block) {
        driver.pull();
    }
    EXPECT_EQ(recorder.count("finished"), 0u);
    // Also after an item has played to its end.
    node->synthesize("Short.");
    std::vector<float> out;
    pullUntilFinished(driver, recorder, 1, out);
    ASSERT_EQ(recorder.count("finished"), 1u);
    node->stop();
    for (int block = 0; block < 20; ++block) {
        driver.pull();
    }
    EXPECT_EQ(recorder.count("finished"), 1u);
}

namespace voices {

constexpr const char* kFourSpeakers = "piper-44100-4-speakers";
constexpr int kFourSpeakerRate = 44100;

/// A node without the default voice, configured with `config`, speaking `voice`.
std::unique_ptr<SherpaTTSNode> makeNode(OXAnyMap config, const VoiceFiles& voice)
{
    config.set("loadDefaultVoice", OXAny(false));
    auto node = std::make_unique<SherpaTTSNode>(config);
    if (!node->loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        throw std::runtime_error("fixture voice did not load");
    }
    return node;
}

/// The complete samples of the next item the node publishes after `previous` (which
/// stays alive until then, so a new item never has its address).
std::vector<float> nextItemSamples(SherpaTTSNode& node, const GeneratedAudio* previous, int* chunks = nullptr)
{
    GeneratedAudio* const item = waitForPublished(node, previous);
    if (item == nullptr || !waitUntil([&] { return item->generationComplete.load(); })) {
        ADD_FAILURE() << "no complete item";
        return {};
    }
    if (chunks != nullptr) {
        *chunks = 0;
        for (const auto* chunk = &item->first; chunk != nullptr; chunk = chunk->next.load()) {
            ++*chunks;
        }
    }
    return item->publishedSamples();
}

/// What the node plays for `text` with `speaker` at `speed` on the 4-speaker voice: the
/// engine's output converted to 16000 Hz as a whole.
std::vector<float> expectedInner(const std::string& text, int speaker, float speed)
{
    int rate = 0;
    const std::vector<float> engine
        = referenceSamples(fixtureVoice(kFourSpeakers), text, speaker, speed, &rate);
    EXPECT_EQ(rate, kFourSpeakerRate);
    std::vector<float> converted;
    std::string error;
    EXPECT_TRUE(extensions::sherpa::convertVoiceSampleRate(
        engine.data(), engine.size(), rate, kInnerRate, converted, error))
        << error;
    return converted;
}

} // namespace voices

TEST(VoiceRateStream, PiecesOfAnySizeGiveTheWholeConversionSampleForSample)
{
    const std::vector<float> engine = referenceSamples(fixtureVoice("voice-22050"), kTwoSentences);
    for (const int fromRate : {22050, 44100}) {
        SCOPED_TRACE(fromRate);
        std::vector<float> whole;
        std::string error;
        ASSERT_TRUE(extensions::sherpa::convertVoiceSampleRate(
            engine.data(), engine.size(), fromRate, kInnerRate, whole, error));
        // Pieces below, at and above the converter's block, and a last piece of one sample.
        extensions::sherpa::VoiceRateStream stream(fromRate, kInnerRate);
        std::vector<float> streamed;
        std::size_t position = 0;
        std::size_t afterFirstPiece = 0;
        for (const std::size_t size : {1u, 1023u, 1024u, 1025u, 3000u, 0u, 200000u}) {
            const std::size_t count = std::min(size, engine.size() - 1 - position);
            ASSERT_TRUE(stream.push(engine.data() + position, count, streamed, error)) << error;
            position += count;
            if (position >= 6000 && afterFirstPiece == 0) {
                afterFirstPiece = streamed.size();
            }
        }
        ASSERT_TRUE(stream.push(engine.data() + position, 1, streamed, error));
        const std::size_t beforeFinish = streamed.size();
        ASSERT_TRUE(stream.finish(streamed, error)) << error;
        EXPECT_GT(afterFirstPiece, 0u) << "nothing came out before the end of the input";
        EXPECT_LT(beforeFinish, whole.size()) << "the filter tail needs the end of the input";
        EXPECT_EQ(streamed, whole);
    }
}

TEST(SherpaTTSNode, VoiceAtAnotherRateStreamsSentenceBySentenceAndEqualsTheWholeConversion)
{
    // Several speakers of the 4-speaker voice (44100 Hz): the item is published before the
    // synthesis ends, and its chunks together are the whole text converted at once.
    const std::string text = std::string(kTwoSentences) + " One more sentence. And the last one.";
    for (const int speaker : {0, 1, 3}) {
        SCOPED_TRACE("speaker " + std::to_string(speaker));
        auto node = voices::makeNode(OXAnyMap(), fixtureVoice(voices::kFourSpeakers));
        const std::vector<float> expected = voices::expectedInner(text, speaker, 1.0f);
        {
            streaming::FirstChunkHold hold;
            ASSERT_TRUE(
                node->callAction("synthesizeWith",
                        OXAnyMap{{"text", OXAny(text)}, {"speakerId", OXAny(std::to_string(speaker))}})
                    .isSuccess());
            ASSERT_TRUE(hold.waitUntilHeld());
            const GeneratedAudio* const item = waitForPublished(*node);
            ASSERT_NE(item, nullptr);
            EXPECT_FALSE(item->generationComplete.load());
            EXPECT_GT(item->sampleCount.load(), 0);
            EXPECT_LT(item->sampleCount.load(), static_cast<int32_t>(expected.size()) / 2);
        }
        int chunks = 0;
        const std::vector<float> streamed = voices::nextItemSamples(*node, nullptr, &chunks);
        EXPECT_GE(chunks, 4);
        ASSERT_FALSE(streamed.empty());
        EXPECT_EQ(streamed, expected);
    }
}

TEST(SherpaTTSNode, SpeakerAndSpeedComeFromTheConfigurationParsedStrictlyOrTheDefaults)
{
    const VoiceFiles voice = fixtureVoice(voices::kFourSpeakers);
    const std::string text = "Hello world.";
    {
        // Strings holding decimal numbers, and numbers of the host's value type.
        LogCapture log;
        auto fromStrings
            = voices::makeNode(OXAnyMap{{"speakerId", OXAny("3")}, {"speed", OXAny("0.5")}}, voice);
        fromStrings->synthesize(text);
        EXPECT_EQ(voices::nextItemSamples(*fromStrings, nullptr), voices::expectedInner(text, 3, 0.5f));
        auto fromNumbers = voices::makeNode(OXAnyMap{{"speakerId", OXAny(1)}, {"speed", OXAny(1.5)}}, voice);
        fromNumbers->synthesize(text);
        EXPECT_EQ(voices::nextItemSamples(*fromNumbers, nullptr), voices::expectedInner(text, 1, 1.5f));
        EXPECT_TRUE(log.linesAt(LogLevel::Warning).empty());
        EXPECT_FALSE(log.contains("Unknown parameter"));
    }
    // Each bad value: one warning, and the default in its place.
    const std::vector<float> defaults = voices::expectedInner(text, 0, 1.0f);
    const std::vector<OXAny> badSpeakers = {OXAny("1x"), OXAny(" 1"), OXAny("+1"), OXAny("-1"), OXAny(""),
        OXAny("1.5"), OXAny(-2), OXAny(2.5), OXAny(true), OXAny("99999999999")};
    const std::vector<OXAny> badSpeeds = {OXAny("fast"), OXAny("2 "), OXAny("0.24"), OXAny("4.01"),
        OXAny("nan"), OXAny("inf"), OXAny(0), OXAny(0.0), OXAny(-1.0), OXAny(OXAnyMap())};
    for (std::size_t i = 0; i < badSpeakers.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        LogCapture log;
        auto node = voices::makeNode(OXAnyMap{{"speakerId", badSpeakers[i]}, {"speed", badSpeeds[i]}}, voice);
        const auto warnings = log.linesAt(LogLevel::Warning);
        ASSERT_EQ(warnings.size(), 2u);
        EXPECT_NE(warnings[0].find("'speakerId'"), std::string::npos) << warnings[0];
        EXPECT_NE(warnings[1].find("'speed'"), std::string::npos) << warnings[1];
        EXPECT_FALSE(log.contains("Unknown parameter"));
        node->synthesize(text);
        EXPECT_EQ(voices::nextItemSamples(*node, nullptr), defaults);
    }
    {
        // A speaker the voice in use does not have (the configuration is read before any
        // voice is loaded): speaker 0, with one warning for this voice.
        LogCapture log;
        auto node = voices::makeNode(OXAnyMap{{"speakerId", OXAny("7")}}, voice);
        EXPECT_TRUE(log.linesAt(LogLevel::Warning).empty());
        node->synthesize(text);
        const std::vector<float> first = voices::nextItemSamples(*node, nullptr);
        const GeneratedAudio* const previous = node->getInternalsForTesting().latestAudio.load();
        node->synthesize(text);
        EXPECT_EQ(voices::nextItemSamples(*node, previous), defaults);
        EXPECT_EQ(first, defaults);
        EXPECT_EQ(
            log.count("[SherpaTTSNode] The voice has no speaker 7 (4 speaker(s)); speaker 0 speaks instead"),
            1u);
    }
}

TEST(SherpaTTSNode, SynthesizeWithSpeaksOneTextWithItsSpeakerAndSpeedOrRefusesItBeforeQueueing)
{
    LogCapture log;
    auto node = voices::makeNode(
        OXAnyMap{{"speakerId", OXAny("2")}, {"speed", OXAny("0.5")}}, fixtureVoice(voices::kFourSpeakers));
    EventRecorder recorder(*node);
    const std::string text = "Hello world.";
    log.clear();

    struct Refused {
        OXAnyMap params;
        const char* reason;
    };
    const std::vector<Refused> refusals = {
        {{{"speakerId", OXAny(4)}}, "speakerId 4 is not a speaker of the loaded voice (4 speakers: 0 to 3)"},
        {{{"speakerId", OXAny("-1")}}, "speakerId '-1' is not a speaker"},
        {{{"speakerId", OXAny("1.5")}}, "speakerId '1.5' is not a speaker"},
        {{{"speakerId", OXAny("one")}}, "speakerId 'one' is not a speaker"},
        {{{"speed", OXAny(0.0)}}, "is not a number from 0.25 to 4"},
        {{{"speed", OXAny("0.249")}}, "speed '0.249' is not a number from 0.25 to 4"},
        {{{"speed", OXAny(4.01)}}, "is not a number from 0.25 to 4"},
        {{{"speed", OXAny("2x")}}, "speed '2x' is not a number"},
        {{{"speakerId", OXAny(1)}, {"speed", OXAny("inf")}}, "speed 'inf' is not a number"},
    };
    for (const Refused& refused : refusals) {
        OXAnyMap params = refused.params;
        params.set("text", OXAny(text));
        const Result<OXAny> result = node->callAction("synthesizeWith", params);
        ASSERT_TRUE(result.isError()) << refused.reason;
        EXPECT_NE(result.getError().find(refused.reason), std::string::npos) << result.getError();
    }
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), refusals.size()) << "one line per refusal";
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("[SherpaTTSNode] Action 'synthesizeWith' refused: ", 0), 0u) << line;
    }
    EXPECT_EQ(log.linesAt(LogLevel::Error).size(), refusals.size());
    EXPECT_THROW(node->callAction("synthesizeWith", OXAnyMap{{"speakerId", OXAny(1)}}), OXAnyKeyError);

    // Given values, then the node's configured ones for what is absent.
    const Result<OXAny> accepted = node->callAction(
        "synthesizeWith", OXAnyMap{{"text", OXAny(text)}, {"speakerId", OXAny("1")}, {"speed", OXAny(2.0)}});
    ASSERT_TRUE(accepted.isSuccess());
    const OXAnyMap answer = accepted.getValue().convert<OXAnyMap>();
    EXPECT_EQ(answer.get<int>("speakerId"), 1);
    EXPECT_EQ(answer.get<double>("speed"), 2.0);
    EXPECT_EQ(answer.get<int>("speakers"), 4);
    const std::vector<float> given = voices::nextItemSamples(*node, nullptr);
    EXPECT_EQ(given, voices::expectedInner(text, 1, 2.0f));
    const GeneratedAudio* previous = node->getInternalsForTesting().latestAudio.load();
    ASSERT_TRUE(node->callAction("synthesizeWith", OXAnyMap{{"text", OXAny(text)}, {"speed", OXAny("1")}})
                    .isSuccess());
    const std::vector<float> speakerOnly = voices::nextItemSamples(*node, previous);
    EXPECT_EQ(speakerOnly, voices::expectedInner(text, 2, 1.0f));
    previous = node->getInternalsForTesting().latestAudio.load();
    node->synthesize(text); // "synthesize" speaks with the configuration
    const std::vector<float> configured = voices::nextItemSamples(*node, previous);
    EXPECT_EQ(configured, voices::expectedInner(text, 2, 0.5f));
    // Only the accepted texts were spoken.
    EXPECT_EQ(recorder.textsOf("synthesisStarted"), (std::vector<std::string>{text, text, text}));

    // Different speakers, different audio; speed 2 halves the duration, 0.5 doubles it.
    const std::vector<float> speaker0 = voices::expectedInner(text, 0, 1.0f);
    EXPECT_NE(speaker0, speakerOnly);
    EXPECT_NE(voices::expectedInner(text, 1, 1.0f), speakerOnly);
    EXPECT_NEAR(double(given.size()), speaker0.size() / 2.0, 1.0);
    EXPECT_NEAR(double(configured.size()), speaker0.size() * 2.0, 1.0);
    EXPECT_NEAR(sumOfSquares(speakerOnly) * 9.0, sumOfSquares(speaker0), sumOfSquares(speaker0) * 0.02)
        << "speaker 2 plays at a third of speaker 0's amplitude";

    // A single-speaker voice loaded later: checked against it at once. (A text queued for
    // a speaker before such a switch gets speaker 0 at synthesis, the check that the
    // out-of-range configured speaker above goes through.)
    const VoiceFiles single = fixtureVoice("voice-22050");
    ASSERT_TRUE(node->loadModel(single.model, single.tokens, single.dataDirectory));
    log.clear();
    const Result<OXAny> refused
        = node->callAction("synthesizeWith", OXAnyMap{{"text", OXAny(text)}, {"speakerId", OXAny(1)}});
    ASSERT_TRUE(refused.isError());
    EXPECT_NE(refused.getError().find("(1 speaker: 0)"), std::string::npos) << refused.getError();
    const Result<OXAny> first
        = node->callAction("synthesizeWith", OXAnyMap{{"text", OXAny(text)}, {"speakerId", OXAny(0)}});
    ASSERT_TRUE(first.isSuccess());
    EXPECT_EQ(first.getValue().convert<OXAnyMap>().get<int>("speakers"), 1);
}

TEST(SherpaTTSNode, LoadDefaultVoiceKeySkipsTheDefaultAttemptOrWarnsWhenNotABoolean)
{
    {
        LogCapture log;
        SherpaTTSNode node(OXAnyMap{{"loadDefaultVoice", OXAny(false)}});
        EXPECT_FALSE(log.contains("Attempting to load TTS model"));
        EXPECT_FALSE(log.contains("Unknown parameter"));
        EXPECT_FALSE(log.contains("Sherpa model loaded successfully"));
    }
    {
        LogCapture log;
        SherpaTTSNode node(OXAnyMap{{"loadDefaultVoice", OXAny(true)}});
        EXPECT_TRUE(log.contains("[SherpaTTSNode] Sherpa model loaded successfully: "));
        EXPECT_FALSE(log.contains("Unknown parameter"));
    }
    {
        LogCapture log;
        SherpaTTSNode node(OXAnyMap{{"loadDefaultVoice", OXAny("no")}, {"zeta", OXAny(1)}});
        EXPECT_EQ(log.linesAt(LogLevel::Warning).size(), 1u);
        EXPECT_TRUE(log.contains("[SherpaTTSNode] Sherpa model loaded successfully: "));
        EXPECT_EQ(log.linesAt(LogLevel::Error), std::vector<std::string>{"Unknown parameter: zeta"});
    }
}

} // namespace
} // namespace ombrix::testing
