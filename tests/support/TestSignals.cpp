#include "TestSignals.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace ombrix::testing {

namespace {

std::size_t samplesFor(double seconds, int sampleRate)
{
    return static_cast<std::size_t>(std::lround(seconds * sampleRate));
}

double frequencyOf(char symbol)
{
    switch (symbol) {
    case 'A':
        return kToneAFrequencyHz;
    case 'B':
        return kToneBFrequencyHz;
    case '_':
        return 0.0;
    default:
        throw std::invalid_argument(
            std::string("tone pattern symbol must be A, B or _, got '") + symbol + "'");
    }
}

// One burst of `length` samples starting at `out`, with raised-cosine ramps of
// `rampLength` samples at both ends (shorter for very short bursts).
void writeBurst(float* out, std::size_t length, double frequencyHz, int sampleRate, std::size_t rampLength)
{
    rampLength = std::min(rampLength, length / 2);
    const double step = 2.0 * std::numbers::pi * frequencyHz / sampleRate;
    for (std::size_t i = 0; i < length; ++i) {
        double gain = 1.0;
        const std::size_t fromEnd = length - 1 - i;
        const std::size_t edge = std::min(i, fromEnd);
        if (edge < rampLength)
            gain = 0.5 - 0.5 * std::cos(std::numbers::pi * (edge + 0.5) / rampLength);
        out[i] = static_cast<float>(kToneAmplitude * gain * std::sin(step * static_cast<double>(i)));
    }
}

} // namespace

std::vector<float> makeToneBursts(std::string_view pattern, int sampleRate, double trailingSilenceSeconds)
{
    if (sampleRate <= 0)
        throw std::invalid_argument("sample rate must be positive");
    if (trailingSilenceSeconds < 0)
        throw std::invalid_argument("trailing silence must not be negative");
    for (char symbol : pattern)
        frequencyOf(symbol);

    const std::size_t lead = samplesFor(kToneLeadingSilenceSeconds, sampleRate);
    const std::size_t symbolLength = samplesFor(kToneSymbolSeconds, sampleRate);
    const std::size_t ramp = samplesFor(kToneRampSeconds, sampleRate);
    std::vector<float> samples(
        lead + pattern.size() * symbolLength + samplesFor(trailingSilenceSeconds, sampleRate), 0.0f);
    std::size_t symbol = 0;
    while (symbol < pattern.size()) {
        std::size_t runEnd = symbol + 1;
        while (runEnd < pattern.size() && pattern[runEnd] == pattern[symbol])
            ++runEnd;
        const double frequency = frequencyOf(pattern[symbol]);
        if (frequency > 0.0)
            writeBurst(samples.data() + lead + symbol * symbolLength, (runEnd - symbol) * symbolLength,
                frequency, sampleRate, ramp);
        symbol = runEnd;
    }
    return samples;
}

std::vector<float> makeSilence(int sampleRate, double seconds)
{
    if (sampleRate <= 0 || seconds < 0)
        throw std::invalid_argument("silence needs a positive sample rate and a non-negative length");
    return std::vector<float>(samplesFor(seconds, sampleRate), 0.0f);
}

std::optional<std::vector<int>> decodeVoiceTokenIds(
    std::span<const float> samples, std::size_t samplesPerToken)
{
    // The voice computes in float32; its peaks match the id amplitudes to ~1e-7.
    constexpr float kShapeTolerance = 1e-4f;
    if (samplesPerToken <= kVoicePeakIndex || samples.empty() || samples.size() % samplesPerToken != 0)
        return std::nullopt;
    std::vector<int> ids;
    ids.reserve(samples.size() / samplesPerToken);
    for (std::size_t start = 0; start < samples.size(); start += samplesPerToken) {
        const float first = samples[start];
        const float peak = std::fabs(samples[start + kVoicePeakIndex]);
        const long id = std::lround((peak - kVoiceAmplitudeBase) / kVoiceAmplitudePerId);
        const float expected = kVoiceAmplitudeBase + kVoiceAmplitudePerId * static_cast<float>(id);
        if (std::fabs(first) > kShapeTolerance || id < 0 || std::fabs(peak - expected) > kShapeTolerance)
            return std::nullopt;
        ids.push_back(static_cast<int>(id));
    }
    return ids;
}

} // namespace ombrix::testing
