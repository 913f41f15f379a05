#include "tts/VoiceRateConverter.h"

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "host/AudioBus.h"
#include "host/AudioGraphResampler.h"

namespace ombrix::extensions::sherpa {

namespace {
constexpr unsigned kMonoChannels = 1;
/// Block size on both sides of the conversion; any size works, larger is fewer calls.
constexpr unsigned kConversionBlockFrames = 1024;
} // namespace

// The host's resampler is a pull-mode graph resampler: it asks its callback for
// blocks at the voice's rate and fills output blocks at the node's rate, and it
// already compensates its own filter delay (output frame n carries the input at
// n / toRate seconds). Feeding the voice's samples followed by silence and
// pulling the expected number of output frames therefore converts the whole
// signal, its tail included, without this library linking a resampler itself.
bool convertVoiceSampleRate(const float* samples, std::size_t count, int fromRate, int toRate,
    std::vector<float>& converted, std::string& error)
{
    if (fromRate <= 0 || toRate <= 0) {
        error = "invalid sample rate";
        return false;
    }
    const std::size_t expected
        = (count * static_cast<std::size_t>(toRate) + static_cast<std::size_t>(fromRate) - 1)
        / static_cast<std::size_t>(fromRate);
    try {
        AudioGraphResampler resampler(fromRate, static_cast<int>(kConversionBlockFrames));
        resampler.setNumberOfBuses(0, 1);
        std::size_t fed = 0;
        resampler.setProcessCallback([&](AudioBusList&, AudioBusList& outputs) {
            AudioBuffer<float>* buffer = outputs.getBus(0).getBuffer();
            float* destination = buffer->getWritePointer(0);
            const std::size_t frames = buffer->getNumberOfFrames();
            const std::size_t available = fed < count ? count - fed : 0;
            const std::size_t copied = std::min(frames, available);
            std::copy_n(samples + fed, copied, destination);
            std::fill(destination + copied, destination + frames, 0.0f);
            fed += copied;
            return true;
        });
        resampler.prepare(toRate, kMonoChannels);

        converted.assign(expected, 0.0f);
        std::vector<float> block(kConversionBlockFrames);
        float* channels[kMonoChannels] = {block.data()};
        AudioBuffer<float> outputBuffer(channels, kMonoChannels, kConversionBlockFrames, true, toRate);
        AudioBusArray<0> inputs;
        AudioBusArray<1> outputs(AudioBusFormat(toRate, kMonoChannels));
        outputs.getBus(0).setBuffer(&outputBuffer);
        for (std::size_t written = 0; written < expected;) {
            if (!resampler.process(inputs, outputs)) {
                error = "the resampler produced no audio";
                converted.clear();
                return false;
            }
            const std::size_t take = std::min<std::size_t>(kConversionBlockFrames, expected - written);
            std::copy_n(block.data(), take, converted.data() + written);
            written += take;
        }
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        converted.clear();
        return false;
    }
}

namespace {
std::size_t convertedLength(std::size_t count, int fromRate, int toRate)
{
    return (count * static_cast<std::size_t>(toRate) + static_cast<std::size_t>(fromRate) - 1)
        / static_cast<std::size_t>(fromRate);
}
} // namespace

VoiceRateStream::VoiceRateStream(int from, int to)
    : fromRate(from)
    , toRate(to)
    , resampler(from > 0 ? from : 1, static_cast<int>(kConversionBlockFrames))
    , frameBuffer(frameChannels, kMonoChannels, 1, true, to)
    , outputs(AudioBusFormat(to, kMonoChannels))
{
    if (from <= 0 || to <= 0) {
        throw std::invalid_argument("invalid sample rate");
    }
    resampler.setNumberOfBuses(0, 1);
    // The block the resampler asks for is given only when it is complete (or the input has
    // ended, then padded with silence as convertVoiceSampleRate pads it).
    resampler.setProcessCallback([this](AudioBusList&, AudioBusList& pulled) {
        AudioBuffer<float>* buffer = pulled.getBus(0).getBuffer();
        float* destination = buffer->getWritePointer(0);
        const std::size_t frames = buffer->getNumberOfFrames();
        const std::size_t available = pending.size() - pendingStart;
        if (available < frames && !inputEnded) {
            return false;
        }
        const std::size_t copied = std::min(frames, available);
        std::copy_n(pending.data() + pendingStart, copied, destination);
        std::fill(destination + copied, destination + frames, 0.0f);
        pendingStart += copied;
        return true;
    });
    resampler.prepare(toRate, kMonoChannels);
    outputs.getBus(0).setBuffer(&frameBuffer);
}

bool VoiceRateStream::push(
    const float* samples, std::size_t count, std::vector<float>& converted, std::string& error)
{
    if (pendingStart > 0) {
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(pendingStart));
        pendingStart = 0;
    }
    pending.insert(pending.end(), samples, samples + count);
    inputFrames += count;
    return drain(converted, error);
}

bool VoiceRateStream::finish(std::vector<float>& converted, std::string& error)
{
    inputEnded = true;
    return drain(converted, error);
}

bool VoiceRateStream::drain(std::vector<float>& converted, std::string& error)
{
    // Never beyond the length of the whole conversion: what follows is the filter's tail
    // past the end, which convertVoiceSampleRate does not hand out either.
    const std::size_t limit = convertedLength(inputFrames, fromRate, toRate);
    try {
        while (outputFrames < limit) {
            if (!resampler.process(noInputs, outputs)) {
                if (inputEnded) {
                    error = "the resampler produced no audio";
                    return false;
                }
                break; // waits for the next piece
            }
            converted.push_back(frame);
            ++outputFrames;
        }
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

} // namespace ombrix::extensions::sherpa
