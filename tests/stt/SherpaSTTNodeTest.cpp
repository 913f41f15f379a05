// The speech-to-text node on the real sherpa-onnx recogniser with the synthetic model of
// the fixtures: 1 kHz bursts decode as "A", 4 kHz bursts as "B".

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogCapture.h"
#include "TestSignals.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "stt/RecognizerConfig.h"
#include "stt/SherpaSTTNodeInternals.h"
#include "tests/stt/SttTestSupport.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

using ombrix::AudioBuffer;
using ombrix::AudioBus;
using ombrix::AudioBusFormat;
using ombrix::LogLevel;
using ombrix::extensions::sherpa::OnlineRecognizerApi;
using ombrix::extensions::sherpa::SherpaSTTNode;
using ombrix::testing::LogCapture;
using ombrix::testing::makeSilence;
using ombrix::testing::makeToneBursts;
using namespace ombrix::testing::stt;

constexpr int k48k = 48000;
constexpr int k16k = 16000;
constexpr unsigned kRingFrames = SherpaSTTNode::kInputBufferFrames;
const std::string kBufferFull = "[SherpaSTTNode] Input buffer is full, dropping audio data.";

// A node with the fixture model loaded explicitly (independent of the default tree).
class LoadedNode : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph)); }

    SherpaSTTNode node;
};

// A plain bus over one caller-owned block, for the ring-edge tests.
struct Block {
    explicit Block(unsigned frames)
        : samples(frames)
    {
        channels[0] = samples.data();
        buffer = AudioBuffer<float>(channels, 1, frames, false, k48k);
        bus.setBuffer(&buffer);
    }
    std::vector<float> samples;
    float* channels[1]{};
    AudioBuffer<float> buffer;
    AudioBus bus{AudioBusFormat(k48k, 1)};
};

/// Stores blocks of `blockFrames` until exactly `frames` frames are stored.
void storeFrames(SherpaSTTNode& node, unsigned frames, unsigned blockFrames = 4800)
{
    Block block(blockFrames);
    while (frames > 0) {
        const unsigned now = std::min(frames, blockFrames);
        block.buffer.setNumberOfFrames(now);
        ASSERT_TRUE(node.consume(block.bus));
        frames -= now;
    }
}

TEST_F(LoadedNode, GraphSizedBlocksTranscribeAndTheTextCoversTheWholeStream)
{
    EXPECT_TRUE(node.getIsEnabled());

    // 480-frame blocks at the default 48000 Hz.
    const FeedCount first = feedAt(node, makeToneBursts("A_B", k48k), k48k);
    EXPECT_EQ(first.dropped, 0u);
    EXPECT_EQ(node.transcribe(), "AB");
    // More audio: the text is everything since the stream began, not only the new part.
    feedAt(node, makeToneBursts("B_A", k48k), k48k);
    EXPECT_EQ(node.transcribe(), "ABBA");
    // Nothing waiting: "" whatever came before.
    EXPECT_EQ(node.transcribe(), "");

    // 160-frame blocks at 16000 Hz on a freshly loaded model (a new stream, empty text).
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    feedAt(node, makeToneBursts("A_B_A", k16k), k16k);
    EXPECT_EQ(node.transcribe(), "ABA");
}

TEST_F(LoadedNode, TheDecodingGraphIsReallyUsed)
{
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraphOnlyA));
    feedAt(node, makeToneBursts("A_B_A", k48k), k48k);
    EXPECT_EQ(node.transcribe(), "AA");

    // A recogniser as icefall exports it (500 outputs, six encoder stacks, disambiguation
    // symbols beyond the outputs in tokens.txt, words behind epsilon-input arcs), with its
    // graph in vector and in const form: the pieces are joined with spaces.
    for (const auto& [model, graph] :
        {std::pair{"model.onnx", "HLG.fst"}, std::pair{"model.ort", "HLG-const.fst"}}) {
        SCOPED_TRACE(std::string(model) + " with " + graph);
        ASSERT_TRUE(
            node.loadModel(icefallFixture(model), icefallFixture("tokens.txt"), icefallFixture(graph)));
        feedAt(node, makeToneBursts("A_B_A", k48k), k48k);
        EXPECT_EQ(node.transcribe(), "A B A");
        feedAt(node, makeToneBursts("BB_A", k16k), k16k);
        EXPECT_EQ(node.transcribe(), "A B A B A");
    }
}

TEST_F(LoadedNode, RefusedBusFormatStillSetsTheRate)
{
    LogCapture log;
    AudioBusFormat stereo(k16k, 2);
    EXPECT_FALSE(node.setBusFormat(stereo));
    EXPECT_EQ(log.linesAt(LogLevel::Error),
        std::vector<std::string>{"[SherpaSTTNode] Number of channels must be 1."});

    // 16 kHz audio is decoded as 16 kHz audio (at the old 48 kHz it would not read "ABA").
    feedBlocks(node, makeToneBursts("A_B_A", k16k), blockFramesFor(k16k), k16k);
    EXPECT_EQ(node.transcribe(), "ABA");
}

TEST_F(LoadedNode, ReloadReleasesTheOldModelFirstAndStartsAnEmptyText)
{
    feedAt(node, makeToneBursts("A_B_A", k48k), k48k);
    ASSERT_EQ(node.transcribe(), "ABA");

    LogCapture log;
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    const std::vector<std::string> expected{
        "[SherpaSTTNode] loadSherpaModel called with path: " + kAsrModel,
        "[SherpaSTTNode] Model already loaded, cleaning up before reloading",
        "[SherpaSTTNode] Cleaning up resources...",
        "[SherpaSTTNode] Freeing stream",
        "[SherpaSTTNode] Freeing recognizer",
        "[SherpaSTTNode] Cleanup completed",
        "[SherpaSTTNode] Loading STT model from: " + kAsrModel,
        "[SherpaSTTNode] Calling SherpaOnnxCreateOnlineRecognizer...",
        "[SherpaSTTNode] Calling SherpaOnnxCreateOnlineStream...",
        "[SherpaSTTNode] STT model loaded successfully",
    };
    EXPECT_EQ(log.lines(), expected);
    EXPECT_EQ(log.linesAt(LogLevel::Info).size(), expected.size());

    feedAt(node, makeToneBursts("B", k48k), k48k);
    EXPECT_EQ(node.transcribe(), "B");
}

TEST(SherpaSTTNode, FailedReloadLeavesNoRecogniserAndNoStream)
{
    LogCapture log;
    {
        SherpaSTTNode node;
        ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
        feedAt(node, makeToneBursts("A", k48k), k48k);
        ASSERT_EQ(node.transcribe(), "A");

        log.clear();
        const std::string missing = std::string(OMBRIX_FIXTURES_DIR) + "/asr/no-such-";
        EXPECT_FALSE(node.loadModel(missing + "model.onnx", missing + "tokens.txt", missing + "HLG.fst"));
        const std::vector<std::string> expected{
            "[SherpaSTTNode] loadSherpaModel called with path: " + missing + "model.onnx",
            "[SherpaSTTNode] Model file does not exist at path: " + missing + "model.onnx",
            "[SherpaSTTNode] Tokens file does not exist at path: " + missing + "tokens.txt",
            "[SherpaSTTNode] Graph file does not exist at path: " + missing + "HLG.fst",
            "[SherpaSTTNode] Model already loaded, cleaning up before reloading",
            "[SherpaSTTNode] Cleaning up resources...",
            "[SherpaSTTNode] Freeing stream",
            "[SherpaSTTNode] Freeing recognizer",
            "[SherpaSTTNode] Cleanup completed",
            "[SherpaSTTNode] Loading STT model from: " + missing + "model.onnx",
            "[SherpaSTTNode] Calling SherpaOnnxCreateOnlineRecognizer...",
            "[SherpaSTTNode] Sherpa failed to create recognizer",
            "[SherpaSTTNode] Check that the model files exist and are valid",
        };
        EXPECT_EQ(log.lines(), expected);
        EXPECT_EQ(log.linesAt(LogLevel::Warning).size(), 3u);
        EXPECT_EQ(log.linesAt(LogLevel::Error).size(), 2u);

        // Unloaded: audio is drained and dropped, the text is "", and nothing is freed at
        // destruction (there is neither a recogniser nor a stream left).
        feedAt(node, makeToneBursts("B", k48k), k48k);
        log.clear();
        EXPECT_EQ(node.transcribe(), "");
        EXPECT_EQ(log.count("[SherpaSTTNode] No model loaded, dropping "), 1u);
        EXPECT_EQ(node.transcribe(), ""); // drained: nothing left, nothing logged
        EXPECT_EQ(log.lines().size(), 1u);
        log.clear();
    }
    EXPECT_EQ(log.lines(),
        (std::vector<std::string>{
            "[SherpaSTTNode] Destructor called",
            "[SherpaSTTNode] Destructor called - starting cleanup",
            "[SherpaSTTNode] Cleaning up resources...",
            "[SherpaSTTNode] Cleanup completed",
            "[SherpaSTTNode] Destructor completed",
        }));
}

TEST_F(LoadedNode, RateChangeKeepsTheTextAndDecodesEveryBlockAtItsOwnRate)
{
    // Transcribed before the change: the text so far stays in front of the new text.
    feedAt(node, makeToneBursts("A_B_A", k48k), k48k);
    ASSERT_EQ(node.transcribe(), "ABA");
    feedAt(node, makeToneBursts("A_A", k16k), k16k);
    EXPECT_EQ(node.transcribe(), "ABA AA");
    feedAt(node, makeToneBursts("B", k48k), k48k);
    EXPECT_EQ(node.transcribe(), "ABA AA B");

    // Not transcribed before the change, and the old-rate audio ends right after its last
    // burst: the 48 kHz frames still in the ring are decoded at 48 kHz, and the end of the
    // old stream (which the recogniser holds back) is flushed before the new stream starts.
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    feedAt(node, makeToneBursts("A_B_A", k48k, 0.0), k48k);
    feedAt(node, makeToneBursts("B_B", k16k), k16k);
    LogCapture log;
    EXPECT_EQ(node.transcribe(), "ABA BB");
    EXPECT_EQ(log.count("[SherpaSTTNode] Sample rate changed from 48000 Hz to 16000 Hz"), 1u);
}

// Long streams: the node resets its stream at pauses; none of that may change the text.

/// `pattern` repeated `times` times, as tone bursts at `rate` (0.6 s tail after the last).
std::vector<float> repeatedBursts(const std::string& pattern, int times, int rate)
{
    std::string all;
    for (int i = 0; i < times; ++i) {
        all += pattern;
    }
    return makeToneBursts(all, rate);
}

/// Feeds `samples` one second at a time with a transcribe() after each; the last text.
std::string transcribeEverySecond(SherpaSTTNode& node, const std::vector<float>& samples, int rate)
{
    std::string text;
    for (std::size_t start = 0; start < samples.size(); start += static_cast<std::size_t>(rate)) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(rate), samples.size() - start);
        feedAt(node, std::span<const float>(samples).subspan(start, n), rate);
        text = node.transcribe();
    }
    return text;
}

std::string joinedSegmentTexts(const std::vector<SherpaSTTNode::Segment>& segments, bool wordPieces)
{
    std::string text;
    for (const auto& segment : segments) {
        if (!text.empty() && wordPieces) {
            text += ' ';
        }
        text += segment.text;
    }
    return text;
}

TEST_F(LoadedNode, ResetsAtPausesKeepTheTextOfOneEndlessStream)
{
    // Pauses of 1.2 s and more between groups, with groups of adjacent and separate bursts;
    // every group ends in a reset, the undecoded tail moves into the next segment.
    const std::vector<float> audio = repeatedBursts("A_B______AB_BA_______BBA________A________", 8, k16k);
    struct Case {
        std::string model, tokens, graph;
        bool wordPieces;
    };
    for (const Case& c : {Case{kAsrModel, kAsrTokens, kAsrGraph, false},
             Case{icefallFixture("model.onnx"), icefallFixture("tokens.txt"), icefallFixture("HLG.fst"),
                 true}}) {
        SCOPED_TRACE(c.model);
        ASSERT_TRUE(node.loadModel(c.model, c.tokens, c.graph));
        const std::string endless = endlessStreamText(c.model, c.tokens, c.graph, audio, k16k);
        ASSERT_FALSE(endless.empty());
        EXPECT_EQ(transcribeEverySecond(node, audio, k16k), endless);
        const std::vector<SherpaSTTNode::Segment> segments = node.segments();
        EXPECT_GE(segments.size(), 6u);
        EXPECT_EQ(joinedSegmentTexts(segments, c.wordPieces), endless);
    }

    // At 48 kHz too (the recogniser resamples), with a rate change in the middle: the
    // text before the change stays in front, joined with a space.
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    const std::vector<float> at48k = repeatedBursts("A_B________", 6, k48k);
    const std::string endless48k = endlessStreamText(kAsrModel, kAsrTokens, kAsrGraph, at48k, k48k);
    EXPECT_EQ(transcribeEverySecond(node, at48k, k48k), endless48k);
    EXPECT_EQ(transcribeEverySecond(node, audio, k16k),
        endless48k + " " + endlessStreamText(kAsrModel, kAsrTokens, kAsrGraph, audio, k16k));
}

TEST_F(LoadedNode, StreamsWithoutLongPausesKeepTheirText)
{
    // No pause at all: adjacent bursts for 70 s, never a reset.
    const std::vector<float> noPause = repeatedBursts("AB", 175, k16k);
    ASSERT_EQ(transcribeEverySecond(node, noPause, k16k),
        endlessStreamText(kAsrModel, kAsrTokens, kAsrGraph, noPause, k16k));
    EXPECT_EQ(node.segments().size(), 1u);

    // Only 0.2 s gaps for 70 s: after 60 s the next short pause ends the segment.
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    const std::vector<float> shortGaps = repeatedBursts("A_", 175, k16k);
    ASSERT_EQ(transcribeEverySecond(node, shortGaps, k16k),
        endlessStreamText(kAsrModel, kAsrTokens, kAsrGraph, shortGaps, k16k));
    const std::vector<SherpaSTTNode::Segment> segments = node.segments();
    ASSERT_GE(segments.size(), 2u);
    EXPECT_GT(segments[1].start, 60.0);
}

TEST_F(LoadedNode, SegmentTimesFollowTheBursts)
{
    SherpaSTTNode unloaded;
    ASSERT_FALSE(unloaded.loadModel(kAsrModel + ".missing", kAsrTokens, kAsrGraph));
    feedAt(unloaded, makeToneBursts("A", k16k), k16k);
    unloaded.transcribe();
    EXPECT_TRUE(unloaded.segments().empty()); // no model
    EXPECT_TRUE(node.segments().empty()); // nothing decoded yet

    // Bursts start at 0.3 s + 0.2 s per symbol; a decoding chunk is 0.32 s.
    const std::string pattern = "A_B_________BA__________A";
    const std::vector<float> audio = makeToneBursts(pattern, k16k);
    transcribeEverySecond(node, audio, k16k);
    const std::vector<SherpaSTTNode::Segment> segments = node.segments();
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].text, "AB");
    EXPECT_EQ(segments[1].text, "BA");
    EXPECT_EQ(segments[2].text, "A");

    std::vector<double> onsets;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '_' && (i == 0 || pattern[i - 1] != pattern[i])) {
            onsets.push_back(0.3 + 0.2 * static_cast<double>(i));
        }
    }
    constexpr double kChunk = 0.32;
    std::size_t next = 0;
    for (const auto& segment : segments) {
        for (const auto& token : segment.tokens) {
            ASSERT_LT(next, onsets.size());
            ASSERT_TRUE(token.time.has_value());
            EXPECT_NEAR(*token.time, onsets[next], kChunk) << token.text;
            ++next;
        }
        EXPECT_NEAR(segment.start, *segment.tokens.front().time, 1e-9);
        EXPECT_GT(segment.end, segment.start);
        // The last burst of a segment ends 0.2 s after its onset.
        EXPECT_NEAR(segment.end, *segment.tokens.back().time + 0.2, kChunk);
    }
    EXPECT_EQ(next, onsets.size());

    // After a rate change the times go on from the end of the earlier stream.
    const double before = segments.back().end;
    feedAt(node, makeToneBursts("B", k48k), k48k);
    node.transcribe();
    const std::vector<SherpaSTTNode::Segment> afterChange = node.segments();
    ASSERT_EQ(afterChange.size(), 4u);
    const double streamEnd = static_cast<double>(audio.size()) / k16k + 0.5; // + flush silence
    EXPECT_GT(afterChange[3].start, before);
    EXPECT_NEAR(afterChange[3].start, streamEnd + 0.3, kChunk);

    // A failed load leaves nothing.
    ASSERT_FALSE(node.loadModel(kAsrModel + ".missing", kAsrTokens, kAsrGraph));
    EXPECT_TRUE(node.segments().empty());
}

TEST_F(LoadedNode, InvalidRatesNeverReachTheRecogniser)
{
    LogCapture log;
    for (const int invalidRate : {0, -16000}) {
        AudioBusFormat format(invalidRate, 1);
        EXPECT_TRUE(node.setBusFormat(format)); // mono is accepted; the rate is the problem
        feedBlocks(node, makeToneBursts("A", k16k), blockFramesFor(k16k), invalidRate);
        EXPECT_EQ(node.transcribe(), "");
        EXPECT_EQ(
            log.count("[SherpaSTTNode] Invalid sample rate " + std::to_string(invalidRate) + ", dropping "),
            1u);
    }

    feedAt(node, makeToneBursts("A_B_A", k16k), k16k);
    EXPECT_EQ(node.transcribe(), "ABA");

    // With a loaded model the text so far is kept across dropped audio.
    AudioBusFormat zero(0, 1);
    node.setBusFormat(zero);
    feedBlocks(node, makeToneBursts("B", k16k), blockFramesFor(k16k), 0);
    EXPECT_EQ(node.transcribe(), "ABA");
    EXPECT_EQ(log.count("[SherpaSTTNode] Invalid sample rate 0, dropping "), 2u);
}

TEST(SherpaSTTNode, RingStoresWholeBlocksOrDropsThemWhole)
{
    SherpaSTTNode node;
    LogCapture log;

    // 10 s at 48000 Hz in 10 ms blocks fill the ring exactly; the next block is dropped.
    const FeedCount tenSeconds = feedAt(node, makeSilence(k48k, 10.0), k48k);
    EXPECT_EQ(tenSeconds.stored, 1000u);
    EXPECT_EQ(tenSeconds.dropped, 0u);
    Block graphBlock(blockFramesFor(k48k));
    EXPECT_FALSE(node.consume(graphBlock.bus));
    EXPECT_EQ(log.count(kBufferFull), 1u);

    // Draining makes room again.
    node.transcribe();
    EXPECT_TRUE(node.consume(graphBlock.bus));
    node.transcribe();

    // A block exactly as large as the free space is stored; one frame more drops all of
    // it (had it been partly stored, the exact block after it would not fit).
    constexpr unsigned kFree = 1000;
    storeFrames(node, kRingFrames - kFree);
    Block tooLarge(kFree + 1);
    Block exact(kFree);
    EXPECT_FALSE(node.consume(tooLarge.bus));
    EXPECT_TRUE(node.consume(exact.bus));
    Block one(1);
    EXPECT_FALSE(node.consume(one.bus));
}

TEST(SherpaSTTNode, OneWarningPerRunOfDropsAndNoneWhileDisabled)
{
    SherpaSTTNode node;
    LogCapture log;
    Block block(blockFramesFor(k48k));

    storeFrames(node, kRingFrames);
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(node.consume(block.bus));
    }
    EXPECT_EQ(log.count(kBufferFull), 1u);

    // A stored block ends the run: the next drop warns again.
    node.transcribe();
    EXPECT_TRUE(node.consume(block.bus));
    storeFrames(node, kRingFrames - block.buffer.getNumberOfFrames());
    EXPECT_FALSE(node.consume(block.bus));
    EXPECT_FALSE(node.consume(block.bus));
    EXPECT_EQ(log.count(kBufferFull), 2u);

    // Disabled: nothing is stored and nothing is logged, full ring or not; the audio
    // stored before stays and is still transcribed.
    node.transcribe();
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    const FeedCount speech = feedAt(node, makeToneBursts("A_B_A", k48k), k48k);
    storeFrames(node, kRingFrames - static_cast<unsigned>(speech.stored) * block.buffer.getNumberOfFrames());
    node.setIsEnabled(false);
    EXPECT_FALSE(node.getIsEnabled());
    log.clear();
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(node.consume(block.bus));
    }
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(node.transcribe(), "ABA");
    EXPECT_FALSE(node.consume(block.bus));
    EXPECT_EQ(node.transcribe(), "");
    EXPECT_TRUE(log.lines().empty());

    node.setIsEnabled(true);
    EXPECT_TRUE(node.consume(block.bus));
}

// --- The recogniser seam: count and check every sherpa-onnx call -------------------

struct RecogniserCalls {
    int total = 0;
    int decodeWhileNotReady = 0;
    bool refuseStream = false;
    std::vector<int> acceptedRates;
};
RecogniserCalls calls;

const OnlineRecognizerApi kObservedLibrary{
    // The fixture files are good; their check has tests of its own.
    [](const std::string&, const std::string&, const std::string&) {
        return ombrix::extensions::sherpa::ModelCheckResult{true, {}, false};
    },
    [](const SherpaOnnxOnlineRecognizerConfig* config) {
        ++calls.total;
        return SherpaOnnxCreateOnlineRecognizer(config);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer) -> const SherpaOnnxOnlineStream* {
        ++calls.total;
        return calls.refuseStream ? nullptr : SherpaOnnxCreateOnlineStream(recognizer);
    },
    [](const SherpaOnnxOnlineStream* stream, int32_t rate, const float* samples, int32_t n) {
        ++calls.total;
        calls.acceptedRates.push_back(rate);
        SherpaOnnxOnlineStreamAcceptWaveform(stream, rate, samples, n);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        ++calls.total;
        return SherpaOnnxIsOnlineStreamReady(recognizer, stream);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        ++calls.total;
        // Decoding a stream that is not ready would end this process: record it instead.
        if (SherpaOnnxIsOnlineStreamReady(recognizer, stream) == 0) {
            ++calls.decodeWhileNotReady;
            return;
        }
        SherpaOnnxDecodeOnlineStream(recognizer, stream);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        ++calls.total;
        return SherpaOnnxGetOnlineStreamResult(recognizer, stream);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        ++calls.total;
        return SherpaOnnxOnlineStreamIsEndpoint(recognizer, stream);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        ++calls.total;
        SherpaOnnxOnlineStreamReset(recognizer, stream);
    },
};

class ObservedInternals : public ::testing::Test {
protected:
    void SetUp() override
    {
        calls = RecogniserCalls{};
        internals = std::make_unique<SherpaSTTNode::Internals>(kRingFrames, kObservedLibrary);
        ASSERT_TRUE(internals->loadSherpaModel(kAsrModel, kAsrTokens, kAsrGraph));
    }

    void feed(const std::vector<float>& samples, int rate)
    {
        internals->setBusFormat(AudioBusFormat(rate, 1));
        Block block(static_cast<unsigned>(samples.size()));
        std::copy(samples.begin(), samples.end(), block.samples.begin());
        ASSERT_TRUE(internals->consume(block.bus));
    }

    std::unique_ptr<SherpaSTTNode::Internals> internals;
};

TEST_F(ObservedInternals, NothingBufferedMeansNoRecogniserCall)
{
    feed(makeToneBursts("A_B_A", k48k), k48k);
    const int before = calls.total;
    EXPECT_EQ(internals->transcribe(), "ABA");
    EXPECT_GT(calls.total, before); // the seam really sees the calls
    EXPECT_EQ(calls.decodeWhileNotReady, 0);

    const int afterAudio = calls.total;
    EXPECT_EQ(internals->transcribe(), "");
    EXPECT_EQ(calls.total, afterAudio);
}

TEST_F(ObservedInternals, EachStreamIsFedOneValidRate)
{
    feed(makeToneBursts("A", k48k, 0.0), k48k);
    feed(makeToneBursts("B", k16k, 0.0), 0);
    feed(makeToneBursts("B", k16k), k16k);
    EXPECT_EQ(internals->transcribe(), "A B");
    EXPECT_EQ(calls.decodeWhileNotReady, 0);
    // The 48 kHz audio, the 48 kHz flush silence of that stream, then the new stream at
    // 16 kHz; the frames stored at rate 0 never reach the recogniser.
    ASSERT_FALSE(calls.acceptedRates.empty());
    EXPECT_EQ(calls.acceptedRates.front(), k48k);
    EXPECT_EQ(calls.acceptedRates.back(), k16k);
    for (const int rate : calls.acceptedRates) {
        EXPECT_TRUE(rate == k48k || rate == k16k) << rate;
    }
}

TEST_F(ObservedInternals, RefusedStreamDestroysTheNewRecogniser)
{
    calls.refuseStream = true;
    LogCapture log;
    EXPECT_FALSE(internals->loadSherpaModel(kAsrModel, kAsrTokens, kAsrGraph));
    EXPECT_EQ(log.linesAt(LogLevel::Error),
        std::vector<std::string>{"[SherpaSTTNode] Failed to create online stream"});
    EXPECT_EQ(internals->recognizer, nullptr);
    EXPECT_EQ(internals->stream, nullptr);

    // Unloaded: buffered audio is drained without a recogniser call.
    feed(makeToneBursts("A", k16k), k16k);
    const int before = calls.total;
    EXPECT_EQ(internals->transcribe(), "");
    EXPECT_EQ(calls.total, before);
}

TEST_F(ObservedInternals, TooManyPendingRateChangesDropTheBlockThatNeedsOneMore)
{
    LogCapture log;
    constexpr unsigned kPending = SherpaSTTNode::Internals::kMaxPendingRateChanges;
    const std::vector<float> shortBlock(blockFramesFor(k16k), 0.0f);
    Block block(static_cast<unsigned>(shortBlock.size()));
    // Each stored block at a rate other than the previous one is one pending change.
    for (unsigned change = 0; change < kPending; ++change) {
        internals->setBusFormat(AudioBusFormat(change % 2 == 0 ? k16k : k48k, 1));
        EXPECT_TRUE(internals->consume(block.bus)) << change;
    }
    internals->setBusFormat(AudioBusFormat(kPending % 2 == 0 ? k16k : k48k, 1));
    EXPECT_FALSE(internals->consume(block.bus));
    EXPECT_EQ(log.count(kBufferFull), 1u);

    internals->transcribe();
    EXPECT_EQ(calls.decodeWhileNotReady, 0);
    EXPECT_TRUE(internals->consume(block.bus));
}

} // namespace
