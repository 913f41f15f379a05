#include <fcntl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "host/GraphRunner.h"

namespace ombrix {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;
// Bytes of the header WavWriter writes before the sample data: RIFF/WAVE (12),
// "fmt " chunk (8 + 18), "fact" chunk (8 + 4), "data" chunk header (8).
constexpr long kRiffSizeOffset = 4;
constexpr long kFactFramesOffset = 12 + 26 + 8;
constexpr long kDataSizeOffset = 12 + 26 + 12 + 4;
constexpr long kHeaderBytes = 12 + 26 + 12 + 8;
// The size of a stream whose length is not known when its header is written.
constexpr std::uint32_t kUnknownSize = 0xFFFFFFFFu;
// One scale both ways, so a round trip is exact to half a step; +1.0 clips to
// the largest code, 32767.
constexpr float kPcm16Scale = 32768.0f;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes only files the writer opened itself; a caller's stream is left open.
struct StreamCloser {
    bool owned = true;
    void operator()(std::FILE* file) const
    {
        if (owned) {
            std::fclose(file);
        } else {
            std::fflush(file);
        }
    }
};
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

void put16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
    }
}

std::uint16_t get16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t get32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16)
        | (std::uint32_t(p[3]) << 24);
}

bool fail(std::string* error, const std::string& message)
{
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

} // namespace

// ---- WavWriter ----------------------------------------------------------------

struct WavWriter::Impl {
    Stream file;
    Format format = Format::Pcm16;
    unsigned channels = 0;
    std::uint64_t frames = 0;
    std::vector<unsigned char> scratch; // one block, interleaved, as on disk

    unsigned bytesPerSample() const { return format == Format::Pcm16 ? 2 : 4; }
    bool start(std::FILE* stream, bool owned, int sampleRate, unsigned numberOfChannels, Format format);
    bool writeHeader(int sampleRate, std::uint32_t sizes);
    bool patchSizes(std::FILE* stream);
    // Where the header starts in the stream; negative when it cannot be rewritten.
    long headerAt = 0;
};

bool WavWriter::Impl::start(
    std::FILE* stream, bool owned, int sampleRate, unsigned numberOfChannels, Format sampleFormat)
{
    file = Stream(stream, StreamCloser{owned});
    headerAt = 0;
    if (!owned) {
        const int flags = fcntl(fileno(stream), F_GETFL);
        headerAt = flags < 0 || (flags & O_APPEND) != 0 ? -1 : std::ftell(stream);
    }
    format = sampleFormat;
    channels = numberOfChannels;
    frames = 0;
    // A file of our own gets its sizes when it is closed; until then they read 0 (a
    // reader takes the samples up to the end). A caller's stream may never be rewound.
    if (!writeHeader(sampleRate, owned ? 0 : kUnknownSize)) {
        file.reset();
        return false;
    }
    return true;
}

bool WavWriter::Impl::writeHeader(int sampleRate, std::uint32_t sizes)
{
    const unsigned bytes = bytesPerSample();
    unsigned char h[kHeaderBytes] = {};
    std::memcpy(h, "RIFF", 4);
    put32(h + kRiffSizeOffset, sizes);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    put32(h + 16, 18);
    put16(h + 20, format == Format::Pcm16 ? kFormatPcm : kFormatFloat);
    put16(h + 22, static_cast<std::uint16_t>(channels));
    put32(h + 24, static_cast<std::uint32_t>(sampleRate));
    put32(h + 28, static_cast<std::uint32_t>(sampleRate) * channels * bytes);
    put16(h + 32, static_cast<std::uint16_t>(channels * bytes));
    put16(h + 34, static_cast<std::uint16_t>(8 * bytes));
    put16(h + 36, 0); // no format extension
    std::memcpy(h + 38, "fact", 4);
    put32(h + 42, 4);
    put32(h + kFactFramesOffset, sizes);
    std::memcpy(h + kDataSizeOffset - 4, "data", 4);
    put32(h + kDataSizeOffset, sizes);
    return std::fwrite(h, 1, sizeof h, file.get()) == sizeof h;
}

bool WavWriter::Impl::patchSizes(std::FILE* stream)
{
    // RIFF limits sizes to 32 bits; longer files keep the largest size that fits.
    const std::uint64_t dataBytes = frames * channels * bytesPerSample();
    const std::uint32_t dataSize
        = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes, 0xFFFFFFFFu - kHeaderBytes));
    unsigned char v[4];
    auto patch = [&](long offset, std::uint32_t value) {
        put32(v, value);
        return std::fseek(stream, headerAt + offset, SEEK_SET) == 0 && std::fwrite(v, 1, 4, stream) == 4;
    };
    const std::uint32_t factFrames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, 0xFFFFFFFFu));
    bool ok = patch(kRiffSizeOffset, dataSize + kHeaderBytes - 8) && patch(kFactFramesOffset, factFrames)
        && patch(kDataSizeOffset, dataSize);
    // RIFF chunks are padded to an even size.
    if (ok && (dataSize & 1u) != 0) {
        ok = std::fseek(stream, 0, SEEK_END) == 0 && std::fputc(0, stream) != EOF;
    }
    return ok;
}

WavWriter::WavWriter()
    : impl(std::make_unique<Impl>())
{
}

WavWriter::~WavWriter()
{
    close();
}

bool WavWriter::open(const std::string& path, int sampleRate, unsigned numberOfChannels, Format format)
{
    close();
    if (sampleRate <= 0 || numberOfChannels == 0 || numberOfChannels > AudioBuffer<float>::maxChannels) {
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    return file != nullptr && impl->start(file, true, sampleRate, numberOfChannels, format);
}

bool WavWriter::open(std::FILE* stream, int sampleRate, unsigned numberOfChannels, Format format)
{
    close();
    if (stream == nullptr || sampleRate <= 0 || numberOfChannels == 0
        || numberOfChannels > AudioBuffer<float>::maxChannels) {
        return false;
    }
    return impl->start(stream, false, sampleRate, numberOfChannels, format);
}

bool WavWriter::write(const AudioBuffer<float>& buffer)
{
    if (!impl->file || buffer.getNumberOfChannels() != impl->channels) {
        return false;
    }
    const unsigned frames = buffer.getNumberOfFrames();
    const unsigned bytes = impl->bytesPerSample();
    impl->scratch.resize(std::size_t(frames) * impl->channels * bytes);
    unsigned char* out = impl->scratch.data();
    for (unsigned f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < impl->channels; ++c) {
            const float sample = buffer.getReadPointer(c)[f];
            if (impl->format == Format::Pcm16) {
                const float scaled
                    = std::isnan(sample) ? 0.0f : std::clamp(sample * kPcm16Scale, -32768.0f, 32767.0f);
                const auto value = static_cast<std::int16_t>(std::lrint(scaled));
                put16(out, static_cast<std::uint16_t>(value));
            } else {
                std::uint32_t bits;
                std::memcpy(&bits, &sample, 4);
                put32(out, bits);
            }
            out += bytes;
        }
    }
    if (std::fwrite(impl->scratch.data(), 1, impl->scratch.size(), impl->file.get())
        != impl->scratch.size()) {
        return false;
    }
    impl->frames += frames;
    return true;
}

bool WavWriter::close()
{
    if (!impl->file) {
        return true;
    }
    const bool owned = impl->file.get_deleter().owned;
    std::FILE* file = impl->file.release();
    // A caller's stream gets its sizes only where they can be rewritten in place
    // (standard output sent to a file); on a pipe the unknown-size markers stay.
    const bool patched = impl->headerAt < 0 || impl->patchSizes(file);
    const bool done = owned ? std::fclose(file) == 0 : std::fflush(file) == 0 && !std::ferror(file);
    return patched && done;
}

std::uint64_t WavWriter::getFramesWritten() const
{
    return impl->frames;
}

// ---- readWav --------------------------------------------------------------------

bool readWav(const std::string& path, WavData& data, std::string* error)
{
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        return fail(error, "cannot open '" + path + "'");
    }
    unsigned char riff[12];
    if (std::fread(riff, 1, 12, file.get()) != 12 || std::memcmp(riff, "RIFF", 4) != 0
        || std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return fail(error, "'" + path + "' is not a RIFF/WAVE file");
    }

    WavData result;
    std::uint16_t formatTag = 0;
    bool haveFormat = false;
    std::uint32_t dataSize = 0;
    for (;;) {
        unsigned char chunk[8];
        if (std::fread(chunk, 1, 8, file.get()) != 8) {
            return fail(error, "'" + path + "' has no data chunk");
        }
        const std::uint32_t size = get32(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) {
                return fail(error, "'" + path + "' has data before its format");
            }
            dataSize = size;
            break;
        }
        const long padded = long(size) + long(size & 1u); // chunks are padded to even sizes
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            unsigned char fmt[40];
            if (size < 16 || size > sizeof fmt) {
                return fail(error, "'" + path + "' has a malformed fmt chunk");
            }
            if (std::fread(fmt, 1, size, file.get()) != size
                || std::fseek(file.get(), padded - long(size), SEEK_CUR) != 0) {
                return fail(error, "'" + path + "' is truncated");
            }
            formatTag = get16(fmt);
            result.numberOfChannels = get16(fmt + 2);
            result.sampleRate = static_cast<int>(get32(fmt + 4));
            result.bitsPerSample = get16(fmt + 14);
            if (formatTag == kFormatExtensible && size >= 26) {
                formatTag = get16(fmt + 24); // first field of the sub-format GUID
            }
            haveFormat = true;
        } else if (std::fseek(file.get(), padded, SEEK_CUR) != 0) {
            return fail(error, "'" + path + "' is truncated");
        }
    }

    const bool pcm16 = formatTag == kFormatPcm && result.bitsPerSample == 16;
    const bool float32 = formatTag == kFormatFloat && result.bitsPerSample == 32;
    if (!pcm16 && !float32) {
        return fail(error,
            "'" + path + "': unsupported sample format (tag " + std::to_string(formatTag) + ", "
                + std::to_string(result.bitsPerSample) + " bits)");
    }
    if (result.numberOfChannels == 0 || result.sampleRate <= 0) {
        return fail(error, "'" + path + "' declares no channels or no sample rate");
    }
    result.isFloat = float32;

    // A writer that was never closed leaves the data size at zero: then the
    // samples run to the end of the file. A size beyond the file's end (a
    // truncated copy) gives the frames that are there.
    const unsigned bytes = result.bitsPerSample / 8;
    const std::size_t frameBytes = std::size_t(bytes) * result.numberOfChannels;
    const std::size_t wanted = dataSize == 0 ? std::numeric_limits<std::size_t>::max() : dataSize;
    std::vector<unsigned char> raw;
    unsigned char block[65536];
    while (raw.size() < wanted) {
        const std::size_t got
            = std::fread(block, 1, std::min<std::size_t>(sizeof block, wanted - raw.size()), file.get());
        if (got == 0) {
            break;
        }
        raw.insert(raw.end(), block, block + got);
    }
    const std::size_t frames = raw.size() / frameBytes;
    result.channels.assign(result.numberOfChannels, std::vector<float>(frames));
    const unsigned char* in = raw.data();
    for (std::size_t f = 0; f < frames; ++f) {
        for (unsigned c = 0; c < result.numberOfChannels; ++c) {
            if (pcm16) {
                result.channels[c][f]
                    = static_cast<float>(static_cast<std::int16_t>(get16(in))) / kPcm16Scale;
            } else {
                const std::uint32_t bits = get32(in);
                std::memcpy(&result.channels[c][f], &bits, 4);
            }
            in += bytes;
        }
    }
    data = std::move(result);
    return true;
}

} // namespace ombrix
