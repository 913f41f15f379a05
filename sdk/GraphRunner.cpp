#include "host/GraphRunner.h"

#include <array>
#include <stdexcept>

namespace ombrix {

struct GraphRunner::Impl {
    Impl(int rate, unsigned numberOfChannels, unsigned frames)
        : sampleRate(rate)
        , channels(numberOfChannels)
        , blockSize(frames)
        , storage(std::size_t(numberOfChannels) * frames, 0.0f)
        , buses(AudioBusFormat(rate, numberOfChannels))
    {
        std::array<float*, AudioBuffer<float>::maxChannels> pointers{};
        for (unsigned c = 0; c < numberOfChannels; ++c) {
            pointers[c] = storage.data() + std::size_t(c) * frames;
        }
        buffer = AudioBuffer<float>(pointers.data(), numberOfChannels, frames, true, rate);
        buses.getBus(0).setBuffer(&buffer);
    }

    const int sampleRate;
    const unsigned channels;
    const unsigned blockSize;
    std::vector<float> storage;
    AudioBuffer<float> buffer;
    AudioBusArray<1> buses;
    SingleBusAudioSourceNode* source = nullptr;
    SingleBusAudioSinkNode* sink = nullptr;
    bool running = false;
    std::uint64_t framesProcessed = 0;
};

GraphRunner::GraphRunner(int sampleRate, unsigned numberOfChannels, unsigned blockSize)
{
    if (sampleRate <= 0 || numberOfChannels == 0 || numberOfChannels > AudioBuffer<float>::maxChannels
        || blockSize == 0) {
        throw std::invalid_argument("GraphRunner: rate, channels (1 to 8) and block size must be positive");
    }
    impl = std::make_unique<Impl>(sampleRate, numberOfChannels, blockSize);
}

// The nodes are not owned and may already be gone: the destructor does not
// touch them (call stop() first to give them onGraphStop).
GraphRunner::~GraphRunner() = default;

void GraphRunner::setSource(SingleBusAudioSourceNode* source)
{
    if (impl->running) {
        throw std::logic_error("GraphRunner: nodes can only be changed while stopped");
    }
    impl->source = source;
}

void GraphRunner::setSink(SingleBusAudioSinkNode* sink)
{
    if (impl->running) {
        throw std::logic_error("GraphRunner: nodes can only be changed while stopped");
    }
    impl->sink = sink;
}

bool GraphRunner::start()
{
    if (impl->running) {
        return true;
    }
    // Each node gets its own copy of the graph's format: the graph's format is
    // fixed, whatever a node does with the one it is handed.
    if (impl->source != nullptr) {
        AudioBusFormatArray<1> formats(AudioBusFormat(impl->sampleRate, impl->channels));
        if (!impl->source->setBusFormats(formats)) {
            return false;
        }
    }
    if (impl->sink != nullptr) {
        AudioBusFormatArray<1> formats(AudioBusFormat(impl->sampleRate, impl->channels));
        if (!impl->sink->setBusFormats(formats)) {
            return false;
        }
    }
    if (impl->source != nullptr) {
        impl->source->onGraphStart();
    }
    if (impl->sink != nullptr) {
        impl->sink->onGraphStart();
    }
    impl->running = true;
    return true;
}

const AudioBuffer<float>& GraphRunner::processBlock()
{
    if (!impl->running && !start()) {
        throw std::runtime_error("GraphRunner: a node refused the graph's bus format");
    }
    impl->buffer.setNumberOfFrames(impl->blockSize);
    impl->buffer.setSampleRate(impl->sampleRate);
    AudioBus& bus = impl->buses.getBus(0);
    bus.setBuffer(&impl->buffer);
    bus.clear();
    if (impl->source != nullptr) {
        impl->source->produce(impl->buses);
    }
    if (impl->sink != nullptr) {
        impl->sink->consume(impl->buses);
    }
    impl->framesProcessed += impl->blockSize;
    return impl->buffer;
}

void GraphRunner::stop()
{
    if (!impl->running) {
        return;
    }
    impl->running = false;
    if (impl->source != nullptr) {
        impl->source->onGraphStop();
    }
    if (impl->sink != nullptr) {
        impl->sink->onGraphStop();
    }
}

int GraphRunner::getSampleRate() const
{
    return impl->sampleRate;
}

unsigned GraphRunner::getNumberOfChannels() const
{
    return impl->channels;
}

unsigned GraphRunner::getBlockSize() const
{
    return impl->blockSize;
}

std::uint64_t GraphRunner::getFramesProcessed() const
{
    return impl->framesProcessed;
}

double GraphRunner::getSecondsProcessed() const
{
    return static_cast<double>(impl->framesProcessed) / impl->sampleRate;
}

} // namespace ombrix
