#pragma once

// The input at the recogniser's own rate: mono samples from an AudioInput, converted with
// libsoxr when the input has another rate, so that the recogniser never converts (and
// prints nothing about it).

#include "AudioInput.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct soxr;

namespace ombrix::transcribe {

class ResampledInput {
public:
    /// Throws tools::InputError when the converter cannot be made for these rates.
    ResampledInput(tools::AudioInput& input, int outputRate);
    ~ResampledInput();
    ResampledInput(const ResampledInput&) = delete;
    ResampledInput& operator=(const ResampledInput&) = delete;

    int getOutputRate() const { return outputRate; }
    /// Up to `frames` frames at the output rate; 0 once the input and the converter's
    /// delay line are drained. Throws what the input throws.
    std::size_t read(float* out, std::size_t frames);
    /// Frames read from the input so far, at its own rate.
    std::uint64_t getInputFrames() const { return inputFrames; }

private:
    struct Free {
        void operator()(soxr* converter) const;
    };

    tools::AudioInput& input;
    const int outputRate;
    std::unique_ptr<soxr, Free> converter; // null when the rates are equal
    std::vector<float> pending;
    std::size_t pendingAt = 0;
    std::size_t pendingCount = 0;
    bool inputEnded = false;
    std::uint64_t inputFrames = 0;
};

} // namespace ombrix::transcribe
