// The audio thread stores blocks at real-time pace while an application thread keeps
// transcribing: every block is accounted for and the text comes out whole.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TestSignals.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tests/stt/SttTestSupport.h"

namespace {

using ombrix::AudioBuffer;
using ombrix::AudioBusArray;
using ombrix::AudioBusFormat;
using ombrix::extensions::sherpa::SherpaSTTNode;
using namespace ombrix::testing::stt;

constexpr int k48k = 48000;
constexpr int kRepeats = 2;

TEST(SherpaSTTNodeConcurrency, RealTimeFeedWhileTranscribingLosesNothing)
{
    SherpaSTTNode node;
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    AudioBusFormat format(k48k, 1);
    ASSERT_TRUE(node.setBusFormat(format));

    std::vector<float> audio;
    for (int i = 0; i < kRepeats; ++i) {
        const std::vector<float> once = ombrix::testing::makeToneBursts("A_B_A", k48k);
        audio.insert(audio.end(), once.begin(), once.end());
    }
    const unsigned blockFrames = blockFramesFor(k48k);
    const std::size_t blocks = audio.size() / blockFrames;
    ASSERT_EQ(audio.size() % blockFrames, 0u);

    std::atomic<bool> audioDone{false};
    std::size_t stored = 0;
    std::size_t dropped = 0;
    std::thread audioThread([&] {
        std::vector<float> block(blockFrames);
        float* channels[] = {block.data()};
        AudioBuffer<float> buffer(channels, 1, blockFrames, false, k48k);
        AudioBusArray<1> buses(format);
        buses.getBus(0).setBuffer(&buffer);
        // Paced by the clock like a sound card: one 10 ms block per period.
        const auto period = std::chrono::microseconds(1'000'000 / kBlocksPerSecond);
        auto due = std::chrono::steady_clock::now();
        for (std::size_t b = 0; b < blocks; ++b) {
            std::copy_n(
                audio.begin() + static_cast<std::ptrdiff_t>(b * blockFrames), blockFrames, block.begin());
            if (node.consume(buses)) {
                ++stored;
            } else {
                ++dropped;
            }
            due += period;
            std::this_thread::sleep_until(due);
        }
        audioDone.store(true);
    });

    // The application thread asks for text on its own clock, out of step with the blocks.
    const auto askPeriod = std::chrono::milliseconds(37);
    std::string text;
    std::size_t nonEmptyCalls = 0;
    auto due = std::chrono::steady_clock::now();
    while (!audioDone.load()) {
        const std::string now = node.transcribe();
        if (!now.empty()) {
            ++nonEmptyCalls;
            // Without endpoints the text only grows.
            EXPECT_TRUE(now.starts_with(text)) << "'" << text << "' then '" << now << "'";
            text = now;
        }
        due += askPeriod;
        std::this_thread::sleep_until(due);
    }
    audioThread.join();
    if (const std::string last = node.transcribe(); !last.empty()) {
        text = last;
    }

    EXPECT_EQ(stored + dropped, blocks);
    EXPECT_EQ(dropped, 0u); // a 10 s ring cannot overflow while it is being drained
    EXPECT_GT(nonEmptyCalls, 0u);
    EXPECT_EQ(text, "ABAABA");
}

} // namespace
