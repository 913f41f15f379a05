#include "utils/Ramp.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>

using ombrix::math::Ramp;

namespace {
constexpr float kTolerance = 1e-5f;
}

TEST(Ramp, StartsAtZeroWithAHundredMillisecondDurationAt44100)
{
    const Ramp ramp;
    EXPECT_EQ(ramp.getValue(), 0.0f);
    EXPECT_EQ(ramp.getTargetValue(), 0.0f);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 0u);
    EXPECT_EQ(ramp.getRampDurationSamples(), 4410u);
    EXPECT_EQ(ramp.getSampleRate(), 44100u);
    EXPECT_EQ(ramp.getRampDurationMs(), 100u);
}

TEST(Ramp, ProcessReturnsTheBlockStartGainAndSettlesExactlyOnTheTarget)
{
    Ramp whole;
    whole.setTargetValue(1.0f);
    EXPECT_EQ(whole.process(4410), 0.0f);
    EXPECT_NEAR(whole.getValue(), 1.0f, kTolerance);
    EXPECT_EQ(whole.getRemainingSamplesToTargetValue(), 0u);
    EXPECT_EQ(whole.process(4410), 1.0f);
    EXPECT_EQ(whole.getValue(), 1.0f);

    Ramp tenths;
    tenths.setTargetValue(1.0f);
    for (int block = 0; block < 10; ++block) {
        EXPECT_NEAR(tenths.process(441), 0.1f * static_cast<float>(block), kTolerance) << "block " << block;
        EXPECT_EQ(tenths.getRemainingSamplesToTargetValue(), 4410u - 441u * static_cast<unsigned>(block + 1));
    }
    EXPECT_NEAR(tenths.getValue(), 1.0f, kTolerance);
}

TEST(Ramp, ABlockPastTheEndStopsAtTheTarget)
{
    Ramp ramp;
    ramp.setRampDurationSamples(100);
    ramp.setTargetValue(1.0f);
    EXPECT_EQ(ramp.process(64), 0.0f);
    EXPECT_NEAR(ramp.process(64), 0.64f, kTolerance);
    EXPECT_NEAR(ramp.getValue(), 1.0f, kTolerance);
    EXPECT_LE(ramp.getValue(), 1.0f + kTolerance);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 0u);
}

TEST(Ramp, OnlyANewTargetOrValueRestartsTheRamp)
{
    Ramp ramp;
    ramp.setTargetValue(1.0f);
    ramp.process(1000);
    ramp.setTargetValue(1.0f);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 3410u) << "same target must not restart";

    ramp.setTargetValue(0.5f);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 4410u);

    ramp.process(10);
    ramp.setTargetValue(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 4410u);
    ramp.process(10);
    ramp.setTargetValue(std::numeric_limits<float>::quiet_NaN());
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 4410u) << "a NaN target never equals the current one";

    ramp.setTargetValue(1.0f);
    ramp.process(4410);
    ramp.setValue(0.25f);
    EXPECT_EQ(ramp.getValue(), 0.25f);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 4410u);
    EXPECT_EQ(ramp.process(1), 0.25f);
}

TEST(Ramp, DurationChangesKeepTimeAndRestartOnlyWhenTheSampleCountChanges)
{
    Ramp ramp;
    ramp.setSampleRate(48000);
    EXPECT_EQ(ramp.getRampDurationSamples(), 4800u);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 4800u);
    EXPECT_EQ(ramp.getRampDurationMs(), 100u);

    ramp.process(800);
    ramp.setSampleRate(48000);
    EXPECT_EQ(ramp.getRampDurationSamples(), 4800u);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 4000u);

    ramp.setRampDurationMs(10);
    EXPECT_EQ(ramp.getRampDurationSamples(), 480u);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 480u);

    ramp.process(100);
    ramp.setRampDurationSamples(480);
    ramp.setRampDurationMs(10);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 380u);

    ramp.setRampDurationSamples(1000);
    EXPECT_EQ(ramp.getRemainingSamplesToTargetValue(), 1000u);
}

TEST(Ramp, RampMultiplyStopsOneStepShortOfTheEndValueAndWorksInPlace)
{
    const std::array<float, 4> ones{1, 1, 1, 1};
    std::array<float, 4> faded{};
    Ramp::rampMultiply(ones.data(), faded.data(), 1.0f, 0.0f, 4);
    EXPECT_EQ(faded, (std::array<float, 4>{1.0f, 0.75f, 0.5f, 0.25f}));

    std::array<float, 4> inPlace{2, 4, 6, 8};
    Ramp::rampMultiply(inPlace.data(), inPlace.data(), 0.0f, 1.0f, 4);
    EXPECT_EQ(inPlace, (std::array<float, 4>{0.0f, 1.0f, 3.0f, 6.0f}));

    std::array<float, 2> untouched{5, 5};
    Ramp::rampMultiply(ones.data(), untouched.data(), 1.0f, 0.0f, 0);
    EXPECT_EQ(untouched, (std::array<float, 2>{5, 5}));
}

TEST(Ramp, InterleavedRampGivesEveryChannelOfAFrameTheSameGain)
{
    const std::array<float, 4> ones{1, 1, 1, 1};
    std::array<float, 4> out{};
    Ramp::rampMultiplyInterleaved(ones.data(), out.data(), 0.0f, 1.0f, 2, 2);
    EXPECT_EQ(out, (std::array<float, 4>{0.0f, 0.0f, 0.5f, 0.5f}));

    std::array<float, 6> inPlace{1, 2, 3, 1, 2, 3};
    Ramp::rampMultiplyInterleaved(inPlace.data(), inPlace.data(), 1.0f, 0.0f, 2, 3);
    EXPECT_EQ(inPlace, (std::array<float, 6>{1, 2, 3, 0.5f, 1.0f, 1.5f}));

    std::array<float, 4> untouched{9, 9, 9, 9};
    Ramp::rampMultiplyInterleaved(ones.data(), untouched.data(), 0.0f, 1.0f, 0, 2);
    Ramp::rampMultiplyInterleaved(ones.data(), untouched.data(), 0.0f, 1.0f, 2, 0);
    EXPECT_EQ(untouched, (std::array<float, 4>{9, 9, 9, 9}));
}
