#pragma once

// Helpers shared by the speech-to-text tests and their probe program.

#include <algorithm>
#include <cstddef>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "stt/RecognizerConfig.h"
#include "utils/SherpaOnnxHandles.h"

namespace ombrix::testing::stt {

/// The synthetic recogniser of the fixtures (1 kHz burst -> "A", 4 kHz -> "B").
inline std::string asrFixture(const std::string& file)
{
    return std::string(OMBRIX_FIXTURES_DIR) + "/asr/" + file;
}
inline const std::string kAsrModel = asrFixture("model.onnx");
inline const std::string kAsrTokens = asrFixture("tokens.txt");
inline const std::string kAsrGraph = asrFixture("HLG.fst");
inline const std::string kAsrGraphOnlyA = asrFixture("HLG-only-a.fst");

/// The same detector in icefall's layout: 500 outputs, 1 kHz -> piece "\u2581A", 4 kHz ->
/// "\u2581B", so "A_B_A" audio reads "A B A"; HLG.fst (vector) and HLG-const.fst (const).
inline std::string icefallFixture(const std::string& file)
{
    return std::string(OMBRIX_FIXTURES_DIR) + "/asr-icefall/" + file;
}

/// Graph block sizes: 10 ms, as a host graph hands them to a sink.
inline constexpr int kBlocksPerSecond = 100;
inline unsigned blockFramesFor(int sampleRate)
{
    return static_cast<unsigned>(sampleRate / kBlocksPerSecond);
}

struct FeedCount {
    std::size_t stored = 0;
    std::size_t dropped = 0;
};

/// Hands `samples` to the node the way the host does, through the bus-list form of
/// consume, in blocks of `blockFrames` (the last one shorter when needed).
inline FeedCount feedBlocks(extensions::sherpa::SherpaSTTNode& node, std::span<const float> samples,
    unsigned blockFrames, int sampleRate)
{
    if (blockFrames == 0) {
        throw std::invalid_argument("feedBlocks needs a block size above 0");
    }
    std::vector<float> block(blockFrames);
    float* channels[] = {block.data()};
    AudioBuffer<float> buffer(channels, 1, blockFrames, false, sampleRate);
    AudioBusArray<1> buses(AudioBusFormat(sampleRate, 1));
    buses.getBus(0).setBuffer(&buffer);

    FeedCount count;
    for (std::size_t start = 0; start < samples.size(); start += blockFrames) {
        const std::size_t frames = std::min<std::size_t>(blockFrames, samples.size() - start);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(start), frames, block.begin());
        buffer.setNumberOfFrames(static_cast<unsigned>(frames));
        if (node.consume(buses)) {
            ++count.stored;
        } else {
            ++count.dropped;
        }
    }
    return count;
}

/// Sets a mono format of `sampleRate` and feeds `samples` in 10 ms blocks of that rate.
inline FeedCount feedAt(
    extensions::sherpa::SherpaSTTNode& node, std::span<const float> samples, int sampleRate)
{
    AudioBusFormat format(sampleRate, 1);
    node.setBusFormat(format);
    return feedBlocks(node, samples, blockFramesFor(sampleRate), sampleRate);
}

/// The text of one stream of sherpa-onnx itself that is never reset, fed `samples` in
/// one-second pieces and read once at the end.
inline std::string endlessStreamText(const std::string& model, const std::string& tokens,
    const std::string& graph, const std::vector<float>& samples, int rate)
{
    using namespace ombrix::extensions::sherpa;
    const SherpaOnnxOnlineRecognizerConfig config = speechToTextRecognizerConfig(model, tokens, graph);
    const OnlineRecognizerPtr recognizer(SherpaOnnxCreateOnlineRecognizer(&config));
    if (!recognizer) {
        return "<no recogniser>";
    }
    const OnlineStreamPtr stream(SherpaOnnxCreateOnlineStream(recognizer.get()));
    for (std::size_t start = 0; start < samples.size(); start += static_cast<std::size_t>(rate)) {
        const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(rate), samples.size() - start);
        SherpaOnnxOnlineStreamAcceptWaveform(
            stream.get(), rate, samples.data() + start, static_cast<int32_t>(n));
        while (SherpaOnnxIsOnlineStreamReady(recognizer.get(), stream.get()) != 0) {
            SherpaOnnxDecodeOnlineStream(recognizer.get(), stream.get());
        }
    }
    const OnlineRecognizerResultPtr result(SherpaOnnxGetOnlineStreamResult(recognizer.get(), stream.get()));
    return result->text;
}

} // namespace ombrix::testing::stt
