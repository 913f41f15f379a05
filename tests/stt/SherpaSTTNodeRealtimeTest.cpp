// consume() runs on the host's audio thread: storing a block must neither allocate nor
// lock. The counting comes from ombrix_test_realtime (unavailable under sanitizers).

#include <gtest/gtest.h>

#include <vector>

#include "RealtimeGuard.h"
#include "TestSignals.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tests/stt/SttTestSupport.h"

namespace {

using ombrix::AudioBuffer;
using ombrix::AudioBus;
using ombrix::AudioBusArray;
using ombrix::AudioBusFormat;
using ombrix::extensions::sherpa::SherpaSTTNode;
using ombrix::testing::RealtimeScope;
using namespace ombrix::testing::stt;

constexpr int k48k = 48000;
constexpr int k16k = 16000;
constexpr unsigned kBlocksPerCheck = 100;

TEST(SherpaSTTNodeRealtime, StoringAndDroppingBlocksNeitherAllocatesNorLocks)
{
    if (!RealtimeScope::isActive()) {
        GTEST_SKIP() << "allocation counting is unavailable in this build";
    }
    SherpaSTTNode node;
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));

    const std::vector<float> speech = ombrix::testing::makeToneBursts("A_B_A", k48k);
    std::vector<float> samples(blockFramesFor(k48k));
    float* channels[] = {samples.data()};
    AudioBuffer<float> buffer(channels, 1, blockFramesFor(k48k), false, k48k);
    AudioBus bus(AudioBusFormat(k48k, 1));
    bus.setBuffer(&buffer);
    AudioBusArray<1> buses(AudioBusFormat(k48k, 1));
    buses.getBus(0).setBuffer(&buffer);

    {
        // Stored blocks, by the single-bus form and by the host's bus-list form.
        RealtimeScope scope;
        for (unsigned i = 0; i < kBlocksPerCheck; ++i) {
            std::copy_n(speech.begin() + i * samples.size(), samples.size(), samples.begin());
            EXPECT_TRUE(i % 2 == 0 ? node.consume(bus) : node.consume(buses));
        }
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
    }
    {
        // A block stored right after a rate change records the change without allocating.
        AudioBusFormat format(k16k, 1);
        node.setBusFormat(format);
        RealtimeScope scope;
        EXPECT_TRUE(node.consume(bus));
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
    }
    {
        // Disabled blocks.
        node.setIsEnabled(false);
        RealtimeScope scope;
        for (unsigned i = 0; i < kBlocksPerCheck; ++i) {
            EXPECT_FALSE(node.consume(bus));
        }
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
        node.setIsEnabled(true);
    }
    // Dropped blocks after the run's one warning (which logs, and so may allocate).
    while (node.consume(bus)) { }
    {
        RealtimeScope scope;
        for (unsigned i = 0; i < kBlocksPerCheck; ++i) {
            EXPECT_FALSE(node.consume(bus));
        }
        EXPECT_EQ(scope.allocations(), 0u);
        EXPECT_EQ(scope.locks(), 0u);
    }
}

} // namespace
