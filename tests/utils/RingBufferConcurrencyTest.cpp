#include "utils/RingBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

using ombrix::audio::RingBuffer;

namespace {
// Safety net against a hang, not a performance bound.
constexpr auto kGiveUpAfter = std::chrono::minutes(2);
} // namespace

// One producer and one consumer on separate threads, transfers of varying sizes that wrap
// at every possible offset: every item arrives exactly once and in order.
TEST(RingBufferConcurrency, SingleProducerSingleConsumerLosesNothingAndKeepsOrder)
{
    constexpr uint32_t kCapacity = 997; // prime, so transfer sizes and wraps keep shifting
    constexpr uint32_t kTotal = 1u << 20;
    RingBuffer<unsigned int> ring(kCapacity);
    std::atomic<bool> giveUp{false};
    const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;

    std::thread producer([&] {
        std::vector<unsigned int> chunk(kCapacity);
        uint32_t next = 0;
        uint32_t chunkSize = 1;
        while (next < kTotal && !giveUp.load()) {
            const uint32_t n = std::min({ring.getAvailableItemsToProduce(), chunkSize, kTotal - next});
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            for (uint32_t i = 0; i < n; ++i) {
                chunk[i] = next + i;
            }
            ring.produce(chunk.data(), n);
            next += n;
            chunkSize = chunkSize % 311 + 7;
        }
    });

    std::vector<unsigned int> chunk(kCapacity);
    uint32_t expected = 0;
    uint32_t mismatches = 0;
    uint32_t chunkSize = 3;
    while (expected < kTotal) {
        if (std::chrono::steady_clock::now() > deadline) {
            giveUp = true;
            break;
        }
        const uint32_t n = std::min(ring.getAvailableItemsToConsume(), chunkSize);
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ring.consume(chunk.data(), n);
        for (uint32_t i = 0; i < n; ++i) {
            mismatches += chunk[i] != expected + i ? 1 : 0;
        }
        expected += n;
        chunkSize = chunkSize % 509 + 11;
    }
    producer.join();

    EXPECT_FALSE(giveUp.load()) << "transfer stalled after " << expected << " items";
    EXPECT_EQ(expected, kTotal);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
}
