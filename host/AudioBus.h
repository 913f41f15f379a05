#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>

#include "AudioBuffer.h"

namespace ombrix {

// Sample rate and channel count of one bus. Default: 48000 Hz, 2 channels.
class AudioBusFormat {
public:
    AudioBusFormat() = default;
    AudioBusFormat(int sampleRate, unsigned numberOfChannels)
        : rate(sampleRate)
        , channels(numberOfChannels)
    {
    }

    int getSampleRate() const { return rate; }
    unsigned getNumberOfChannels() const { return channels; }
    void setSampleRate(int sampleRate) { rate = sampleRate; }
    void setNumberOfChannels(unsigned numberOfChannels) { channels = numberOfChannels; }

    bool operator==(const AudioBusFormat&) const = default;

private:
    int rate = 48000;
    unsigned channels = 2;
};

// One bus of a node: its format and the buffer (owned elsewhere) that carries
// the current block.
class AudioBus {
public:
    AudioBus() = default;
    explicit AudioBus(const AudioBusFormat& busFormat)
        : format(busFormat)
    {
    }

    AudioBuffer<float>* getBuffer() const { return buffer; }
    void setBuffer(AudioBuffer<float>* newBuffer) { buffer = newBuffer; }

    const AudioBusFormat& getFormat() const { return format; }
    void setFormat(const AudioBusFormat& busFormat) { format = busFormat; }

    // Zeroes every channel of the buffer, if there is one.
    void clear()
    {
        if (buffer != nullptr) {
            buffer->clear();
        }
    }

private:
    AudioBusFormat format;
    AudioBuffer<float>* buffer = nullptr;
};

// View of a fixed number of buses. getBus throws std::out_of_range for an
// index at or beyond the count.
class AudioBusList {
public:
    unsigned getNumberOfBuses() const { return count; }
    AudioBus& getBus(unsigned index)
    {
        if (index >= count) {
            throw std::out_of_range("AudioBusList: bus index out of range");
        }
        return buses[index];
    }

protected:
    AudioBusList(AudioBus* busArray, unsigned busCount)
        : buses(busArray)
        , count(busCount)
    {
    }
    AudioBusList(const AudioBusList&) = delete;
    AudioBusList& operator=(const AudioBusList&) = delete;

private:
    AudioBus* buses;
    unsigned count;
};

namespace detail {
// Holds the elements of a fixed list in a base class that is constructed before
// the list view, so that the view is handed storage that already exists.
template <typename T, std::size_t N>
struct FixedStorage {
    std::array<T, N> storage{};
};
} // namespace detail

template <std::size_t N>
class AudioBusArray : private detail::FixedStorage<AudioBus, N>, public AudioBusList {
public:
    explicit AudioBusArray(const AudioBusFormat& format = AudioBusFormat())
        : AudioBusList(this->storage.data(), static_cast<unsigned>(N))
    {
        for (auto& bus : this->storage) {
            bus.setFormat(format);
        }
    }
};

class AudioBusFormatList {
public:
    unsigned getNumberOfFormats() const { return count; }
    AudioBusFormat& getFormat(unsigned index)
    {
        if (index >= count) {
            throw std::out_of_range("AudioBusFormatList: format index out of range");
        }
        return formats[index];
    }

protected:
    AudioBusFormatList(AudioBusFormat* formatArray, unsigned formatCount)
        : formats(formatArray)
        , count(formatCount)
    {
    }
    AudioBusFormatList(const AudioBusFormatList&) = delete;
    AudioBusFormatList& operator=(const AudioBusFormatList&) = delete;

private:
    AudioBusFormat* formats;
    unsigned count;
};

template <std::size_t N>
class AudioBusFormatArray : private detail::FixedStorage<AudioBusFormat, N>, public AudioBusFormatList {
public:
    explicit AudioBusFormatArray(const AudioBusFormat& format = AudioBusFormat())
        : AudioBusFormatList(this->storage.data(), static_cast<unsigned>(N))
    {
        this->storage.fill(format);
    }
};

} // namespace ombrix
