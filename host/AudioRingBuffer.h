#pragma once

#include <memory>
#include <vector>

#include "AudioBuffer.h"
#include "OmbrixExport.h"

namespace ombrix {
namespace audio {
template <typename T>
class RingBuffer;
}

template <typename T>
class AudioRingBuffer;

// Multichannel single-producer single-consumer ring: one lock-free ring per
// channel, all of the same capacity. Nothing allocates after construction.
// produce/consume move whole blocks; callers ask the counts first and stay
// within them.
template <>
class OMBRIX_SDK_API AudioRingBuffer<float> {
public:
    // zeroFill: when true the storage is zeroed at construction.
    AudioRingBuffer(unsigned capacityFrames, unsigned numberOfChannels, bool zeroFill);
    ~AudioRingBuffer();
    AudioRingBuffer(const AudioRingBuffer&) = delete;
    AudioRingBuffer& operator=(const AudioRingBuffer&) = delete;

    unsigned getCapacity() const;
    unsigned getNumberOfChannels() const;

    // Producer side.
    unsigned getAvailableFramesToProduce() const;
    // Copies numberOfFrames frames of each channel of source (channels beyond
    // the source's count receive silence).
    void produce(const AudioBuffer<float>& source, unsigned numberOfFrames);

    // Consumer side.
    unsigned getAvailableFramesToConsume() const;
    void consume(AudioBuffer<float>& destination, unsigned numberOfFrames);

    // Only while neither side is running.
    void clear();

private:
    unsigned capacity;
    std::vector<std::unique_ptr<audio::RingBuffer<float>>> rings;
    std::unique_ptr<float[]> silence;
};

} // namespace ombrix
