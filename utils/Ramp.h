#pragma once

#include <cstdint>

namespace ombrix::math {

/**
 * Linear gain ramp for click-free gain changes, moved block by block, plus two static
 * helpers that multiply a block by a linearly changing gain.
 *
 * A ramp is in progress while getRemainingSamplesToTargetValue() is above 0. setValue(),
 * setTargetValue() with a new target and any change of the duration restart it with the
 * full duration. Plain value type: no synchronisation, no allocation, no locks, so it is
 * safe on the audio thread when owned by one thread.
 */
class Ramp {
public:
    static constexpr float kDefaultValue = 0.0f;
    static constexpr uint32_t kDefaultRampDurationSamples = 4410; // 100 ms at 44100 Hz
    static constexpr uint32_t kDefaultSampleRate = 44100;

    Ramp() = default;

    float getValue() const { return value; }
    /// Sets the current gain and restarts the ramp from it toward the unchanged target.
    void setValue(float v);

    float getTargetValue() const { return targetValue; }
    /// Starts a full-length ramp toward `v` unless `v` equals the current target
    /// (NaN on either side counts as different), so a ramp in progress is not restarted.
    void setTargetValue(float v);

    uint32_t getRampDurationSamples() const { return rampDurationSamples; }
    /// A different length restarts the countdown with it; the same length changes nothing.
    void setRampDurationSamples(uint32_t n);

    uint32_t getSampleRate() const { return sampleRate; }
    /// Changes the rate and rescales the duration so it keeps its length in time.
    void setSampleRate(uint32_t r);

    /// rampDurationSamples / sampleRate * 1000, single precision, truncated.
    uint32_t getRampDurationMs() const;
    /// Sets the duration from milliseconds at the current sample rate (truncated samples).
    void setRampDurationMs(uint32_t ms);

    uint32_t getRemainingSamplesToTargetValue() const { return remainingSamples; }

    /**
     * Advances the ramp by a block of `n` samples and returns the gain at the start of the
     * block; getValue() is then the gain at the end of it. The value never moves past the
     * target; once the countdown is at 0 the value is set to the target exactly.
     */
    float process(uint32_t n);

    /**
     * destination[i] = source[i] * gain with gain starting at `startValue` and growing by
     * (endValue - startValue) / numberOfSamples per sample. The last sample gets one step
     * short of `endValue`: `endValue` is the gain of the sample after the block, so a fade
     * 1 -> 0 over N samples leaves the last one at 1/N. A count of 0 writes nothing.
     * `source` and `destination` may be the same buffer.
     */
    static void rampMultiply(
        const float* source, float* destination, float startValue, float endValue, uint32_t numberOfSamples);

    /**
     * Like rampMultiply() on interleaved frames: every channel of a frame gets the same
     * gain and the step is per frame. Writes nothing when either count is 0.
     * `source` and `destination` may be the same buffer.
     */
    static void rampMultiplyInterleaved(const float* source, float* destination, float startValue,
        float endValue, uint32_t numberOfFrames, uint32_t numberOfChannels);

private:
    void restartWithDuration(uint32_t n);

    float value = kDefaultValue;
    float targetValue = kDefaultValue;
    uint32_t remainingSamples = 0;
    uint32_t rampDurationSamples = kDefaultRampDurationSamples;
    uint32_t sampleRate = kDefaultSampleRate;
};

} // namespace ombrix::math
