#include "utils/AudioData.h"
#include "utils/BufferAllocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <type_traits>

using ombrix::buffer::AudioData;
using ombrix::buffer::BufferAllocator;

namespace {

bool isAligned16(const void* p)
{
    return reinterpret_cast<std::uintptr_t>(p) % 16 == 0;
}

template <typename T>
bool allZero(const T* samples, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (samples[i] != T{}) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(AudioData, LaysOutChannelsOneAfterAnotherInAZeroedAlignedBlock)
{
    AudioData<float> stereo(2, 4);
    EXPECT_EQ(stereo.getMaxNumberOfChannels(), 2u);
    EXPECT_EQ(stereo.getMaxNumberOfFrames(), 4u);
    EXPECT_TRUE(isAligned16(stereo.getBuffer()));
    EXPECT_TRUE(allZero(stereo.getBuffer(), 8));
    EXPECT_EQ(stereo.getBuffers()[0], stereo.getBuffer());
    EXPECT_EQ(stereo.getBuffers()[1], stereo.getBuffer() + 4);

    AudioData<short> three(3, 5);
    EXPECT_TRUE(isAligned16(three.getBuffer()));
    EXPECT_EQ(three.getBuffers()[1], three.getBuffer() + 5);
    EXPECT_EQ(three.getBuffers()[2], three.getBuffer() + 10);
    EXPECT_TRUE(allZero(three.getBuffer(), 15));

    AudioData<int> mono(1, 480);
    EXPECT_EQ(mono.getBuffers()[0], mono.getBuffer());
    EXPECT_TRUE(isAligned16(mono.getBuffer()));
    EXPECT_TRUE(allZero(mono.getBuffer(), 480));
    // The whole block is writable (ASan reports any overrun).
    mono.getBuffers()[0][479] = 7;
    EXPECT_EQ(mono.getBuffer()[479], 7);
}

TEST(AudioData, ZeroFramesGiveAnEmptyBlockWithEveryChannelAtItsStart)
{
    AudioData<float> empty(3, 0);
    EXPECT_EQ(empty.getMaxNumberOfFrames(), 0u);
    EXPECT_EQ(empty.getMaxNumberOfChannels(), 3u);
    for (unsigned c = 0; c < 3; ++c) {
        EXPECT_EQ(empty.getBuffers()[c], empty.getBuffer());
    }

    AudioData<float> noChannels(0, 16);
    EXPECT_EQ(noChannels.getMaxNumberOfChannels(), 0u);
}

TEST(AudioData, RejectsBlocksWhoseByteCountDoesNotFitIn32Bits)
{
    // 2^30 frames x 2 channels x 4 bytes = 2^33 bytes.
    EXPECT_THROW((AudioData<float>(2, 1u << 30)), std::length_error);
    // 2^31 x 2 x 2 bytes = 2^33 bytes: the product itself would wrap to 0 in 32 bits.
    EXPECT_THROW((AudioData<short>(2, 1u << 31)), std::length_error);

    float* untouched = nullptr;
    // Exactly 2^32 bytes, one more than fits.
    EXPECT_THROW(BufferAllocator::allocateBuffer<float>(&untouched, 1u << 30, 1), std::length_error);
    EXPECT_EQ(untouched, nullptr);

    static_assert(!std::is_copy_constructible_v<AudioData<float>>);
    static_assert(!std::is_copy_assignable_v<AudioData<float>>);
}

TEST(BufferAllocator, HandsOutZeroedAlignedBlocksOfEverySize)
{
    for (uint32_t frames : {1u, 3u, 17u, 1000u}) {
        short* block = nullptr;
        BufferAllocator::allocateBuffer<short>(&block, frames, 3);
        ASSERT_NE(block, nullptr);
        EXPECT_TRUE(isAligned16(block)) << frames;
        EXPECT_TRUE(allZero(block, frames * 3u)) << frames;
        std::free(block);
    }
}
