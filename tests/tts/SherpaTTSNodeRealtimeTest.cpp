// The node's produce() in steady state, on the thread that calls it: no heap allocation
// and no lock, directly at 16000 Hz and through the resampler at 48000 Hz, while an item
// plays and while nothing does.

#include "TTSNodeTestSupport.h"
#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace ombrix::testing {
namespace {

struct GraphFormat {
    int sampleRate;
    unsigned channels;
};

class SherpaTTSNodeRealtime : public ::testing::TestWithParam<GraphFormat> { };

TEST_P(SherpaTTSNodeRealtime, SteadyStateBlocksNeitherAllocateNorLock)
{
    if (!RealtimeScope::isActive()) {
        GTEST_SKIP() << "allocation counting is unavailable under sanitizers";
    }
    const GraphFormat format = GetParam();
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    const VoiceFiles voice = fixtureVoice("voice-en");
    ASSERT_TRUE(node->loadModel(voice.model, voice.tokens, voice.dataDirectory));
    EventRecorder recorder(*node);
    constexpr int kBlocksPerSecond = 100;
    BlockDriver driver(*node, format.sampleRate, format.channels, format.sampleRate / kBlocksPerSecond);

    node->synthesize(std::string(kTwoSentences) + " " + kTwoSentences);
    GeneratedAudio* const item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    // The item grows sentence by sentence; these blocks measure the complete item
    // (GrowingItemBlocksNeitherAllocateNorLock covers the growth).
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    // Adoption and the converter's first block are not steady state.
    constexpr int kWarmUpBlocks = 3;
    for (int block = 0; block < kWarmUpBlocks; ++block) {
        driver.pull();
    }

    constexpr int kMeasuredBlocks = 40; // 0.4 s of a 1.45 s item
    {
        RealtimeScope scope;
        for (int block = 0; block < kMeasuredBlocks; ++block) {
            driver.pull();
        }
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.deallocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
    }
    ASSERT_EQ(recorder.count("finished"), 0u) << "the measured blocks must not include the end of playback";
    EXPECT_TRUE(std::any_of(
        driver.channel(0), driver.channel(0) + driver.frames(), [](float x) { return x != 0.0f; }));

    // Play to the end; then silent blocks are steady state too.
    const auto deadline = std::chrono::steady_clock::now() + kWaitTimeout;
    while (recorder.count("finished") == 0 && std::chrono::steady_clock::now() < deadline) {
        driver.pull();
    }
    ASSERT_EQ(recorder.count("finished"), 1u);
    driver.pull();
    {
        RealtimeScope scope;
        for (int block = 0; block < kMeasuredBlocks; ++block) {
            driver.pull();
        }
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
    }
}

// The worker waits after the first sentence until the test lets it go on, and after the
// last one (once `wholeLength` samples are out, before the item is marked complete) until
// the test lets it finish.
std::atomic<bool> workerMayContinue{false};
std::atomic<bool> workerMayFinish{false};
std::atomic<int32_t> wholeLength{0};

void holdAfterFirstAndLastChunk(const GeneratedAudio* item)
{
    if (item->sampleCount.load() > 0 && item->first.next.load() == nullptr) {
        while (!workerMayContinue.load()) {
            std::this_thread::yield();
        }
    }
    if (item->sampleCount.load() == wholeLength.load()) {
        while (!workerMayFinish.load()) {
            std::this_thread::yield();
        }
    }
}

// Blocks pulled while the playing item is incomplete (the output has run ahead of the
// synthesis and plays silence) and while the worker appends the later sentences to it.
TEST_P(SherpaTTSNodeRealtime, GrowingItemBlocksNeitherAllocateNorLock)
{
    if (!RealtimeScope::isActive()) {
        GTEST_SKIP() << "allocation counting is unavailable under sanitizers";
    }
    const GraphFormat format = GetParam();
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    const VoiceFiles voice = fixtureVoice("voice-en");
    ASSERT_TRUE(node->loadModel(voice.model, voice.tokens, voice.dataDirectory));
    EventRecorder recorder(*node);
    constexpr int kBlocksPerSecond = 100;
    BlockDriver driver(*node, format.sampleRate, format.channels, format.sampleRate / kBlocksPerSecond);

    const std::string text = std::string(kTwoSentences) + " " + kTwoSentences;
    workerMayContinue.store(false);
    workerMayFinish.store(false);
    wholeLength.store(static_cast<int32_t>(referenceSamples(voice, text).size()));
    using Hooks = SherpaTTSNode::Internals::TestHooks;
    Hooks::onChunkPublished.store(&holdAfterFirstAndLastChunk);
    // Lets the worker go whatever happens below, before the node is destroyed.
    struct Release {
        ~Release()
        {
            workerMayContinue.store(true);
            workerMayFinish.store(true);
            Hooks::onChunkPublished.store(nullptr);
        }
    } release;
    node->synthesize(text);
    GeneratedAudio* const item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    constexpr int kWarmUpBlocks = 3;
    for (int block = 0; block < kWarmUpBlocks; ++block) {
        driver.pull();
    }
    // The first sentence (about 0.36 s) plays out and the output then waits for more.
    constexpr int kBlocksPastFirstSentence = 60;
    bool heardFirstSentence = false;
    // The later sentences may play while they are appended or after; either counts.
    bool heardLaterSentences = false;
    {
        RealtimeScope scope;
        for (int block = 0; block < kBlocksPastFirstSentence; ++block) {
            driver.pull();
            heardFirstSentence = heardFirstSentence
                || std::any_of(driver.channel(0), driver.channel(0) + driver.frames(),
                    [](float x) { return x != 0.0f; });
        }
        workerMayContinue.store(true);
        // Until every sentence is out and played, and a few blocks more: the output plays
        // all of it (then silence) while the worker holds the item incomplete.
        const auto deadline = std::chrono::steady_clock::now() + kWaitTimeout;
        constexpr int kBlocksAfterTheLastSample = 5;
        int blocksAfter = 0;
        while (blocksAfter < kBlocksAfterTheLastSample && std::chrono::steady_clock::now() < deadline) {
            driver.pull();
            heardLaterSentences = heardLaterSentences
                || std::any_of(driver.channel(0), driver.channel(0) + driver.frames(),
                    [](float x) { return x != 0.0f; });
            if (item->playPosition.load() == wholeLength.load()) {
                ++blocksAfter;
            }
        }
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.deallocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
        EXPECT_EQ(blocksAfter, kBlocksAfterTheLastSample);
        EXPECT_FALSE(item->generationComplete.load());
    }
    EXPECT_TRUE(heardFirstSentence);
    EXPECT_EQ(recorder.count("finished"), 0u) << "no end of playback before the generation is complete";
    workerMayFinish.store(true);
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    Hooks::onChunkPublished.store(nullptr);
    // The rest is played after the pause, and then the item ends.
    std::vector<float> rest;
    const auto deadline = std::chrono::steady_clock::now() + kWaitTimeout;
    while (recorder.count("finished") == 0 && std::chrono::steady_clock::now() < deadline) {
        driver.pull();
        rest.insert(rest.end(), driver.channel(0), driver.channel(0) + driver.frames());
    }
    EXPECT_EQ(recorder.count("finished"), 1u);
    EXPECT_TRUE(
        heardLaterSentences || std::any_of(rest.begin(), rest.end(), [](float x) { return x != 0.0f; }));
}

INSTANTIATE_TEST_SUITE_P(GraphFormats, SherpaTTSNodeRealtime,
    ::testing::Values(GraphFormat{16000, 1}, GraphFormat{48000, 2}),
    [](const ::testing::TestParamInfo<GraphFormat>& info) {
        return std::to_string(info.param.sampleRate) + "Hz" + std::to_string(info.param.channels) + "ch";
    });

} // namespace
} // namespace ombrix::testing
