#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

#include "host/AudioRingBuffer.h"

using ombrix::AudioBuffer;
using ombrix::AudioRingBuffer;

namespace {

// Planar storage with an AudioBuffer view over it.
struct Block {
    Block(unsigned channels, unsigned frames)
        : data(channels, std::vector<float>(frames))
    {
        for (unsigned c = 0; c < channels; ++c) {
            pointers.push_back(data[c].data());
        }
        view = AudioBuffer<float>(pointers.data(), channels, frames, false, 48000);
    }
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
    AudioBuffer<float> view;
};

} // namespace

TEST(AudioRingBuffer, MovesBlocksPerChannelAndAdaptsChannelCounts)
{
    AudioRingBuffer<float> ring(8, 2, true);
    EXPECT_EQ(ring.getCapacity(), 8u);
    EXPECT_EQ(ring.getNumberOfChannels(), 2u);
    EXPECT_EQ(ring.getAvailableFramesToProduce(), 8u);
    EXPECT_EQ(ring.getAvailableFramesToConsume(), 0u);

    // Stereo in, wrapping around the end of the storage over several rounds.
    Block in(2, 5), out(2, 5);
    float next = 1.0f;
    for (int round = 0; round < 4; ++round) {
        for (unsigned f = 0; f < 5; ++f) {
            in.data[0][f] = next;
            in.data[1][f] = -next;
            next += 1.0f;
        }
        ring.produce(in.view, 5);
        EXPECT_EQ(ring.getAvailableFramesToConsume(), 5u);
        EXPECT_EQ(ring.getAvailableFramesToProduce(), 3u);
        ring.consume(out.view, 5);
        EXPECT_EQ(out.data[0], in.data[0]) << "round " << round;
        EXPECT_EQ(out.data[1], in.data[1]) << "round " << round;
    }

    // A mono source fills the second channel with silence; a mono destination
    // drops the second channel; a wider destination gets silence beyond it.
    Block mono(1, 3), wide(3, 3);
    mono.data[0] = {0.5f, 0.6f, 0.7f};
    ring.produce(mono.view, 3);
    wide.data[1] = wide.data[2] = {9.0f, 9.0f, 9.0f};
    ring.consume(wide.view, 3);
    EXPECT_EQ(wide.data[0], (std::vector<float>{0.5f, 0.6f, 0.7f}));
    EXPECT_EQ(wide.data[1], (std::vector<float>{0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(wide.data[2], (std::vector<float>{0.0f, 0.0f, 0.0f}));

    ring.produce(in.view, 4);
    ring.clear();
    EXPECT_EQ(ring.getAvailableFramesToConsume(), 0u);
    EXPECT_EQ(ring.getAvailableFramesToProduce(), 8u);
}

TEST(AudioRingBuffer, ProducerAndConsumerThreadsKeepEveryFrameInOrder)
{
    constexpr unsigned kFrames = 200000;
    constexpr unsigned kBlock = 64;
    AudioRingBuffer<float> ring(256, 2, false);
    std::vector<float> received;
    received.reserve(kFrames);
    bool channelsAgree = true;

    std::thread producer([&] {
        Block block(2, kBlock);
        unsigned sent = 0;
        while (sent < kFrames) {
            const unsigned n = std::min({kBlock, kFrames - sent, ring.getAvailableFramesToProduce()});
            if (n == 0) {
                std::this_thread::yield();
                continue;
            }
            for (unsigned f = 0; f < n; ++f) {
                block.data[0][f] = static_cast<float>(sent + f);
                block.data[1][f] = -static_cast<float>(sent + f);
            }
            ring.produce(block.view, n);
            sent += n;
        }
    });
    Block block(2, kBlock);
    while (received.size() < kFrames) {
        const unsigned n = std::min(kBlock, ring.getAvailableFramesToConsume());
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ring.consume(block.view, n);
        for (unsigned f = 0; f < n; ++f) {
            received.push_back(block.data[0][f]);
            channelsAgree = channelsAgree && block.data[1][f] == -block.data[0][f];
        }
    }
    producer.join();

    std::vector<float> expected(kFrames);
    std::iota(expected.begin(), expected.end(), 0.0f);
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(channelsAgree);
}
