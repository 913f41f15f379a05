#include "utils/RingBuffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

using ombrix::audio::RingBuffer;

namespace {

std::vector<float> consumeAll(RingBuffer<float>& ring)
{
    std::vector<float> items(ring.getAvailableItemsToConsume());
    ring.consume(items.data(), static_cast<uint32_t>(items.size()));
    return items;
}

} // namespace

TEST(RingBuffer, ReportsFreeSlotsAndStoredItemsUpToCapacity)
{
    RingBuffer<float> ring(4);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 4u);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);

    const std::array<float, 4> items{1, 2, 3, 4};
    ring.produce(items.data(), 4);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 0u);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 4u);

    std::array<float, 4> out{};
    ring.read(out.data(), 4);
    EXPECT_EQ(out, items);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 4u) << "read must not remove items";

    EXPECT_EQ(consumeAll(ring), std::vector<float>(items.begin(), items.end()));
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 4u);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
}

TEST(RingBuffer, WrapsAroundTheEndOfStorageKeepingOrder)
{
    std::array<float, 5> storage{};
    RingBuffer<float> ring(4, storage.data());

    const std::array<float, 3> first{1, 2, 3};
    const std::array<float, 3> second{4, 5, 6};
    ring.produce(first.data(), 3);
    std::array<float, 2> dropped{};
    ring.consume(dropped.data(), 2);
    EXPECT_EQ(dropped, (std::array<float, 2>{1, 2}));

    ring.produce(second.data(), 3); // slots 3, 4, then 0
    EXPECT_EQ(storage[0], 6.0f) << "the third item must have wrapped to slot 0";
    EXPECT_EQ(ring.getWritePointer(), storage.data() + 1);
    EXPECT_EQ(ring.getReadPointer(), storage.data() + 2);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 4u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 0u);

    std::array<float, 4> out{};
    ring.consume(out.data(), 4); // read also wraps
    EXPECT_EQ(out, (std::array<float, 4>{3, 4, 5, 6}));
    EXPECT_EQ(ring.getReadPointer(), storage.data() + 1);
}

TEST(RingBuffer, DiscardRemovesAtMostTheStoredItemsAndZeroCountsChangeNothing)
{
    RingBuffer<short> ring(8);
    const std::array<short, 3> items{7, 8, 9};
    ring.produce(items.data(), 3);

    short untouched = 42;
    ring.consume(&untouched, 0);
    ring.produce(items.data(), 0);
    EXPECT_EQ(untouched, 42);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 3u);

    ring.discard(10);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 8u);

    // The next items follow directly: discard advanced by exactly three.
    ring.produce(items.data(), 1);
    short next = 0;
    ring.consume(&next, 1);
    EXPECT_EQ(next, 7);
}

TEST(RingBuffer, ConsumeBeyondTheStoredItemsAdvancesOnlyByWhatIsStored)
{
    RingBuffer<unsigned int> ring(6);
    const std::array<unsigned int, 2> items{11, 12};
    ring.produce(items.data(), 2);
    std::array<unsigned int, 4> out{};
    ring.consume(out.data(), 4);
    EXPECT_EQ(out[0], 11u);
    EXPECT_EQ(out[1], 12u);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 6u);
}

TEST(RingBuffer, ClearEmptiesARingHoldingItems)
{
    RingBuffer<char> ring(3);
    ring.produce("ab", 2);
    char c = 0;
    ring.consume(&c, 1);
    ring.produce("cd", 2); // wraps
    ring.clear();
    EXPECT_EQ(ring.getAvailableItemsToProduce(), 3u);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 0u);

    ring.produce("xyz", 3);
    std::array<char, 3> out{};
    ring.consume(out.data(), 3);
    EXPECT_EQ(std::string(out.data(), 3), "xyz");
}

TEST(RingBuffer, LeavesExternalStorageAliveAndInPlace)
{
    std::vector<float> storage(5, -1.0f);
    {
        RingBuffer<float> ring(4, storage.data());
        const float item = 3.5f;
        ring.produce(&item, 1);
        EXPECT_EQ(ring.getReadPointer(), storage.data());
    }
    // The ring wrote into our storage and did not free it: freeing vector memory would be
    // reported by the sanitizers, and so would this read of it.
    EXPECT_EQ(storage[0], 3.5f);
}

TEST(RingBuffer, OversizedTransfersNeverLeaveTheStorage)
{
    // Guard items on both sides of the five slots of a capacity-4 ring.
    std::array<int, 9> memory{};
    memory.fill(-7);
    RingBuffer<int> ring(4, memory.data() + 2);

    std::vector<int> many(20);
    std::iota(many.begin(), many.end(), 100);
    ring.produce(many.data(), 20); // contract violation: more than the free slots
    std::vector<int> out(20, 0);
    ring.read(out.data(), 20);

    EXPECT_EQ(memory[0], -7);
    EXPECT_EQ(memory[1], -7);
    EXPECT_EQ(memory[7], -7);
    EXPECT_EQ(memory[8], -7);
    EXPECT_EQ(ring.getAvailableItemsToConsume(), 4u) << "the transfer is cut to the capacity";
    EXPECT_EQ(out[0], 100);
    EXPECT_EQ(out[3], 103);
    EXPECT_EQ(out[4], 0) << "nothing is copied past the capacity";
}

TEST(RingBuffer, RejectsACapacityWhoseSlotCountDoesNotFitIn32Bits)
{
    // Braces, not parentheses: "RingBuffer<char>(name);" as a statement declares a variable.
    EXPECT_THROW(RingBuffer<char>{std::numeric_limits<uint32_t>::max()}, std::length_error);
    char storage = 0;
    EXPECT_THROW(RingBuffer<char>(std::numeric_limits<uint32_t>::max(), &storage), std::length_error);

    RingBuffer<char> empty(0); // one slot, never anything to produce
    EXPECT_EQ(empty.getAvailableItemsToProduce(), 0u);
    EXPECT_EQ(empty.getAvailableItemsToConsume(), 0u);
}
