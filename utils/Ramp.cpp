#include "utils/Ramp.h"

#include <algorithm>

namespace ombrix::math {

namespace {
constexpr float kMillisecondsPerSecond = 1000.0f;
constexpr double kSecondsPerMillisecond = 1.0 / 1000.0;
} // namespace

void Ramp::setValue(float v)
{
    value = v;
    remainingSamples = rampDurationSamples;
}

void Ramp::setTargetValue(float v)
{
    // A NaN compares unequal to everything, so a NaN on either side restarts the ramp.
    if (v != targetValue) {
        targetValue = v;
        remainingSamples = rampDurationSamples;
    }
}

void Ramp::restartWithDuration(uint32_t n)
{
    if (n != rampDurationSamples) {
        rampDurationSamples = n;
        remainingSamples = n;
    }
}

void Ramp::setRampDurationSamples(uint32_t n)
{
    restartWithDuration(n);
}

void Ramp::setSampleRate(uint32_t r)
{
    if (r == sampleRate) {
        return;
    }
    const float oldRate = static_cast<float>(sampleRate);
    sampleRate = r;
    const float scaled = static_cast<float>(r) / oldRate * static_cast<float>(rampDurationSamples);
    restartWithDuration(static_cast<uint32_t>(scaled));
}

uint32_t Ramp::getRampDurationMs() const
{
    const float ms
        = static_cast<float>(rampDurationSamples) / static_cast<float>(sampleRate) * kMillisecondsPerSecond;
    return static_cast<uint32_t>(ms);
}

void Ramp::setRampDurationMs(uint32_t ms)
{
    const float msAsFloat = static_cast<float>(ms);
    const double samples
        = static_cast<double>(sampleRate) * (static_cast<double>(msAsFloat) * kSecondsPerMillisecond);
    restartWithDuration(static_cast<uint32_t>(samples));
}

float Ramp::process(uint32_t n)
{
    if (remainingSamples == 0) {
        value = targetValue;
        return targetValue;
    }
    const float step = (targetValue - value) / static_cast<float>(remainingSamples);
    const uint32_t k = std::min(n, remainingSamples);
    const float startValue = value;
    value = startValue + step * static_cast<float>(k);
    remainingSamples -= k;
    return startValue;
}

void Ramp::rampMultiply(
    const float* source, float* destination, float startValue, float endValue, uint32_t numberOfSamples)
{
    if (numberOfSamples == 0) {
        return;
    }
    const float step = (endValue - startValue) / static_cast<float>(numberOfSamples);
    float gain = startValue;
    for (uint32_t i = 0; i < numberOfSamples; ++i) {
        destination[i] = source[i] * gain;
        gain += step;
    }
}

void Ramp::rampMultiplyInterleaved(const float* source, float* destination, float startValue, float endValue,
    uint32_t numberOfFrames, uint32_t numberOfChannels)
{
    if (numberOfFrames == 0 || numberOfChannels == 0) {
        return;
    }
    const float step = (endValue - startValue) / static_cast<float>(numberOfFrames);
    float gain = startValue;
    for (uint32_t f = 0; f < numberOfFrames; ++f) {
        for (uint32_t c = 0; c < numberOfChannels; ++c) {
            const uint32_t index = f * numberOfChannels + c;
            destination[index] = source[index] * gain;
        }
        gain += step;
    }
}

} // namespace ombrix::math
