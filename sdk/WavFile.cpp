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
// One scale both ways, so a round trip is exact to half a step; +1.0 clips to
// the largest code, 32767.
constexpr float kPcm16Scale = 32768.0f;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

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
    File file;
    Format format = Format::Pcm16;
    unsigned channels = 0;
    std::uint64_t frames = 0;
    std::vector<unsigned char> scratch; // one block, interleaved, as on disk

    unsigned bytesPerSample() const { return format == Format::Pcm16 ? 2 : 4; }
    bool writeHeader(int sampleRate);
    bool patchSizes();
};

bool WavWriter::Impl::writeHeader(int sampleRate)
{
    const unsigned bytes = bytesPerSample();
    unsigned char h[kHeaderBytes] = {};
    std::memcpy(h, "RIFF", 4);
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
    std::memcpy(h + kDataSizeOffset - 4, "data", 4);
    // Sizes are patched when the file is closed.
    return std::fwrite(h, 1, sizeof h, file.get()) == sizeof h;
}

bool WavWriter::Impl::patchSizes()
{
    // RIFF limits sizes to 32 bits; longer files keep the largest size that fits.
    const std::uint64_t dataBytes = frames * channels * bytesPerSample();
    const std::uint32_t dataSize
        = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes, 0xFFFFFFFFu - kHeaderBytes));
    unsigned char v[4];
    auto patch = [&](long offset, std::uint32_t value) {
        put32(v, value);
        return std::fseek(file.get(), offset, SEEK_SET) == 0 && std::fwrite(v, 1, 4, file.get()) == 4;
    };
    const std::uint32_t factFrames = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, 0xFFFFFFFFu));
    bool ok = patch(kRiffSizeOffset, dataSize + kHeaderBytes - 8) && patch(kFactFramesOffset, factFrames)
        && patch(kDataSizeOffset, dataSize);
    // RIFF chunks are padded to an even size.
    if (ok && (dataSize & 1u) != 0) {
        ok = std::fseek(file.get(), 0, SEEK_END) == 0 && std::fputc(0, file.get()) != EOF;
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
    impl->file.reset(std::fopen(path.c_str(), "wb"));
    if (!impl->file) {
        return false;
    }
    impl->format = format;
    impl->channels = numberOfChannels;
    impl->frames = 0;
    if (!impl->writeHeader(sampleRate)) {
        impl->file.reset();
        return false;
    }
    return true;
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
    const bool patched = impl->patchSizes();
    const bool closed = std::fclose(impl->file.release()) == 0;
    return patched && closed;
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
