#pragma once

// Where ombrix-speak writes the graph's audio: a WAV file (WavWriter), or with
// --output-raw the bare samples as 16-bit little-endian PCM, interleaved, converted from
// float exactly as WavWriter converts them, for players that take raw PCM (aplay -t raw).
// To a file, or to standard output for "-".

#include "host/AudioBuffer.h"
#include "host/GraphRunner.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ombrix::speak {

class AudioOutput {
public:
    AudioOutput() = default;
    ~AudioOutput();
    AudioOutput(const AudioOutput&) = delete;
    AudioOutput& operator=(const AudioOutput&) = delete;

    /// Opens `path` ("-": standard output); tools::ToolError (kExitRuntime) "cannot write
    /// PATH: <reason>" when that fails. `format` is only used for a WAV file.
    void open(const std::string& path, int sampleRate, unsigned channels, ombrix::WavWriter::Format format,
        bool raw);
    /// Appends one block; false with errno set when it could not be written. Allocates
    /// once per block size.
    bool write(const ombrix::AudioBuffer<float>& buffer);
    /// Flushes and closes (a WAV file gets its sizes); false when that failed.
    bool close();
    std::uint64_t getFramesWritten() const;

private:
    ombrix::WavWriter wav;
    bool raw = false;
    std::FILE* rawFile = nullptr;
    bool ownsRawFile = false;
    unsigned rawChannels = 0;
    std::uint64_t rawFrames = 0;
    std::vector<unsigned char> scratch; // one block, interleaved, as written
};

} // namespace ombrix::speak
