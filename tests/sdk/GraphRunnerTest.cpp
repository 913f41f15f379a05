#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "host/GraphRunner.h"

using namespace ombrix;

namespace {

// Writes a ramp: frame n of channel c is (n % 1000) / 1000 * (c ? -1 : 1).
class RampSource : public SingleBusAudioSourceNode {
public:
    bool setBusFormat(AudioBusFormat& format) override
    {
        format_ = format;
        return accept;
    }
    bool produce(AudioBus& bus) override
    {
        AudioBuffer<float>& buffer = *bus.getBuffer();
        for (unsigned f = 0; f < buffer.getNumberOfFrames(); ++f, ++position) {
            const float value = static_cast<float>(position % 1000) / 1000.0f;
            for (unsigned c = 0; c < buffer.getNumberOfChannels(); ++c) {
                buffer.getWritePointer(c)[f] = c == 0 ? value : -value;
            }
        }
        return true;
    }
    void onGraphStart() override { ++starts; }
    void onGraphStop() override { ++stops; }

    bool accept = true;
    AudioBusFormat format_{0, 0};
    std::uint64_t position = 0;
    int starts = 0, stops = 0;
};

class RecordingSink : public SingleBusAudioSinkNode {
public:
    bool setBusFormat(AudioBusFormat& format) override
    {
        format_ = format;
        return true;
    }
    bool consume(AudioBus& bus) override
    {
        const AudioBuffer<float>& buffer = *bus.getBuffer();
        received.resize(buffer.getNumberOfChannels());
        for (unsigned c = 0; c < buffer.getNumberOfChannels(); ++c) {
            const float* samples = buffer.getReadPointer(c);
            received[c].insert(received[c].end(), samples, samples + buffer.getNumberOfFrames());
        }
        return true;
    }
    AudioBusFormat format_{0, 0};
    std::vector<std::vector<float>> received;
};

std::string tempPath(const std::string& name)
{
    return (
        std::filesystem::temp_directory_path() / ("ombrix-sdk-" + std::to_string(::getpid()) + "-" + name))
        .string();
}

} // namespace

TEST(GraphRunner, PullsBlocksFromSourceToSinkAndKeepsTheClock)
{
    RampSource source;
    RecordingSink sink;
    GraphRunner graph(24000, 2, 480);
    graph.setSource(&source);
    graph.setSink(&sink);

    std::vector<float> returnedLeft;
    for (int i = 0; i < 5; ++i) {
        const AudioBuffer<float>& block = graph.processBlock(); // starts the graph on first use
        ASSERT_EQ(block.getNumberOfFrames(), 480u);
        ASSERT_EQ(block.getNumberOfChannels(), 2u);
        EXPECT_EQ(block.getSampleRate(), 24000);
        returnedLeft.insert(returnedLeft.end(), block.getReadPointer(0), block.getReadPointer(0) + 480);
    }
    EXPECT_EQ(source.starts, 1);
    EXPECT_EQ(source.format_, AudioBusFormat(24000, 2));
    EXPECT_EQ(sink.format_, AudioBusFormat(24000, 2));
    EXPECT_EQ(graph.getFramesProcessed(), 2400u);
    EXPECT_DOUBLE_EQ(graph.getSecondsProcessed(), 0.1);

    ASSERT_EQ(sink.received.size(), 2u);
    EXPECT_EQ(sink.received[0], returnedLeft);
    ASSERT_EQ(sink.received[1].size(), 2400u);
    EXPECT_FLOAT_EQ(sink.received[0][1234], 0.234f);
    EXPECT_FLOAT_EQ(sink.received[1][1234], -0.234f);

    graph.stop();
    graph.stop();
    EXPECT_EQ(source.stops, 1);

    // A graph whose source refuses the format does not start.
    RampSource refusing;
    refusing.accept = false;
    GraphRunner other(16000, 1, 160);
    other.setSource(&refusing);
    EXPECT_FALSE(other.start());
    EXPECT_EQ(refusing.starts, 0);
    EXPECT_THROW(other.processBlock(), std::runtime_error);
}

TEST(WavFile, Pcm16AndFloat32RoundTripThroughTheGraph)
{
    RampSource source;
    GraphRunner graph(22050, 2, 256);
    graph.setSource(&source);

    for (const auto format : {WavWriter::Format::Pcm16, WavWriter::Format::Float32}) {
        const bool pcm = format == WavWriter::Format::Pcm16;
        const std::string path = tempPath(pcm ? "pcm16.wav" : "float32.wav");
        std::vector<float> left;
        {
            WavWriter writer;
            ASSERT_TRUE(writer.open(path, 22050, 2, format));
            for (int i = 0; i < 9; ++i) {
                const AudioBuffer<float>& block = graph.processBlock();
                left.insert(left.end(), block.getReadPointer(0), block.getReadPointer(0) + 256);
                ASSERT_TRUE(writer.write(block));
            }
            EXPECT_EQ(writer.getFramesWritten(), 9u * 256u);
            // Closed by the destructor.
        }
        WavData data;
        std::string error;
        ASSERT_TRUE(readWav(path, data, &error)) << error;
        EXPECT_EQ(data.sampleRate, 22050);
        EXPECT_EQ(data.numberOfChannels, 2u);
        EXPECT_EQ(data.bitsPerSample, pcm ? 16u : 32u);
        EXPECT_EQ(data.isFloat, !pcm);
        ASSERT_EQ(data.channels.size(), 2u);
        ASSERT_EQ(data.channels[0].size(), left.size());
        const float tolerance = pcm ? 0.5f / 32768.0f + 1e-7f : 0.0f;
        for (std::size_t i = 0; i < left.size(); ++i) {
            ASSERT_NEAR(data.channels[0][i], left[i], tolerance) << "frame " << i;
            ASSERT_NEAR(data.channels[1][i], -left[i], tolerance) << "frame " << i;
        }
        EXPECT_EQ(std::filesystem::file_size(path) % 2, 0u);
        std::filesystem::remove(path);
    }

    // A caller's stream: a pipe cannot be rewound, so its RIFF and data sizes keep the
    // unknown-size marker and a reader takes the samples up to the end; a stream that
    // can be rewound (standard output sent to a file) gets the real sizes.
    auto size32 = [](const std::string& bytes, std::size_t at) {
        return std::uint32_t(static_cast<unsigned char>(bytes[at]))
            | std::uint32_t(static_cast<unsigned char>(bytes[at + 1])) << 8
            | std::uint32_t(static_cast<unsigned char>(bytes[at + 2])) << 16
            | std::uint32_t(static_cast<unsigned char>(bytes[at + 3])) << 24;
    };
    for (const bool pipe : {true, false}) {
        SCOPED_TRACE(pipe ? "pipe" : "seekable stream");
        int fds[2] = {-1, -1};
        std::FILE* stream = nullptr;
        if (pipe) {
            ASSERT_EQ(::pipe(fds), 0);
            stream = fdopen(fds[1], "wb");
        } else {
            stream = std::tmpfile();
        }
        ASSERT_NE(stream, nullptr);
        constexpr unsigned kFrames = 3 * 256; // 3 KiB of samples: fits a pipe's buffer
        std::vector<float> left;
        WavWriter writer;
        ASSERT_TRUE(writer.open(stream, 22050, 2));
        for (unsigned written = 0; written < kFrames; written += 256) {
            const AudioBuffer<float>& block = graph.processBlock();
            left.insert(left.end(), block.getReadPointer(0), block.getReadPointer(0) + 256);
            ASSERT_TRUE(writer.write(block));
        }
        ASSERT_TRUE(writer.close());
        std::string bytes;
        if (pipe) {
            std::fclose(stream); // the writer leaves a caller's stream open
            char chunk[4096];
            for (ssize_t got; (got = ::read(fds[0], chunk, sizeof chunk)) > 0;) {
                bytes.append(chunk, static_cast<std::size_t>(got));
            }
            ::close(fds[0]);
        } else {
            ASSERT_EQ(std::fseek(stream, 0, SEEK_END), 0);
            bytes.resize(static_cast<std::size_t>(std::ftell(stream)));
            std::rewind(stream);
            ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), stream), bytes.size());
            std::fclose(stream);
        }
        ASSERT_GT(bytes.size(), 64u);
        const std::size_t dataBytes = std::size_t(kFrames) * 2 * 2;
        ASSERT_EQ(bytes.substr(bytes.size() - dataBytes - 8, 4), "data");
        const std::uint32_t riffSize = size32(bytes, 4);
        const std::uint32_t dataSize = size32(bytes, bytes.size() - dataBytes - 4);
        EXPECT_EQ(riffSize, pipe ? 0xFFFFFFFFu : bytes.size() - 8);
        EXPECT_EQ(dataSize, pipe ? 0xFFFFFFFFu : dataBytes);
        const std::string path = tempPath("stream.wav");
        {
            std::FILE* copy = std::fopen(path.c_str(), "wb");
            ASSERT_NE(copy, nullptr);
            ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), copy), bytes.size());
            std::fclose(copy);
        }
        WavData data;
        std::string error;
        ASSERT_TRUE(readWav(path, data, &error)) << error;
        std::filesystem::remove(path);
        ASSERT_EQ(data.channels.size(), 2u);
        ASSERT_EQ(data.channels[0].size(), left.size());
        for (std::size_t i = 0; i < left.size(); ++i) {
            ASSERT_NEAR(data.channels[0][i], left[i], 0.5f / 32768.0f + 1e-7f) << "frame " << i;
        }
    }
}

TEST(WavFile, ClampsPcmAndRejectsWhatItCannotRead)
{
    const std::string path = tempPath("clamp.wav");
    float samples[] = {2.0f, -3.0f, 0.5f, NAN};
    float* channels[] = {samples};
    {
        WavWriter writer;
        ASSERT_TRUE(writer.open(path, 8000, 1));
        EXPECT_FALSE(writer.write(AudioBuffer<float>(channels, 0, 4, false, 8000))); // wrong channel count
        ASSERT_TRUE(writer.write(AudioBuffer<float>(channels, 1, 4, false, 8000)));
        ASSERT_TRUE(writer.close());
    }
    WavData data;
    ASSERT_TRUE(readWav(path, data));
    ASSERT_EQ(data.channels[0].size(), 4u);
    EXPECT_NEAR(data.channels[0][0], 1.0f, 1e-4);
    EXPECT_NEAR(data.channels[0][1], -1.0f, 1e-4);
    EXPECT_NEAR(data.channels[0][2], 0.5f, 1e-4);
    EXPECT_EQ(data.channels[0][3], 0.0f);

    // Not a WAV file, and a missing file: false with a reason.
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fputs("this is not audio", file);
        std::fclose(file);
    }
    std::string error;
    EXPECT_FALSE(readWav(path, data, &error));
    EXPECT_NE(error.find("RIFF"), std::string::npos) << error;
    std::filesystem::remove(path);
    EXPECT_FALSE(readWav(path, data, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    WavWriter writer;
    EXPECT_FALSE(writer.open(tempPath("no-such-dir") + "/x.wav", 8000, 1));
}
