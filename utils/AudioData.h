#pragma once

#include "utils/BufferAllocator.h"

#include <cstdint>
#include <cstdlib>
#include <new>

namespace ombrix::buffer {

/**
 * Owns the sample memory of a multichannel block of fixed size: one zero-filled,
 * 16-byte-aligned planar block (channel after channel) plus an array of per-channel
 * pointers into it, ready to be wrapped by audio-buffer views.
 *
 * Channel c starts at getBuffer() + c * getMaxNumberOfFrames(). Only the block start is
 * guaranteed 16-byte aligned; a channel start is aligned when frames * sizeof(T) is a
 * multiple of 16.
 *
 * Construction allocates (not for the audio thread) and throws std::length_error when
 * the block's byte count does not fit in 32 bits, std::bad_alloc when the channel
 * pointer array cannot be allocated; if the sample block itself cannot be allocated the
 * process aborts (see BufferAllocator). Neither copyable nor movable: the object owns its
 * memory and views may hold pointers into it.
 */
template <typename T>
class AudioData {
public:
    AudioData(uint32_t numberOfChannels, uint32_t numberOfFrames)
        : numberOfChannels(numberOfChannels)
        , numberOfFrames(numberOfFrames)
    {
        BufferAllocator::allocateBuffer<T>(&buffer, numberOfFrames, numberOfChannels);
        buffers = static_cast<T**>(std::malloc(numberOfChannels * sizeof(T*)));
        if (buffers == nullptr && numberOfChannels > 0) {
            std::free(buffer);
            throw std::bad_alloc();
        }
        for (uint32_t c = 0; c < numberOfChannels; ++c) {
            buffers[c] = buffer + c * numberOfFrames; // fits: the whole block's size fits in 32 bits
        }
    }

    ~AudioData()
    {
        std::free(buffer);
        std::free(buffers);
    }

    AudioData(const AudioData&) = delete;
    AudioData& operator=(const AudioData&) = delete;
    AudioData(AudioData&&) = delete;
    AudioData& operator=(AudioData&&) = delete;

    /// The whole planar block.
    T* getBuffer() { return buffer; }
    /// Array of getMaxNumberOfChannels() channel pointers into getBuffer().
    T** getBuffers() { return buffers; }

    uint32_t getMaxNumberOfChannels() const { return numberOfChannels; }
    uint32_t getMaxNumberOfFrames() const { return numberOfFrames; }

private:
    uint32_t numberOfChannels;
    uint32_t numberOfFrames;
    T* buffer = nullptr;
    T** buffers = nullptr;
};

} // namespace ombrix::buffer
