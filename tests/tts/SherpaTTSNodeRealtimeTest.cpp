// The node's produce() in steady state, on the thread that calls it: no heap allocation
// and no lock, directly at 16000 Hz and through the resampler at 48000 Hz, while an item
// plays and while nothing does.

#include "TTSNodeTestSupport.h"
#include "support/RealtimeGuard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

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
    ASSERT_NE(waitForPublished(*node), nullptr);
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

INSTANTIATE_TEST_SUITE_P(GraphFormats, SherpaTTSNodeRealtime,
    ::testing::Values(GraphFormat{16000, 1}, GraphFormat{48000, 2}),
    [](const ::testing::TestParamInfo<GraphFormat>& info) {
        return std::to_string(info.param.sampleRate) + "Hz" + std::to_string(info.param.channels) + "ch";
    });

} // namespace
} // namespace ombrix::testing
