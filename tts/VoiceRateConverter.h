#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ombrix::extensions::sherpa {

/**
 * Converts mono samples from a voice's own rate to `toRate` in one go (through the host's
 * resampler, the whole signal including the filter tail), for voices whose rate is not the
 * rate the node plays at. The result has about count * toRate / fromRate samples.
 * Allocates the result; meant for the synthesis worker, never the audio thread.
 * Returns false (with the library's message in `error`) when the conversion fails;
 * rates must be positive.
 */
bool convertVoiceSampleRate(const float* samples, std::size_t count, int fromRate, int toRate,
    std::vector<float>& converted, std::string& error);

} // namespace ombrix::extensions::sherpa
