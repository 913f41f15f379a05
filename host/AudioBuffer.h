#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "OmbrixExport.h"

namespace ombrix {

// Non-owning planar view of caller-owned channel arrays, with its sample rate.
// The caller keeps the channel arrays alive and unchanged in count while the
// view is used. No operation allocates.
template <typename T>
class AudioBuffer {
public:
    static constexpr unsigned maxChannels = 8;

    AudioBuffer() = default;

    // channels: numberOfChannels pointers to numberOfFrames samples each.
    // clear: when true the wrapped samples are set to zero.
    AudioBuffer(
        T* const* channels, unsigned numberOfChannels, unsigned numberOfFrames, bool clear, int sampleRate)
        : channelCount(numberOfChannels)
        , frameCount(numberOfFrames)
        , rate(sampleRate)
    {
        if (numberOfChannels > maxChannels) {
            throw std::invalid_argument("AudioBuffer supports at most 8 channels");
        }
        for (unsigned c = 0; c < numberOfChannels; ++c) {
            data[c] = channels[c];
        }
        if (clear) {
            this->clear();
        }
    }

    unsigned getNumberOfChannels() const { return channelCount; }
    unsigned getNumberOfFrames() const { return frameCount; }
    int getSampleRate() const { return rate; }
    void setSampleRate(int sampleRate) { rate = sampleRate; }

    // Shrinks (or restores, up to the frames the arrays hold) the visible frame
    // count; the caller guarantees the arrays are large enough.
    void setNumberOfFrames(unsigned numberOfFrames) { frameCount = numberOfFrames; }

    const T* getReadPointer(unsigned channel) const { return data[channel]; }
    T* getWritePointer(unsigned channel) { return data[channel]; }

    void clear()
    {
        for (unsigned c = 0; c < channelCount; ++c) {
            std::fill_n(data[c], frameCount, T{});
        }
    }

    // Copies min(frames) of every common channel from source.
    void copyFrom(const AudioBuffer& source)
    {
        const unsigned frames = std::min(frameCount, source.frameCount);
        const unsigned channels = std::min(channelCount, source.channelCount);
        for (unsigned c = 0; c < channels; ++c) {
            std::memmove(data[c], source.data[c], frames * sizeof(T));
        }
    }

private:
    std::array<T*, maxChannels> data{};
    unsigned channelCount = 0;
    unsigned frameCount = 0;
    int rate = 0;
};

} // namespace ombrix
