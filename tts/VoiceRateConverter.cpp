#include "tts/VoiceRateConverter.h"

#include <soxr.h>

namespace ombrix::extensions::sherpa {

namespace {
constexpr unsigned kMonoChannels = 1;
/// Room beyond the exact length for rounding inside the converter.
constexpr std::size_t kOutputSlackSamples = 16;
} // namespace

bool convertVoiceSampleRate(const float* samples, std::size_t count, int fromRate, int toRate,
    std::vector<float>& converted, std::string& error)
{
    if (fromRate <= 0 || toRate <= 0) {
        error = "invalid sample rate";
        return false;
    }
    converted.assign(
        count * static_cast<std::size_t>(toRate) / static_cast<std::size_t>(fromRate) + kOutputSlackSamples,
        0.0f);
    const soxr_io_spec_t ioSpec = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t qualitySpec = soxr_quality_spec(SOXR_HQ, 0);
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const soxr_error_t failure
        = soxr_oneshot(static_cast<double>(fromRate), static_cast<double>(toRate), kMonoChannels, samples,
            count, &consumed, converted.data(), converted.size(), &produced, &ioSpec, &qualitySpec, nullptr);
    if (failure != nullptr) {
        error = failure;
        converted.clear();
        return false;
    }
    converted.resize(produced);
    return true;
}

} // namespace ombrix::extensions::sherpa
