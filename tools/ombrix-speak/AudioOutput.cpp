#include "AudioOutput.h"

#include "tools/common/ToolCommon.h"
#include "tools/common/WavOutput.h"

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace ombrix::speak {

namespace {

// Full scale of 16-bit PCM, as WavWriter scales.
constexpr float kPcm16Scale = 32768.0f;

} // namespace

AudioOutput::~AudioOutput()
{
    close();
}

void AudioOutput::open(const std::string& path, int sampleRate, unsigned channels,
    ombrix::WavWriter::Format format, bool rawOutput)
{
    raw = rawOutput;
    if (!raw) {
        tools::openWavOutput(wav, path, sampleRate, channels, format);
        return;
    }
    errno = 0;
    ownsRawFile = path != tools::kStandardStreamName;
    rawFile = ownsRawFile ? std::fopen(path.c_str(), "wbe") : stdout;
    if (rawFile == nullptr) {
        throw tools::ToolError(tools::kExitRuntime,
            "cannot write " + path + ": " + tools::systemReason(errno != 0 ? errno : EIO));
    }
    rawChannels = channels;
    rawFrames = 0;
}

bool AudioOutput::write(const ombrix::AudioBuffer<float>& buffer)
{
    if (!raw) {
        return wav.write(buffer);
    }
    if (rawFile == nullptr || buffer.getNumberOfChannels() != rawChannels) {
        errno = EINVAL;
        return false;
    }
    const unsigned frames = buffer.getNumberOfFrames();
    scratch.resize(std::size_t(frames) * rawChannels * 2);
    unsigned char* out = scratch.data();
    for (unsigned f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < rawChannels; ++c) {
            const float sample = buffer.getReadPointer(c)[f];
            const float scaled
                = std::isnan(sample) ? 0.0f : std::clamp(sample * kPcm16Scale, -32768.0f, 32767.0f);
            const auto value = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lrint(scaled)));
            *out++ = static_cast<unsigned char>(value & 0xFFu);
            *out++ = static_cast<unsigned char>(value >> 8);
        }
    }
    if (std::fwrite(scratch.data(), 1, scratch.size(), rawFile) != scratch.size()) {
        return false;
    }
    rawFrames += frames;
    return true;
}

bool AudioOutput::close()
{
    if (!raw) {
        return wav.close();
    }
    if (rawFile == nullptr) {
        return true;
    }
    std::FILE* const file = rawFile;
    rawFile = nullptr;
    if (ownsRawFile) {
        return std::fclose(file) == 0;
    }
    return std::fflush(file) == 0 && !std::ferror(file);
}

std::uint64_t AudioOutput::getFramesWritten() const
{
    return raw ? rawFrames : wav.getFramesWritten();
}

} // namespace ombrix::speak
