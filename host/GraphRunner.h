#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "AudioBuffer.h"
#include "Node.h"
#include "OmbrixExport.h"

namespace ombrix {

// Minimal graph for tools and tests: one source node, an optional sink node,
// run block by block at a chosen rate, channel count and block size. The
// caller's thread is the graph's audio thread. Nodes are not owned.
class OMBRIX_SDK_API GraphRunner {
public:
    GraphRunner(int sampleRate, unsigned numberOfChannels, unsigned blockSize);
    ~GraphRunner();
    GraphRunner(const GraphRunner&) = delete;
    GraphRunner& operator=(const GraphRunner&) = delete;

    void setSource(SingleBusAudioSourceNode* source);
    // The sink receives each block exactly as the source produced it.
    void setSink(SingleBusAudioSinkNode* sink);

    // Sets bus formats on the nodes (false if a node refuses) and calls onGraphStart.
    bool start();
    // Pulls one block from the source, passes it to the sink, and returns it.
    // Valid until the next call. Calls start() first if needed.
    const AudioBuffer<float>& processBlock();
    // Calls onGraphStop on the nodes.
    void stop();

    int getSampleRate() const;
    unsigned getNumberOfChannels() const;
    unsigned getBlockSize() const;
    // The graph clock: frames processed since construction.
    std::uint64_t getFramesProcessed() const;
    double getSecondsProcessed() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

// WAV files: 16-bit PCM or 32-bit float, interleaved on disk, planar in memory.
class OMBRIX_SDK_API WavWriter {
public:
    enum class Format { Pcm16, Float32 };

    WavWriter();
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(
        const std::string& path, int sampleRate, unsigned numberOfChannels, Format format = Format::Pcm16);
    // Writes to a stream the caller owns (standard output, a pipe); close() flushes it but
    // does not close it. A stream that cannot be rewound keeps the unknown-size marker
    // 0xFFFFFFFF in its RIFF and data sizes, as streaming tools write them.
    bool open(std::FILE* stream, int sampleRate, unsigned numberOfChannels, Format format = Format::Pcm16);
    // Writes all frames of the buffer (its channel count must match).
    bool write(const AudioBuffer<float>& buffer);
    // Finalises the header; called by the destructor if needed.
    bool close();
    std::uint64_t getFramesWritten() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

struct WavData {
    int sampleRate = 0;
    unsigned numberOfChannels = 0;
    unsigned bitsPerSample = 0;
    bool isFloat = false;
    std::vector<std::vector<float>> channels; // planar samples in [-1, 1]
};

// Reads a WAV file written by WavWriter (PCM16 or float32); false on any error.
OMBRIX_SDK_API bool readWav(const std::string& path, WavData& data, std::string* error = nullptr);

} // namespace ombrix
