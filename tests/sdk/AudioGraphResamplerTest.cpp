#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <vector>

#include "host/AudioGraphResampler.h"
#include "support/RealtimeGuard.h"

using namespace ombrix;
using ombrix::testing::RealtimeScope;

namespace {

constexpr int kInnerRate = 16000;
constexpr int kInnerBlock = 160;
constexpr double kToneHz = 1000.0;
constexpr double kToneAmplitude = 0.5;
constexpr unsigned kChannels = 2;
// Output before this is the filter's start-up transient.
constexpr double kSettleSeconds = 0.05;

// Accuracy the converter (libsoxr, 20-bit quality) is held to: deviation from
// the ideal tone at the output rate (-80 dB of full scale), relative level and
// frequency. Measured: deviation below 4e-7 at 44.1 and 48 kHz, level and
// frequency exact to 1e-6; a dropped, repeated or misplaced sample costs at
// least 1e-2.
constexpr double kMaxDeviation = 1e-4;
constexpr double kLevelTolerance = 1e-3;
constexpr double kFrequencyTolerance = 1e-4;

// The inner graph: a 1 kHz tone on channel 0 and its negation on channel 1,
// checking the shape of every bus list it is handed. Allocation-free.
struct ToneCallback {
    bool operator()(AudioBusList& inputs, AudioBusList& outputs)
    {
        ++calls;
        AudioBus& bus = outputs.getBus(0);
        AudioBuffer<float>* buffer = bus.getBuffer();
        const bool shapeOk = inputs.getNumberOfBuses() == 0 && outputs.getNumberOfBuses() == 1
            && buffer != nullptr && buffer->getNumberOfFrames() == unsigned(kInnerBlock)
            && buffer->getSampleRate() == kInnerRate && bus.getFormat().getSampleRate() == kInnerRate
            && buffer->getNumberOfChannels() == kChannels;
        if (!shapeOk) {
            ++badCalls;
            return true;
        }
        for (int f = 0; f < kInnerBlock; ++f, ++position) {
            const float v = static_cast<float>(
                kToneAmplitude * std::sin(2.0 * std::numbers::pi * kToneHz * double(position) / kInnerRate));
            buffer->getWritePointer(0)[f] = v;
            buffer->getWritePointer(1)[f] = -v;
        }
        return true;
    }
    long position = 0;
    int calls = 0;
    int badCalls = 0;
};

struct Rendered {
    std::vector<float> left;
    bool rightIsNegatedLeft = true;
    double latency = 0.0;
    std::uint64_t allocations = 0;
    std::uint64_t locks = 0;
    int calls = 0;
    int badCalls = 0;
    bool allBlocksSucceeded = true;
};

// Renders `seconds` of output at outerRate in blocks of blockSize frames.
// prepare: configure before the first block, so that every block is counted
// by the real-time scope; otherwise the first block (which configures) is not.
Rendered render(int outerRate, unsigned blockSize, double seconds, bool prepare = true)
{
    AudioGraphResampler resampler(kInnerRate, kInnerBlock);
    resampler.setNumberOfBuses(0, 1);
    ToneCallback tone;
    resampler.setProcessCallback([&tone](AudioBusList& in, AudioBusList& out) { return tone(in, out); });
    if (prepare) {
        resampler.prepare(outerRate, kChannels);
    }

    const auto blocks = static_cast<std::size_t>(std::ceil(seconds * outerRate / blockSize));
    Rendered result;
    result.left.resize(blocks * blockSize);
    std::vector<float> left(blockSize), right(blockSize);
    float* channels[] = {left.data(), right.data()};
    AudioBuffer<float> buffer(channels, kChannels, blockSize, true, outerRate);
    AudioBusArray<0> inputs;
    AudioBusArray<1> outputs;
    outputs.getBus(0).setBuffer(&buffer);

    std::size_t first = 0;
    if (!prepare) {
        result.allBlocksSucceeded = resampler.process(inputs, outputs);
        std::copy(left.begin(), left.end(), result.left.begin());
        first = 1;
    }
    {
        RealtimeScope scope;
        for (std::size_t b = first; b < blocks; ++b) {
            const bool ok = resampler.process(inputs, outputs);
            result.allBlocksSucceeded = result.allBlocksSucceeded && ok;
            for (unsigned f = 0; f < blockSize; ++f) {
                result.rightIsNegatedLeft = result.rightIsNegatedLeft && right[f] == -left[f];
            }
            std::copy(left.begin(), left.end(), result.left.begin() + b * blockSize);
        }
        result.allocations = scope.allocations();
        result.locks = scope.locks();
    }
    result.latency = resampler.getLatencyFrames();
    result.calls = tone.calls;
    result.badCalls = tone.badCalls;
    return result;
}

struct ToneAnalysis {
    double maxDeviation = 0.0; // from the ideal delayed tone
    double rms = 0.0;
    double frequency = 0.0; // from interpolated rising zero crossings
    double maxStep = 0.0; // largest sample-to-sample difference
};

ToneAnalysis analyse(const std::vector<float>& y, int rate, double latency)
{
    ToneAnalysis a;
    const auto start = static_cast<std::size_t>(kSettleSeconds * rate);
    // The level is measured over (as nearly as the rate allows) whole periods.
    const double period = rate / kToneHz;
    const auto periods = static_cast<std::size_t>((y.size() - start) / period);
    const auto end = start + static_cast<std::size_t>(std::llround(periods * period));
    double sumSquares = 0.0;
    double firstCrossing = -1.0, lastCrossing = -1.0;
    long crossings = 0;
    for (std::size_t n = start; n < end; ++n) {
        const double ideal
            = kToneAmplitude * std::sin(2.0 * std::numbers::pi * kToneHz * (double(n) - latency) / rate);
        a.maxDeviation = std::max(a.maxDeviation, std::abs(double(y[n]) - ideal));
        sumSquares += double(y[n]) * y[n];
        if (n > start) {
            a.maxStep = std::max(a.maxStep, std::abs(double(y[n]) - y[n - 1]));
            if (y[n - 1] < 0.0f && y[n] >= 0.0f) {
                const double t = double(n - 1) + y[n - 1] / (double(y[n - 1]) - y[n]);
                if (firstCrossing < 0.0) {
                    firstCrossing = t;
                }
                lastCrossing = t;
                ++crossings;
            }
        }
    }
    a.rms = std::sqrt(sumSquares / double(end - start));
    a.frequency = crossings > 1 ? (crossings - 1) * rate / (lastCrossing - firstCrossing) : 0.0;
    return a;
}

} // namespace

TEST(AudioGraphResampler, ConvertsAToneAccuratelyAndContinuouslyWithoutAllocatingOrLocking)
{
    const bool counting = RealtimeScope::isActive();
    for (const int rate : {44100, 48000}) {
        std::vector<float> reference;
        for (const unsigned block : {128u, 480u, 512u, 1024u}) {
            SCOPED_TRACE(::testing::Message() << rate << " Hz, blocks of " << block);
            const Rendered r = render(rate, block, 1.0);
            ASSERT_TRUE(r.allBlocksSucceeded);
            EXPECT_EQ(r.badCalls, 0) << "the callback must get one 16 kHz bus of 160 frames";
            // The tone is pulled at the inner rate: about as many inner blocks as the
            // output needs, plus the converter's look-ahead (well under 0.1 s).
            const double innerBlocksNeeded = double(r.left.size()) / rate * kInnerRate / kInnerBlock;
            EXPECT_GE(r.calls, innerBlocksNeeded);
            EXPECT_LE(r.calls, innerBlocksNeeded + 0.1 * kInnerRate / kInnerBlock);
            EXPECT_TRUE(r.rightIsNegatedLeft) << "channels must be converted independently and identically";
            EXPECT_GE(r.latency, 0.0);
            EXPECT_LT(r.latency, 1.0);

            const ToneAnalysis a = analyse(r.left, rate, r.latency);
            EXPECT_LT(a.maxDeviation, kMaxDeviation);
            EXPECT_NEAR(a.rms, kToneAmplitude / std::sqrt(2.0), kLevelTolerance * kToneAmplitude);
            EXPECT_NEAR(a.frequency, kToneHz, kFrequencyTolerance * kToneHz);
            // No jumps anywhere, block boundaries included: a sine cannot move
            // faster than amplitude * 2 pi f / rate per sample.
            EXPECT_LE(a.maxStep,
                kToneAmplitude * 2.0 * std::numbers::pi * kToneHz / rate * (1.0 + kLevelTolerance));

            if (counting) {
                EXPECT_EQ(r.allocations, 0u);
                EXPECT_EQ(r.locks, 0u);
            }
            // The output stream does not depend on how it is cut into blocks.
            if (reference.empty()) {
                reference = r.left;
            } else {
                const std::size_t common = std::min(reference.size(), r.left.size());
                EXPECT_TRUE(std::equal(reference.begin(), reference.begin() + common, r.left.begin()));
            }
        }
    }
}

TEST(AudioGraphResampler, ConfiguresItselfOnTheFirstBlockAndFollowsTheOutputRate)
{
    // Without prepare(): the first block configures (and allocates), later ones
    // do not, and the output is the same as with prepare().
    const Rendered prepared = render(48000, 480, 0.5, true);
    const Rendered unprepared = render(48000, 480, 0.5, false);
    ASSERT_TRUE(unprepared.allBlocksSucceeded);
    EXPECT_EQ(unprepared.left, prepared.left);
    if (RealtimeScope::isActive()) {
        EXPECT_EQ(unprepared.allocations, 0u);
    }

    // The outer rate is the output buffer's: switching it mid-stream reconfigures.
    AudioGraphResampler resampler(kInnerRate, kInnerBlock);
    ToneCallback tone;
    resampler.setProcessCallback([&tone](AudioBusList& in, AudioBusList& out) { return tone(in, out); });
    std::vector<float> left(441), right(441);
    float* channels[] = {left.data(), right.data()};
    AudioBusArray<0> inputs;
    AudioBusArray<1> outputs;
    AudioBuffer<float> at48k(channels, kChannels, 441, true, 48000);
    outputs.getBus(0).setBuffer(&at48k);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(resampler.process(inputs, outputs));
    }
    AudioBuffer<float> at44k(channels, kChannels, 441, true, 44100);
    outputs.getBus(0).setBuffer(&at44k);
    std::vector<float> after;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(resampler.process(inputs, outputs));
        after.insert(after.end(), left.begin(), left.end());
    }
    EXPECT_EQ(tone.badCalls, 0);
    const ToneAnalysis a = analyse(after, 44100, 0.0);
    EXPECT_NEAR(a.frequency, kToneHz, kFrequencyTolerance * kToneHz);
    EXPECT_NEAR(a.rms, kToneAmplitude / std::sqrt(2.0), kLevelTolerance * kToneAmplitude);
}

TEST(AudioGraphResampler, FailingOrMissingCallbackGivesSilenceAndFalse)
{
    AudioGraphResampler resampler(kInnerRate, kInnerBlock);
    EXPECT_EQ(resampler.getInnerSampleRate(), kInnerRate);
    EXPECT_EQ(resampler.getInnerBlockSize(), kInnerBlock);
    EXPECT_THROW(resampler.setNumberOfBuses(1, 1), std::invalid_argument);
    EXPECT_THROW(resampler.setNumberOfBuses(0, 2), std::invalid_argument);
    resampler.setNumberOfBuses(0, 1);

    std::vector<float> left(512), right(512);
    float* channels[] = {left.data(), right.data()};
    AudioBuffer<float> buffer(channels, kChannels, 512, false, 48000);
    AudioBusArray<0> inputs;
    AudioBusArray<1> outputs;
    outputs.getBus(0).setBuffer(&buffer);
    const auto isSilent = [&] {
        return std::all_of(left.begin(), left.end(), [](float v) { return v == 0.0f; })
            && std::all_of(right.begin(), right.end(), [](float v) { return v == 0.0f; });
    };

    // No callback yet.
    std::fill(left.begin(), left.end(), 7.0f);
    std::fill(right.begin(), right.end(), 7.0f);
    EXPECT_FALSE(resampler.process(inputs, outputs));
    EXPECT_TRUE(isSilent());

    // A callback that succeeds a few times and then fails: the failing block is
    // silence even where converted frames were already at hand.
    ToneCallback tone;
    int allowed = 6;
    resampler.setProcessCallback(
        [&](AudioBusList& in, AudioBusList& out) { return allowed-- > 0 && tone(in, out); });
    EXPECT_TRUE(resampler.process(inputs, outputs));
    EXPECT_FALSE(isSilent());
    bool failed = false;
    for (int i = 0; i < 20 && !failed; ++i) {
        std::fill(left.begin(), left.end(), 7.0f);
        failed = !resampler.process(inputs, outputs);
    }
    ASSERT_TRUE(failed);
    EXPECT_TRUE(isSilent());

    // No output bus at all, or one without a buffer: nothing to fill.
    AudioBusArray<1> unbuffered;
    EXPECT_FALSE(resampler.process(inputs, unbuffered));
    AudioBusArray<0> none;
    EXPECT_FALSE(resampler.process(inputs, none));
}
