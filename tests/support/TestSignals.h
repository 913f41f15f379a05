#pragma once

// Test audio for the synthetic speech models of tests/fixtures.
//
// Recogniser input: the synthetic recogniser hears a 1 kHz burst as "A", a 4 kHz burst as
// "B" and digital silence as nothing, so makeToneBursts("A_B_A", rate) is audio whose
// transcript is "ABA" at any input rate the recogniser resamples from.
//
// Voice output: the synthetic voice turns every token id into one burst of 200 samples
// (at speed 1) whose sample 10 is 0.1 + 0.003 * id; decodeVoiceTokenIds() reads the ids
// back from a whole generated signal.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace ombrix::testing {

inline constexpr double kToneSymbolSeconds = 0.2;
inline constexpr double kToneLeadingSilenceSeconds = 0.3;
/// The recogniser decodes the last ~0.45 s of a stream only once more audio follows, so
/// the default tail leaves every burst decodable.
inline constexpr double kToneTrailingSilenceSeconds = 0.6;
inline constexpr double kToneRampSeconds = 0.005;
inline constexpr float kToneAmplitude = 0.5f;
inline constexpr double kToneAFrequencyHz = 1000.0;
inline constexpr double kToneBFrequencyHz = 4000.0;

/**
 * Mono samples for `pattern`: after 0.3 s of silence, one 0.2 s symbol per character,
 * 'A' = 1 kHz sine, 'B' = 4 kHz sine, '_' = digital silence, then `trailingSilenceSeconds`
 * of silence. A run of equal letters is one continuous burst ("AA" is one 0.4 s burst,
 * which the recogniser reports as a single token). Each burst has amplitude 0.5 and 5 ms
 * raised-cosine ramps at both ends. Throws std::invalid_argument for another character,
 * a sample rate <= 0 or a negative tail. Allocates the result.
 */
std::vector<float> makeToneBursts(
    std::string_view pattern, int sampleRate, double trailingSilenceSeconds = kToneTrailingSilenceSeconds);

/// `seconds` of digital silence (round(seconds * sampleRate) zeros).
std::vector<float> makeSilence(int sampleRate, double seconds);

inline constexpr std::size_t kVoiceSamplesPerToken = 200;
inline constexpr float kVoiceAmplitudeBase = 0.1f;
inline constexpr float kVoiceAmplitudePerId = 0.003f;
/// Index of the sine peak inside each burst (a quarter of the 40-sample period).
inline constexpr std::size_t kVoicePeakIndex = 10;

/**
 * The token ids in synthetic-voice output, one per burst of `samplesPerToken` samples
 * (200 at speed 1, round(200 / speed) otherwise): id = round((|y[10]| - 0.1) / 0.003).
 * std::nullopt when the signal is empty, is not a whole number of bursts, or a burst
 * does not have the voice's shape (sample 0 not zero, or a peak that is not exactly an
 * id's amplitude), so a caller can assert both the structure and the ids.
 */
std::optional<std::vector<int>> decodeVoiceTokenIds(
    std::span<const float> samples, std::size_t samplesPerToken = kVoiceSamplesPerToken);

} // namespace ombrix::testing
