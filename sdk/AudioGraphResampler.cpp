#include "host/AudioGraphResampler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <soxr.h>

#include "host/Logger.h"

namespace ombrix {

namespace {

// libsoxr grows its internal FIFOs (realloc) on demand, and in steady
// streaming it keeps meeting new fill levels for seconds (sometimes tens of
// seconds) of input. One conversion of this much silence in a single call, at
// configuration time, grows them beyond anything the steady one-block pattern
// needs: surveyed over 2 M frames for inner rates 8 to 48 kHz, outer rates 8 to
// 192 kHz and inner blocks of 32 to 1024 frames, no growth followed it.
// 32000 frames are 2 s at 16 kHz, a whole number of frames at 44.1 and 48 kHz,
// so that from 16 kHz the output needs no fractional delay there.
constexpr std::size_t kWarmUpInnerFrames = 32000;

// Room for the output of one inner block beyond its nominal length: the
// converter's DFT stage releases output in bursts (about 12600 frames above
// nominal from 16 to 192 kHz). A larger burst is drained by further calls.
constexpr std::size_t kConverterBurstFrames = 16384;

// Guards the latency arithmetic against rounding of exact integer lags.
constexpr double kFrameEpsilon = 1e-6;

struct SoxrDeleter {
    void operator()(soxr_t converter) const { soxr_delete(converter); }
};
using SoxrHandle = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

} // namespace

// The converter is driven in fixed chunks: every call to soxr_process takes
// exactly one inner block and returns everything it can produce into
// `converted`, from where output blocks of any size are served. libsoxr's
// internal state thus evolves the same way whatever the outer block size, and
// after the warm-up its buffers have all the room they will ever need.
struct AudioGraphResampler::Impl {
    Impl(int innerRate, int innerBlock)
        : innerSampleRate(innerRate)
        , innerBlockSize(innerBlock)
        , innerOutputs(AudioBusFormat(innerRate, 1))
    {
    }

    bool configure(int rate, unsigned numberOfChannels);
    // One soxr_process call; input null means "drain only".
    bool runConverter(bool withInput);
    bool fill(AudioBuffer<float>& out);

    const int innerSampleRate;
    const int innerBlockSize;
    unsigned inputBusCount = 0;
    unsigned outputBusCount = 1;
    ProcessCallback callback;

    // Current configuration (outerSampleRate 0: none).
    int outerSampleRate = 0;
    unsigned channels = 0;
    // The last configuration that failed, so that it is not retried every block.
    int failedSampleRate = 0;
    unsigned failedChannels = 0;

    SoxrHandle converter;

    // The callback's view: one bus of innerBlockSize frames at the inner rate.
    std::vector<float> innerStorage;
    std::array<float*, AudioBuffer<float>::maxChannels> innerChannels{};
    AudioBuffer<float> innerBuffer;
    AudioBusArray<0> innerInputs;
    AudioBusArray<1> innerOutputs;

    // Converted frames not yet handed out: [convertedPosition, convertedFrames).
    std::vector<float> convertedStorage;
    std::array<float*, AudioBuffer<float>::maxChannels> convertedChannels{};
    std::size_t convertedCapacity = 0;
    std::size_t convertedFrames = 0;
    std::size_t convertedPosition = 0;
    // The last call filled `converted` completely, so soxr may hold more.
    bool converterMayHoldMore = false;

    // Output frames still to drop so that output lines up with the inner
    // signal again after the warm-up, and the fraction of a frame that remains.
    std::size_t framesToSkip = 0;
    double latencyFrames = 0.0;
};

bool AudioGraphResampler::Impl::configure(int rate, unsigned numberOfChannels)
{
    converter.reset();
    outerSampleRate = 0;
    channels = 0;
    convertedFrames = convertedPosition = 0;
    converterMayHoldMore = false;
    framesToSkip = 0;
    latencyFrames = 0.0;

    if (rate <= 0 || numberOfChannels == 0 || numberOfChannels > AudioBuffer<float>::maxChannels) {
        Logger::error("[AudioGraphResampler] unsupported output format: " + std::to_string(rate) + " Hz, "
            + std::to_string(numberOfChannels) + " channels");
        failedSampleRate = rate;
        failedChannels = numberOfChannels;
        return false;
    }

    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    // One thread: the conversion runs on the caller's (audio) thread only.
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    converter.reset(soxr_create(innerSampleRate, rate, numberOfChannels, &error, &io, &quality, &runtime));
    if (error != nullptr || !converter) {
        Logger::error(std::string("[AudioGraphResampler] cannot create the converter: ")
            + (error != nullptr ? error : "unknown error"));
        converter.reset();
        failedSampleRate = rate;
        failedChannels = numberOfChannels;
        return false;
    }

    const std::size_t block = static_cast<std::size_t>(innerBlockSize);
    innerStorage.assign(block * numberOfChannels, 0.0f);
    const double ratio = static_cast<double>(rate) / innerSampleRate;
    convertedCapacity = static_cast<std::size_t>(std::ceil(block * ratio)) + kConverterBurstFrames;
    convertedStorage.assign(convertedCapacity * numberOfChannels, 0.0f);
    innerChannels.fill(nullptr);
    convertedChannels.fill(nullptr);
    for (unsigned c = 0; c < numberOfChannels; ++c) {
        innerChannels[c] = innerStorage.data() + c * block;
        convertedChannels[c] = convertedStorage.data() + c * convertedCapacity;
    }
    innerBuffer = AudioBuffer<float>(
        innerChannels.data(), numberOfChannels, static_cast<unsigned>(block), false, innerSampleRate);
    innerOutputs.getBus(0).setFormat(AudioBusFormat(innerSampleRate, numberOfChannels));
    innerOutputs.getBus(0).setBuffer(&innerBuffer);
    outerSampleRate = rate;
    channels = numberOfChannels;

    // Warm-up: one large conversion of silence, its output discarded, counting
    // what goes in and out. The temporary buffers go away with this call.
    const std::vector<float> silence(kWarmUpInnerFrames, 0.0f);
    const std::size_t warmUpCapacity
        = static_cast<std::size_t>(std::ceil(kWarmUpInnerFrames * ratio)) + kConverterBurstFrames;
    std::vector<float> warmUpOutput(warmUpCapacity * numberOfChannels);
    std::array<const float*, AudioBuffer<float>::maxChannels> silenceChannels{};
    std::array<float*, AudioBuffer<float>::maxChannels> warmUpChannels{};
    for (unsigned c = 0; c < numberOfChannels; ++c) {
        silenceChannels[c] = silence.data();
        warmUpChannels[c] = warmUpOutput.data() + c * warmUpCapacity;
    }
    std::size_t framesOut = 0;
    std::size_t inputFrames = kWarmUpInnerFrames;
    std::size_t produced = 0;
    do {
        error = soxr_process(converter.get(), silenceChannels.data(), inputFrames, nullptr,
            warmUpChannels.data(), warmUpCapacity, &produced);
        if (error != nullptr) {
            Logger::error(
                std::string("[AudioGraphResampler] the converter failed while warming up: ") + error);
            converter.reset();
            outerSampleRate = 0;
            channels = 0;
            failedSampleRate = rate;
            failedChannels = numberOfChannels;
            return false;
        }
        framesOut += produced;
        inputFrames = 0; // what did not fit is drained by the next calls
    } while (produced == warmUpCapacity);

    // The next inner frame will come out after `lag` more output frames;
    // dropping the whole frames of it realigns output and inner signal.
    // Integer arithmetic keeps the whole-frame part exact.
    const std::uint64_t scaledIn = std::uint64_t(kWarmUpInnerFrames) * std::uint64_t(rate);
    const std::uint64_t wholeIn = scaledIn / std::uint64_t(innerSampleRate);
    const double fraction = double(scaledIn % std::uint64_t(innerSampleRate)) / innerSampleRate;
    const double lag = (double(wholeIn) - double(framesOut)) + fraction;
    const double whole = std::floor(std::max(0.0, lag) + kFrameEpsilon);
    framesToSkip = static_cast<std::size_t>(whole);
    latencyFrames = std::max(0.0, lag - whole);
    failedSampleRate = 0;
    failedChannels = 0;
    return true;
}

bool AudioGraphResampler::Impl::runConverter(bool withInput)
{
    std::size_t produced = 0;
    const soxr_error_t error = soxr_process(converter.get(), innerChannels.data(),
        withInput ? static_cast<std::size_t>(innerBlockSize) : 0, nullptr, convertedChannels.data(),
        convertedCapacity, &produced);
    if (error != nullptr) {
        return false;
    }
    convertedFrames = produced;
    convertedPosition = 0;
    converterMayHoldMore = produced == convertedCapacity;
    return true;
}

// Serves the output block from converted frames, running the callback and the
// converter whenever they run out. No allocation, no lock.
bool AudioGraphResampler::Impl::fill(AudioBuffer<float>& out)
{
    const std::size_t frames = out.getNumberOfFrames();
    std::size_t filled = 0;
    while (filled < frames) {
        if (convertedPosition < convertedFrames) {
            const std::size_t available = convertedFrames - convertedPosition;
            if (framesToSkip > 0) {
                const std::size_t k = std::min(available, framesToSkip);
                framesToSkip -= k;
                convertedPosition += k;
                continue;
            }
            const std::size_t k = std::min(available, frames - filled);
            for (unsigned c = 0; c < channels; ++c) {
                std::copy_n(convertedChannels[c] + convertedPosition, k, out.getWritePointer(c) + filled);
            }
            convertedPosition += k;
            filled += k;
            continue;
        }
        if (converterMayHoldMore) {
            if (!runConverter(false)) {
                return false;
            }
            continue;
        }
        std::fill(innerStorage.begin(), innerStorage.end(), 0.0f);
        innerBuffer.setNumberOfFrames(static_cast<unsigned>(innerBlockSize));
        innerBuffer.setSampleRate(innerSampleRate);
        innerOutputs.getBus(0).setBuffer(&innerBuffer);
        if (!callback(innerInputs, innerOutputs)) {
            return false;
        }
        if (!runConverter(true)) {
            return false;
        }
    }
    return true;
}

AudioGraphResampler::AudioGraphResampler(int innerSampleRate, int innerBlockSize)
{
    if (innerSampleRate <= 0 || innerBlockSize <= 0) {
        throw std::invalid_argument("AudioGraphResampler: inner rate and block size must be positive");
    }
    impl = std::make_unique<Impl>(innerSampleRate, innerBlockSize);
}

AudioGraphResampler::~AudioGraphResampler() = default;

void AudioGraphResampler::setNumberOfBuses(unsigned inputs, unsigned outputs)
{
    if (inputs != 0 || outputs > 1) {
        throw std::invalid_argument("AudioGraphResampler: supports 0 input buses and 0 or 1 output bus");
    }
    impl->inputBusCount = inputs;
    impl->outputBusCount = outputs;
}

void AudioGraphResampler::setProcessCallback(ProcessCallback callback)
{
    impl->callback = std::move(callback);
}

bool AudioGraphResampler::process(AudioBusList& inputs, AudioBusList& outputs)
{
    (void)inputs; // no input buses yet
    if (outputs.getNumberOfBuses() == 0) {
        return false;
    }
    AudioBus& bus = outputs.getBus(0);
    AudioBuffer<float>* out = bus.getBuffer();
    if (out == nullptr) {
        return false;
    }
    if (!impl->callback || impl->outputBusCount == 0) {
        out->clear();
        return false;
    }
    const int rate = out->getSampleRate() > 0 ? out->getSampleRate() : bus.getFormat().getSampleRate();
    const unsigned numberOfChannels = out->getNumberOfChannels();
    if (rate != impl->outerSampleRate || numberOfChannels != impl->channels) {
        const bool knownFailure = rate == impl->failedSampleRate && numberOfChannels == impl->failedChannels;
        if (knownFailure || !impl->configure(rate, numberOfChannels)) {
            out->clear();
            return false;
        }
    }
    if (!impl->fill(*out)) {
        out->clear();
        return false;
    }
    return true;
}

void AudioGraphResampler::prepare(int outerSampleRate, unsigned numberOfChannels)
{
    if (outerSampleRate != impl->outerSampleRate || numberOfChannels != impl->channels) {
        impl->configure(outerSampleRate, numberOfChannels);
    }
}

int AudioGraphResampler::getInnerSampleRate() const
{
    return impl->innerSampleRate;
}

int AudioGraphResampler::getInnerBlockSize() const
{
    return impl->innerBlockSize;
}

double AudioGraphResampler::getLatencyFrames() const
{
    return impl->latencyFrames;
}

void AudioGraphResampler::reset()
{
    if (impl->outerSampleRate > 0) {
        impl->configure(impl->outerSampleRate, impl->channels);
    }
}

} // namespace ombrix
