#include "host/AudioRingBuffer.h"

#include <algorithm>
#include <limits>

#include "utils/RingBuffer.h"

namespace ombrix {

AudioRingBuffer<float>::AudioRingBuffer(unsigned capacityFrames, unsigned numberOfChannels, bool zeroFill)
    : capacity(capacityFrames)
    , silence(std::make_unique<float[]>(capacityFrames))
{
    rings.reserve(numberOfChannels);
    for (unsigned c = 0; c < numberOfChannels; ++c) {
        rings.push_back(std::make_unique<audio::RingBuffer<float>>(capacityFrames));
        if (zeroFill) {
            // A fresh ring writes from the start of its capacity + 1 slots.
            std::fill_n(rings.back()->getWritePointer(), std::size_t(capacityFrames) + 1, 0.0f);
        }
    }
}

AudioRingBuffer<float>::~AudioRingBuffer() = default;

unsigned AudioRingBuffer<float>::getCapacity() const
{
    return capacity;
}

unsigned AudioRingBuffer<float>::getNumberOfChannels() const
{
    return static_cast<unsigned>(rings.size());
}

// The channels are written one after the other, so while a transfer is under
// way the channels disagree; both counts therefore take the most conservative
// channel, which makes a whole-block transfer always safe for the other side.

unsigned AudioRingBuffer<float>::getAvailableFramesToProduce() const
{
    if (rings.empty()) {
        return 0;
    }
    unsigned frames = std::numeric_limits<unsigned>::max();
    for (const auto& ring : rings) {
        frames = std::min<unsigned>(frames, ring->getAvailableItemsToProduce());
    }
    return frames;
}

unsigned AudioRingBuffer<float>::getAvailableFramesToConsume() const
{
    if (rings.empty()) {
        return 0;
    }
    unsigned frames = std::numeric_limits<unsigned>::max();
    for (const auto& ring : rings) {
        frames = std::min<unsigned>(frames, ring->getAvailableItemsToConsume());
    }
    return frames;
}

void AudioRingBuffer<float>::produce(const AudioBuffer<float>& source, unsigned numberOfFrames)
{
    // Never read past the source or the silence block, whatever the caller asks.
    const unsigned frames = std::min({numberOfFrames, source.getNumberOfFrames(), capacity});
    for (unsigned c = 0; c < rings.size(); ++c) {
        const float* samples = c < source.getNumberOfChannels() ? source.getReadPointer(c) : silence.get();
        rings[c]->produce(samples, frames);
    }
}

void AudioRingBuffer<float>::consume(AudioBuffer<float>& destination, unsigned numberOfFrames)
{
    const unsigned frames = std::min({numberOfFrames, destination.getNumberOfFrames(), capacity});
    for (unsigned c = 0; c < rings.size(); ++c) {
        if (c < destination.getNumberOfChannels()) {
            rings[c]->consume(destination.getWritePointer(c), frames);
        } else {
            rings[c]->discard(frames);
        }
    }
    // Destination channels the ring does not have receive silence.
    for (unsigned c = static_cast<unsigned>(rings.size()); c < destination.getNumberOfChannels(); ++c) {
        std::fill_n(destination.getWritePointer(c), frames, 0.0f);
    }
}

void AudioRingBuffer<float>::clear()
{
    for (const auto& ring : rings) {
        ring->clear();
    }
}

} // namespace ombrix
