// The transcription of one input.

#include "TranscribeSession.h"

#include "tools/common/ToolCommon.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <optional>
#include <thread>

#include "host/GraphRunner.h"

namespace ombrix::transcribe {

using extensions::sherpa::SherpaSTTNode;
using tools::AudioInput;
using tools::InputError;
using tools::jsonString;
using tools::kExitRuntime;
using tools::ToolError;
using tools::UsageError;

namespace {

/// Default block: 10 ms of the input's rate.
constexpr int kDefaultBlocksPerSecond = 100;
/// A block whose peak stays below this (-60 dBFS) counts as silence for --segment.
constexpr float kSilencePeak = 1.0e-3f;
constexpr unsigned kRingFrames = SherpaSTTNode::kInputBufferFrames;
/// Frames read from the input at a time.
constexpr std::size_t kReadFrames = 16384;
constexpr double kSecondsPerMinute = 60.0;

// Plays the input (mono) and then the tail of silence; silence after that. Keeps the
// length of the silent run that ends the latest block, for --segment.
class InputSource : public ombrix::SingleBusAudioSourceNode {
public:
    InputSource(AudioInput& input, std::uint64_t tailFrames)
        : input(input)
        , tailFrames(tailFrames)
        , pending(kReadFrames)
    {
    }

    bool setBusFormat(ombrix::AudioBusFormat& format) override
    {
        return format.getNumberOfChannels() == 1 && format.getSampleRate() == input.getSampleRate();
    }

    bool produce(ombrix::AudioBus& bus) override
    {
        ombrix::AudioBuffer<float>* buffer = bus.getBuffer();
        float* out = buffer->getWritePointer(0);
        const unsigned frames = buffer->getNumberOfFrames();
        unsigned filled = 0;
        while (filled < frames && !inputEnded) {
            if (pendingAt == pendingCount) {
                pendingCount = input.readMono(pending.data(), pending.size());
                pendingAt = 0;
                if (pendingCount == 0) {
                    inputEnded = true;
                    break;
                }
            }
            const std::size_t take = std::min<std::size_t>(frames - filled, pendingCount - pendingAt);
            std::copy_n(pending.data() + pendingAt, take, out + filled);
            pendingAt += take;
            filled += static_cast<unsigned>(take);
            inputFrames += take;
        }
        std::fill(out + filled, out + frames, 0.0f);
        if (inputEnded) {
            const std::uint64_t silence = frames - filled;
            tailPlayed = std::min(tailFrames, tailPlayed + silence);
        }
        float peak = 0.0f;
        for (unsigned i = 0; i < frames; ++i) {
            peak = std::max(peak, std::fabs(out[i]));
        }
        silentRunFrames = peak < kSilencePeak ? silentRunFrames + frames : 0;
        return true;
    }

    /// Input and tail played: nothing more to hear.
    bool done() const { return inputEnded && tailPlayed >= tailFrames; }
    std::uint64_t getInputFrames() const { return inputFrames; }
    std::uint64_t getSilentRunFrames() const { return silentRunFrames; }

private:
    AudioInput& input;
    const std::uint64_t tailFrames;
    std::vector<float> pending;
    std::size_t pendingAt = 0;
    std::size_t pendingCount = 0;
    bool inputEnded = false;
    std::uint64_t inputFrames = 0;
    std::uint64_t tailPlayed = 0;
    std::uint64_t silentRunFrames = 0;
};

} // namespace

TranscribeSession::TranscribeSession(
    const Options& options, AudioInput& input, CountingSTTNode& node, const ModelFiles& model)
    : options(options)
    , input(input)
    , node(node)
    , model(model)
    , rate(input.getSampleRate())
    , blockFrames(options.blockFrames != 0
              ? options.blockFrames
              : std::max(1u, static_cast<unsigned>(rate / kDefaultBlocksPerSecond)))
{
    if (blockFrames >= kRingFrames) {
        throw UsageError("--block " + std::to_string(blockFrames) + " does not fit the node's ring of "
            + std::to_string(kRingFrames) + " frames");
    }
    // Every transcribe() must find at most a ring's worth of frames waiting, a block
    // after the interval included.
    const auto wanted = static_cast<std::uint64_t>(std::llround(options.intervalSeconds * rate));
    intervalFrames = std::clamp<std::uint64_t>(wanted, 1, kRingFrames - blockFrames);
    intervalClamped = intervalFrames < wanted;
    tailFrames = static_cast<std::uint64_t>(std::ceil(options.tailSeconds * rate));
    segmentSilenceFrames = static_cast<std::uint64_t>(std::ceil(kTailSilenceSeconds * rate));
    segmentFrames = static_cast<std::uint64_t>(std::llround(options.segmentSeconds * rate));
}

void TranscribeSession::status(const char* format, ...) const
{
    if (options.quiet) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::fprintf(stderr, "%s: ", kProgramName);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    va_end(arguments);
}

void TranscribeSession::takeText(std::uint64_t graphFrames)
{
    noteText(graphFrames, joinText(keptText, node.transcribe()));
}

void TranscribeSession::noteText(std::uint64_t graphFrames, const std::string& text)
{
    finalText = text;
    if (text != shownText && !text.empty()) {
        shownText = text;
        timeline.push_back({seconds(graphFrames), text});
        if (!options.json && !options.quiet) {
            std::printf("%.3f\t%s\n", seconds(graphFrames), text.c_str());
            std::fflush(stdout);
        }
    }
}

void TranscribeSession::afterBlock(std::uint64_t graphFrames, std::uint64_t silentRun, bool last)
{
    while (static_cast<double>(minuteWall.size() + 1) * kSecondsPerMinute <= seconds(graphFrames)) {
        minuteWall.push_back(wallNow());
    }
    if (last) {
        return;
    }
    if (segmentFrames != 0 && graphFrames - segmentStart >= segmentFrames
        && silentRun >= segmentSilenceFrames) {
        // Everything before the silence has been decoded: keep the segment's text and go on
        // with a new stream of the same model.
        keptText = joinText(keptText, node.transcribe());
        noteText(graphFrames, keptText);
        if (!node.loadModel(model.model, model.tokens, model.graph)) {
            throw ToolError(kExitRuntime, "the model did not load again at the end of a segment");
        }
        ++segments;
        segmentStart = graphFrames;
        nextTranscribe = graphFrames + intervalFrames;
        return;
    }
    if (graphFrames >= nextTranscribe) {
        takeText(graphFrames);
        nextTranscribe = graphFrames + intervalFrames;
    }
}

void TranscribeSession::progress(std::uint64_t graphFrames)
{
    if (!progressLine.due()) {
        return;
    }
    char line[160];
    if (const auto declared = input.getDeclaredFrames()) {
        std::snprintf(line, sizeof line, "progress: %.0f of %.0f s transcribed in %.1f s",
            seconds(graphFrames), seconds(*declared), wallNow());
    } else {
        std::snprintf(
            line, sizeof line, "progress: %.0f s transcribed in %.1f s", seconds(graphFrames), wallNow());
    }
    progressLine.report(line);
}

int TranscribeSession::run()
{
    InputSource source(input, tailFrames);
    ombrix::GraphRunner runner(rate, 1, blockFrames);
    runner.setSource(&source);
    runner.setSink(&node);
    if (!runner.start()) {
        throw ToolError(kExitRuntime, "the speech-to-text node refused the graph format");
    }
    status("graph: %d Hz mono, blocks of %u frames; transcribing every %.3f s of graph time%s", rate,
        blockFrames, seconds(intervalFrames),
        intervalClamped ? " (the most the node's ring holds at this rate)" : "");
    if (segmentFrames != 0) {
        status("segments: a new stream after %.3f s at the next %.1f s of silence", seconds(segmentFrames),
            kTailSilenceSeconds);
    }
    nextTranscribe = intervalFrames;
    wallStart = Clock::now();

    std::uint64_t graphFrames = 0;
    if (!options.realtime) {
        while (!source.done()) {
            runner.processBlock();
            graphFrames = runner.getFramesProcessed();
            afterBlock(graphFrames, source.getSilentRunFrames(), source.done());
            progress(graphFrames);
        }
    } else {
        // The graph on its own thread at the pace of the wall clock; this thread
        // transcribes. State crosses in atomics; the graph thread never waits for this one.
        std::atomic<std::uint64_t> published{0};
        std::atomic<std::uint64_t> publishedSilentRun{0};
        std::atomic<bool> finished{false};
        // Changes with every block and at the end, so a wait on it can never miss the end
        // (the frame count itself may not change between the last block and the end).
        std::atomic<std::uint64_t> ticks{0};
        std::optional<InputError> graphInputError;
        std::thread graph([&] {
            const auto block = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(blockFrames) / rate));
            auto deadline = Clock::now();
            try {
                while (!source.done()) {
                    std::this_thread::sleep_until(deadline);
                    deadline += block;
                    runner.processBlock();
                    publishedSilentRun.store(source.getSilentRunFrames());
                    published.store(runner.getFramesProcessed());
                    ticks.fetch_add(1);
                    ticks.notify_one();
                }
            } catch (const InputError& error) {
                graphInputError = error;
            }
            finished.store(true);
            ticks.fetch_add(1);
            ticks.notify_one();
        });
        std::uint64_t seenTicks = 0;
        try {
            while (!finished.load()) {
                ticks.wait(seenTicks);
                seenTicks = ticks.load();
                afterBlock(published.load(), publishedSilentRun.load(), false);
            }
        } catch (...) {
            graph.join();
            throw;
        }
        graph.join();
        if (graphInputError) {
            throw *graphInputError;
        }
        graphFrames = runner.getFramesProcessed();
        afterBlock(graphFrames, source.getSilentRunFrames(), true);
    }
    runner.stop();
    progressLine.finish();
    takeText(graphFrames);
    printResult(graphFrames, source.getInputFrames());
    if (node.getDroppedFrames() != 0 && !options.realtime) {
        throw ToolError(kExitRuntime, "the node dropped audio, which must not happen at this pace");
    }
    return 0;
}

void TranscribeSession::printResult(std::uint64_t graphFrames, std::uint64_t inputFrames)
{
    const double wall = wallNow();
    const double inputSeconds = seconds(inputFrames);
    std::vector<double> perMinute;
    double previous = 0.0;
    for (const double at : minuteWall) {
        perMinute.push_back((at - previous) / kSecondsPerMinute);
        previous = at;
    }
    const double factor = graphFrames > 0 ? wall / seconds(graphFrames) : 0.0;

    status("audio: %.3f s from %s (%d Hz, %u channel%s, %s)%s", inputSeconds, input.getName().c_str(), rate,
        input.getNumberOfChannels(), input.getNumberOfChannels() == 1 ? "" : "s",
        input.describeFormat().c_str(), input.getNumberOfChannels() > 1 ? ", mixed down to mono" : "");
    status("wall time: %.3f s, real-time factor %.4f; %llu frames dropped%s", wall, factor,
        static_cast<unsigned long long>(node.getDroppedFrames()),
        segments > 1 ? (", " + std::to_string(segments) + " segments").c_str() : "");
    if (perMinute.size() > 1) {
        std::string list;
        for (const double value : perMinute) {
            list += ' ';
            list += jsonNumber(value);
        }
        status("real-time factor per minute:%s", list.c_str());
    }

    if (options.json) {
        std::string json = "{\"text\":" + jsonString(finalText) + ",\"partials\":[";
        for (std::size_t i = 0; i < timeline.size(); ++i) {
            json += i > 0 ? ",{\"time\":" : "{\"time\":";
            json += jsonNumber(timeline[i].seconds) + ",\"text\":" + jsonString(timeline[i].text) + "}";
        }
        json += "],\"input\":{\"name\":" + jsonString(input.getName()) + ",\"sample_rate\":"
            + std::to_string(rate) + ",\"channels\":" + std::to_string(input.getNumberOfChannels())
            + ",\"format\":" + jsonString(input.describeFormat()) + ",\"seconds\":" + jsonNumber(inputSeconds)
            + "},\"graph_seconds\":" + jsonNumber(seconds(graphFrames)) + ",\"block_frames\":"
            + std::to_string(blockFrames) + ",\"interval_seconds\":" + jsonNumber(seconds(intervalFrames))
            + ",\"tail_seconds\":" + jsonNumber(options.tailSeconds) + ",\"realtime\":"
            + (options.realtime ? "true" : "false") + ",\"segments\":" + std::to_string(segments)
            + ",\"dropped_frames\":" + std::to_string(node.getDroppedFrames())
            + ",\"wall_seconds\":" + jsonNumber(wall) + ",\"realtime_factor\":" + jsonNumber(factor)
            + ",\"realtime_factor_per_minute\":[";
        for (std::size_t i = 0; i < perMinute.size(); ++i) {
            if (i > 0) {
                json += ',';
            }
            json += jsonNumber(perMinute[i]);
        }
        json += "]}";
        std::printf("%s\n", json.c_str());
    } else {
        std::printf("%s\n", finalText.c_str());
    }
    std::fflush(stdout);
}
} // namespace ombrix::transcribe
