#include "AudioInput.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

namespace ombrix::tools {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
constexpr std::uint32_t kSizeUnknown = 0xFFFFFFFFu;
constexpr std::uint32_t kMinimumFormatChunk = 16;
constexpr std::uint32_t kExtensibleFormatChunk = 26;
constexpr std::size_t kMaxFormatChunk = 4096;
// Chunks other than "fmt " and "data" are skipped by reading them (a pipe cannot seek).
constexpr std::size_t kSkipChunkBytes = 65536;

std::uint16_t get16(const unsigned char* at)
{
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

std::uint32_t get32(const unsigned char* at)
{
    return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8)
        | (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24);
}

std::string printable(const unsigned char* bytes, std::size_t size)
{
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] >= 0x20 && bytes[i] < 0x7F) {
            text += static_cast<char>(bytes[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[i]);
            text += escaped;
        }
    }
    return text;
}

} // namespace

AudioInput::~AudioInput()
{
    if (sound != nullptr) {
        sf_close(sound);
    }
    if (ownsFile && file != nullptr) {
        std::fclose(file);
    }
}

std::unique_ptr<AudioInput> AudioInput::openWav(const std::string& path)
{
    std::unique_ptr<AudioInput> input(new AudioInput());
    if (path == "-") {
        input->name = "standard input";
        input->file = stdin;
    } else {
        input->name = path;
        input->file = std::fopen(path.c_str(), "rb");
        if (input->file == nullptr) {
            throw InputError("cannot open " + path + ": " + std::strerror(errno));
        }
        input->ownsFile = true;
        struct stat status { };
        if (::fstat(::fileno(input->file), &status) == 0 && S_ISDIR(status.st_mode)) {
            throw InputError(path + " is a directory, not a WAV file");
        }
    }
    input->readWavHeader();
    return input;
}

std::unique_ptr<AudioInput> AudioInput::openFile(const std::string& path)
{
    if (path == "-") {
        return openWav(path);
    }
    // What cannot be opened, directories and RIFF files: the WAV reader says why.
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (probe == nullptr) {
        return openWav(path);
    }
    char magic[4] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, probe);
    struct stat status { };
    const bool directory = ::fstat(::fileno(probe), &status) == 0 && S_ISDIR(status.st_mode);
    std::fclose(probe);
    if (directory || got < sizeof magic || std::memcmp(magic, "RIFF", 4) == 0) {
        return openWav(path);
    }
    return openSoundFile(path);
}

std::unique_ptr<AudioInput> AudioInput::openSoundFile(const std::string& path)
{
    std::unique_ptr<AudioInput> input(new AudioInput());
    input->name = path;
    SF_INFO info{};
    input->sound = sf_open(path.c_str(), SFM_READ, &info);
    if (input->sound == nullptr) {
        throw InputError(path + " is not a WAV file, nor in another format libsndfile reads ("
            + sf_strerror(nullptr) + ")");
    }
    if (info.samplerate <= 0) {
        throw InputError(path + " declares a sample rate of " + std::to_string(info.samplerate) + " Hz");
    }
    if (info.channels <= 0 || static_cast<unsigned>(info.channels) > kMaxInputChannels) {
        throw InputError(path + " has " + std::to_string(info.channels)
            + " channels; this program reads 1 to " + std::to_string(kMaxInputChannels));
    }
    input->sampleRate = info.samplerate;
    input->channels = static_cast<unsigned>(info.channels);
    if (info.frames > 0) {
        input->declaredFrames = static_cast<std::uint64_t>(info.frames);
    }
    SF_FORMAT_INFO major{};
    major.format = info.format & SF_FORMAT_TYPEMASK;
    SF_FORMAT_INFO minor{};
    minor.format = info.format & SF_FORMAT_SUBMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &major, sizeof major) == 0 && major.name != nullptr) {
        input->soundFormat = major.name;
    }
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &minor, sizeof minor) == 0 && minor.name != nullptr) {
        input->soundFormat += (input->soundFormat.empty() ? "" : ", ") + std::string(minor.name);
    }
    if (input->soundFormat.empty()) {
        char code[32];
        std::snprintf(code, sizeof code, "libsndfile format 0x%06X", static_cast<unsigned>(info.format));
        input->soundFormat = code;
    }
    return input;
}

std::size_t AudioInput::readSoundFile(float* mono, std::size_t frames)
{
    soundSamples.resize(frames * channels);
    const sf_count_t got = sf_readf_float(sound, soundSamples.data(), static_cast<sf_count_t>(frames));
    if (got < 0 || sf_error(sound) != SF_ERR_NO_ERROR) {
        throw InputError("cannot read " + name + ": " + sf_strerror(sound));
    }
    const auto framesRead = static_cast<std::size_t>(got);
    const float scale = 1.0f / static_cast<float>(channels);
    for (std::size_t frame = 0; frame < framesRead; ++frame) {
        float sum = 0.0f;
        for (unsigned channel = 0; channel < channels; ++channel) {
            sum += soundSamples[frame * channels + channel];
        }
        if (!std::isfinite(sum)) {
            throw InputError(name + " holds a sample that is not a finite number (NaN or infinity) in frame "
                + std::to_string(framesDelivered + frame));
        }
        mono[frame] = channels == 1 ? sum : sum * scale;
    }
    framesDelivered += framesRead;
    return framesRead;
}

std::unique_ptr<AudioInput> AudioInput::openRaw(int sampleRate, unsigned channels, RawFormat format)
{
    if (sampleRate <= 0 || channels == 0 || channels > kMaxInputChannels) {
        throw InputError("raw input needs a sample rate above 0 and 1 to " + std::to_string(kMaxInputChannels)
            + " channels");
    }
    std::unique_ptr<AudioInput> input(new AudioInput());
    input->name = "standard input";
    input->file = stdin;
    input->sampleRate = sampleRate;
    input->channels = channels;
    input->encoding = format == RawFormat::S16 ? Encoding::Signed16 : Encoding::Float32;
    input->bytesPerSample = format == RawFormat::S16 ? 2 : 4;
    return input;
}

std::size_t AudioInput::readBytes(unsigned char* to, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const std::size_t got = std::fread(to + done, 1, size - done, file);
        if (got == 0) {
            if (std::ferror(file)) {
                throw InputError("cannot read " + name + ": " + std::strerror(errno));
            }
            break;
        }
        done += got;
    }
    return done;
}

void AudioInput::readWavHeader()
{
    unsigned char riff[12];
    const std::size_t got = readBytes(riff, sizeof riff);
    if (got == 0) {
        throw InputError(name + " is empty, not a WAV file");
    }
    if (got < sizeof riff || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        throw InputError(name + " is not a WAV file: it starts with \"" + printable(riff, std::min(got, 12ul))
            + "\" instead of \"RIFF....WAVE\"");
    }

    std::uint16_t formatTag = 0;
    unsigned bitsPerSample = 0;
    bool haveFormat = false;
    std::uint32_t dataSize = 0;
    std::uint32_t declaredRate = 0;
    for (;;) {
        unsigned char chunk[8];
        if (readBytes(chunk, sizeof chunk) != sizeof chunk) {
            throw InputError(name + " is truncated: it ends before its data chunk"
                + std::string(haveFormat ? "" : " (and has no format chunk)"));
        }
        const std::uint32_t size = get32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                throw InputError(
                    name + " is not a usable WAV file: its data chunk comes before a format chunk");
            }
            dataSize = size;
            break;
        }
        const std::uint64_t padded = std::uint64_t(size) + (size & 1u); // chunks are padded to even sizes
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (haveFormat) {
                throw InputError(name
                    + " is not a usable WAV file: it has two format chunks, and which one"
                      " describes the data is unknown");
            }
            if (size < kMinimumFormatChunk || size > kMaxFormatChunk) {
                throw InputError(name + " has a malformed format chunk (" + std::to_string(size) + " bytes)");
            }
            std::vector<unsigned char> fmt(padded);
            if (readBytes(fmt.data(), fmt.size()) != fmt.size()) {
                throw InputError(name + " is truncated inside its format chunk");
            }
            formatTag = get16(fmt.data());
            channels = get16(fmt.data() + 2);
            declaredRate = get32(fmt.data() + 4);
            bitsPerSample = get16(fmt.data() + 14);
            if (formatTag == kFormatExtensible && size >= kExtensibleFormatChunk) {
                formatTag = get16(fmt.data() + 24); // first field of the sub-format GUID
            }
            haveFormat = true;
        } else {
            std::vector<unsigned char> skip(kSkipChunkBytes);
            for (std::uint64_t left = padded; left > 0;) {
                const std::size_t piece
                    = static_cast<std::size_t>(std::min<std::uint64_t>(left, skip.size()));
                if (readBytes(skip.data(), piece) != piece) {
                    throw InputError(name + " is truncated inside its \"" + printable(chunk, 4) + "\" chunk");
                }
                left -= piece;
            }
        }
    }

    if (formatTag == kFormatPcm && bitsPerSample == 8) {
        encoding = Encoding::Unsigned8;
    } else if (formatTag == kFormatPcm && bitsPerSample == 16) {
        encoding = Encoding::Signed16;
    } else if (formatTag == kFormatPcm && bitsPerSample == 24) {
        encoding = Encoding::Signed24;
    } else if (formatTag == kFormatPcm && bitsPerSample == 32) {
        encoding = Encoding::Signed32;
    } else if (formatTag == kFormatFloat && bitsPerSample == 32) {
        encoding = Encoding::Float32;
    } else if (formatTag == kFormatFloat && bitsPerSample == 64) {
        encoding = Encoding::Float64;
    } else {
        throw InputError(name + " has a sample format this tool cannot read (format tag "
            + std::to_string(formatTag) + ", " + std::to_string(bitsPerSample)
            + " bits; integer PCM of 8, 16, 24 or 32 bits and float of 32 or 64 bits are read)");
    }
    bytesPerSample = bitsPerSample / 8;
    // The field is unsigned 32-bit: printed as such, and only rates an int holds are used.
    if (channels == 0 || channels > kMaxInputChannels || declaredRate == 0
        || declaredRate > static_cast<std::uint32_t>(std::numeric_limits<int>::max())) {
        throw InputError(name + " declares " + std::to_string(channels) + " channels at "
            + std::to_string(declaredRate) + " Hz; 1 to " + std::to_string(kMaxInputChannels)
            + " channels at a rate from 1 to " + std::to_string(std::numeric_limits<int>::max())
            + " Hz are read");
    }
    sampleRate = static_cast<int>(declaredRate);

    const std::uint64_t frameBytes = std::uint64_t(bytesPerSample) * channels;
    if (dataSize != 0 && dataSize != kSizeUnknown) {
        if (dataSize % frameBytes != 0) {
            throw InputError(name + " is malformed: its data chunk of " + std::to_string(dataSize)
                + " bytes is not a whole number of " + std::to_string(frameBytes) + "-byte frames");
        }
        remainingBytes = dataSize;
        declaredFrames = dataSize / frameBytes;
        // A regular file can be measured now, before any audio is processed.
        struct stat status { };
        const long position = std::ftell(file);
        if (::fstat(::fileno(file), &status) == 0 && S_ISREG(status.st_mode) && position >= 0) {
            const std::uint64_t available = static_cast<std::uint64_t>(status.st_size)
                - std::min<std::uint64_t>(static_cast<std::uint64_t>(status.st_size), position);
            if (available < dataSize) {
                throw InputError(name + " is truncated: its data chunk declares " + std::to_string(dataSize)
                    + " bytes, but the file holds only " + std::to_string(available) + " after the header");
            }
        }
    }
}

std::string AudioInput::describeFormat() const
{
    if (sound != nullptr) {
        return soundFormat;
    }
    switch (encoding) {
    case Encoding::Unsigned8:
        return "8-bit PCM";
    case Encoding::Signed16:
        return "16-bit PCM";
    case Encoding::Signed24:
        return "24-bit PCM";
    case Encoding::Signed32:
        return "32-bit PCM";
    case Encoding::Float32:
        return "32-bit float";
    case Encoding::Float64:
        return "64-bit float";
    }
    return {};
}

float AudioInput::decodeSample(const unsigned char* at) const
{
    switch (encoding) {
    case Encoding::Unsigned8:
        return (static_cast<float>(at[0]) - 128.0f) / 128.0f;
    case Encoding::Signed16:
        return static_cast<float>(static_cast<std::int16_t>(get16(at))) / 32768.0f;
    case Encoding::Signed24: {
        const std::int32_t value = static_cast<std::int32_t>((std::uint32_t(at[0]) << 8)
                                       | (std::uint32_t(at[1]) << 16) | (std::uint32_t(at[2]) << 24))
            >> 8;
        return static_cast<float>(value) / 8388608.0f;
    }
    case Encoding::Signed32:
        return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(get32(at))) / 2147483648.0);
    case Encoding::Float32: {
        const std::uint32_t bits = get32(at);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    case Encoding::Float64: {
        const std::uint64_t bits = std::uint64_t(get32(at)) | (std::uint64_t(get32(at + 4)) << 32);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return static_cast<float>(value);
    }
    }
    return 0.0f;
}

std::size_t AudioInput::readMono(float* mono, std::size_t frames)
{
    if (sound != nullptr) {
        return readSoundFile(mono, frames);
    }
    const std::size_t frameBytes = std::size_t(bytesPerSample) * channels;
    std::uint64_t wanted = std::uint64_t(frames) * frameBytes;
    if (remainingBytes) {
        wanted = std::min(wanted, *remainingBytes);
    }
    if (wanted == 0) {
        return 0;
    }
    raw.resize(static_cast<std::size_t>(wanted));
    const std::size_t got = readBytes(raw.data(), raw.size());
    if (remainingBytes) {
        *remainingBytes -= got;
        if (got < wanted) {
            throw InputError(name + " is truncated: its data chunk declares "
                + std::to_string(*declaredFrames * frameBytes) + " bytes, but the input ends "
                + std::to_string(*remainingBytes) + " bytes short of that");
        }
    } else if (got % frameBytes != 0) {
        throw InputError(name + " ends in the middle of a frame (" + std::to_string(got % frameBytes)
            + " bytes of a " + std::to_string(frameBytes) + "-byte frame)");
    }
    const std::size_t framesRead = got / frameBytes;
    const float scale = 1.0f / static_cast<float>(channels);
    for (std::size_t frame = 0; frame < framesRead; ++frame) {
        const unsigned char* at = raw.data() + frame * frameBytes;
        float sum = 0.0f;
        for (unsigned channel = 0; channel < channels; ++channel) {
            sum += decodeSample(at + std::size_t(channel) * bytesPerSample);
        }
        // NaN or infinity would pass through the recogniser silently and give no text.
        if (!std::isfinite(sum)) {
            throw InputError(name + " holds a sample that is not a finite number (NaN or infinity) in frame "
                + std::to_string(framesDelivered + frame));
        }
        mono[frame] = channels == 1 ? sum : sum * scale;
    }
    framesDelivered += framesRead;
    return framesRead;
}

} // namespace ombrix::tools
