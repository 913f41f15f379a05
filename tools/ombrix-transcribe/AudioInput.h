#pragma once

// The input of ombrix-transcribe: an audio file, a WAV stream on standard input, or raw
// interleaved samples on standard input, read piece by piece and mixed down to mono.
//
// Files that start with "RIFF" and WAV streams are read by the WAV reader below, which
// checks every header field and needs no seeking (a pipe cannot seek); every other file
// goes to libsndfile (FLAC, Ogg/Vorbis, Opus, MP3, AIFF, ...).
//
// WAV: RIFF/WAVE with integer PCM of 8, 16, 24 or 32 bits or IEEE float of 32 or 64 bits
// (also in WAVE_FORMAT_EXTENSIBLE), any channel count up to kMaxInputChannels. A data size
// of 0 or 0xFFFFFFFF (what streaming writers leave) means "up to the end of the input".
// A regular file whose data chunk declares more bytes than the file holds is refused
// before anything is read; a stream that ends early is reported when it ends. A second
// format chunk, a rate of 0 or above INT_MAX, and samples that are NaN or infinite are
// refused (InputError).
//
// Mixdown: the mean of the channels, so a signal present on both channels of a stereo
// file keeps its level.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// libsndfile's handle (SNDFILE).
struct sf_private_tag;

namespace ombrix::tools {

/// Unreadable input; the message says why, naming the input.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr unsigned kMaxInputChannels = 64;

enum class RawFormat { S16, F32 };

class AudioInput {
public:
    /// Opens a WAV file, or standard input for "-", and reads its header. Throws InputError.
    static std::unique_ptr<AudioInput> openWav(const std::string& path);
    /// Opens an audio file: a RIFF file with openWav(), anything else with libsndfile;
    /// "-" is a WAV stream on standard input. Throws InputError.
    static std::unique_ptr<AudioInput> openFile(const std::string& path);
    /// Raw little-endian interleaved samples on standard input. Throws InputError.
    static std::unique_ptr<AudioInput> openRaw(int sampleRate, unsigned channels, RawFormat format);

    ~AudioInput();
    AudioInput(const AudioInput&) = delete;
    AudioInput& operator=(const AudioInput&) = delete;

    int getSampleRate() const { return sampleRate; }
    unsigned getNumberOfChannels() const { return channels; }
    /// Frames the input declares, when it declares them (a WAV with a data size).
    std::optional<std::uint64_t> getDeclaredFrames() const { return declaredFrames; }
    /// "16-bit PCM", "32-bit float", ...
    std::string describeFormat() const;
    const std::string& getName() const { return name; }

    /// Reads up to `frames` frames, mixed down to mono, into `mono`. Returns the frames
    /// read; 0 at the end. Throws InputError when the input ends before its declared size
    /// or in the middle of a frame, or cannot be read.
    std::size_t readMono(float* mono, std::size_t frames);

private:
    enum class Encoding { Unsigned8, Signed16, Signed24, Signed32, Float32, Float64 };

    AudioInput() = default;
    void readWavHeader();
    /// Reads exactly `size` bytes unless the input ends; returns the bytes read.
    std::size_t readBytes(unsigned char* to, std::size_t size);
    float decodeSample(const unsigned char* at) const;
    static std::unique_ptr<AudioInput> openSoundFile(const std::string& path);
    std::size_t readSoundFile(float* mono, std::size_t frames);

    std::string name;
    std::FILE* file = nullptr;
    bool ownsFile = false;
    int sampleRate = 0;
    unsigned channels = 0;
    Encoding encoding = Encoding::Signed16;
    unsigned bytesPerSample = 2;
    std::optional<std::uint64_t> declaredFrames;
    /// Data bytes still to come; nullopt: up to the end of the input.
    std::optional<std::uint64_t> remainingBytes;
    std::vector<unsigned char> raw;
    /// The libsndfile handle of a file not read by the WAV reader, and its format's name.
    sf_private_tag* sound = nullptr;
    std::string soundFormat;
    std::vector<float> soundSamples;
    /// Frames returned by readMono() so far.
    std::uint64_t framesDelivered = 0;
};

} // namespace ombrix::tools
