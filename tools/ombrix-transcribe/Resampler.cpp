#include "Resampler.h"

#include <soxr.h>

#include <string>

namespace ombrix::transcribe {

namespace {

/// Input frames converted per soxr_process() call.
constexpr std::size_t kPendingFrames = 8192;

} // namespace

void ResampledInput::Free::operator()(soxr* converter) const
{
    soxr_delete(converter);
}

ResampledInput::ResampledInput(tools::AudioInput& input, int outputRate)
    : input(input)
    , outputRate(outputRate)
    , pending(kPendingFrames)
{
    if (input.getSampleRate() == outputRate) {
        return;
    }
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    converter.reset(soxr_create(input.getSampleRate(), outputRate, 1, &error, &io, &quality, &runtime));
    if (error != nullptr || !converter) {
        throw tools::InputError("cannot convert " + input.getName() + " from "
            + std::to_string(input.getSampleRate()) + " Hz to " + std::to_string(outputRate)
            + " Hz: " + (error != nullptr ? error : "libsoxr failed"));
    }
}

ResampledInput::~ResampledInput() = default;

std::size_t ResampledInput::read(float* out, std::size_t frames)
{
    if (!converter) {
        const std::size_t got = input.readMono(out, frames);
        inputFrames += got;
        return got;
    }
    while (true) {
        if (pendingAt == pendingCount && !inputEnded) {
            pendingCount = input.readMono(pending.data(), pending.size());
            pendingAt = 0;
            inputFrames += pendingCount;
            inputEnded = pendingCount == 0;
        }
        std::size_t used = 0;
        std::size_t produced = 0;
        // No input (null) asks the converter to drain what its filter still holds.
        const soxr_error_t error
            = soxr_process(converter.get(), inputEnded ? nullptr : pending.data() + pendingAt,
                inputEnded ? 0 : pendingCount - pendingAt, &used, out, frames, &produced);
        if (error != nullptr) {
            throw tools::InputError("cannot convert " + input.getName() + ": " + error);
        }
        pendingAt += used;
        if (produced > 0 || inputEnded) {
            return produced;
        }
    }
}

} // namespace ombrix::transcribe
