#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "host/AudioGraphResampler.h"

namespace ombrix::extensions::sherpa {

/**
 * Converts mono samples from a voice's own rate to `toRate` in one go (through the host's
 * resampler, the whole signal including the filter tail). The result has count * toRate /
 * fromRate samples, rounded up. The node converts sentence by sentence (VoiceRateStream
 * below), which gives exactly these samples; this form is the whole-text reference.
 * Allocates the result; meant for the synthesis worker, never the audio thread.
 * Returns false (with the library's message in `error`) when the conversion fails;
 * rates must be positive.
 */
bool convertVoiceSampleRate(const float* samples, std::size_t count, int fromRate, int toRate,
    std::vector<float>& converted, std::string& error);

/**
 * The same conversion fed piece by piece (a voice's sentences as the engine hands them
 * out): after each piece it hands out every converted sample that no later input can
 * change, and finish() adds the rest. The concatenation of everything handed out equals
 * convertVoiceSampleRate of the whole signal, sample for sample: the host resampler is
 * driven with the same input blocks in the same order (a block is taken only once it is
 * complete or the input has ended) and its output does not depend on how it is pulled.
 * Pieces that leave part of a block wait for the next piece, so the last few
 * milliseconds of a piece come out with the next one.
 * Worker thread only; the constructor allocates and warms the converter up (a few
 * milliseconds), push and finish allocate the output. Throws std::exception from the
 * constructor when the rates cannot be converted.
 */
class VoiceRateStream {
public:
    VoiceRateStream(int fromRate, int toRate);
    VoiceRateStream(const VoiceRateStream&) = delete;
    VoiceRateStream& operator=(const VoiceRateStream&) = delete;

    /// Adds `count` samples and appends the samples converted so far to `converted`.
    /// False (with the reason in `error`) when the resampler fails.
    bool push(const float* samples, std::size_t count, std::vector<float>& converted, std::string& error);
    /// The input has ended: appends the rest, up to count * toRate / fromRate (rounded up)
    /// samples in all. Push must not be called afterwards.
    bool finish(std::vector<float>& converted, std::string& error);

private:
    /// Pulls one output frame at a time while the resampler can make one without input
    /// that has not arrived (its callback refuses then, which leaves its state as it was).
    bool drain(std::vector<float>& converted, std::string& error);

    const int fromRate;
    const int toRate;
    AudioGraphResampler resampler;
    /// Input not yet handed to the resampler, from pendingStart on.
    std::vector<float> pending;
    std::size_t pendingStart = 0;
    std::size_t inputFrames = 0;
    std::size_t outputFrames = 0;
    bool inputEnded = false;
    float frame = 0.0f;
    float* frameChannels[1] = {&frame};
    AudioBuffer<float> frameBuffer;
    AudioBusArray<0> noInputs;
    AudioBusArray<1> outputs;
};

} // namespace ombrix::extensions::sherpa
