// The transcription of one input.

#include "TranscribeSession.h"

#include "Resampler.h"
#include "tools/common/ToolCommon.h"

#include <algorithm>
#include <cerrno>
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

/// Default block: 10 ms.
constexpr int kDefaultBlocksPerSecond = 100;
constexpr unsigned kRingFrames = SherpaSTTNode::kInputBufferFrames;
/// Frames read from the input at a time.
constexpr std::size_t kReadFrames = 16384;
constexpr double kSecondsPerMinute = 60.0;

// Plays the input (mono, at the graph's rate) and then the tail of silence; silence after
// that.
class InputSource : public ombrix::SingleBusAudioSourceNode {
public:
    InputSource(ResampledInput& input, std::uint64_t tailFrames)
        : input(input)
        , tailFrames(tailFrames)
        , pending(kReadFrames)
    {
    }

    bool setBusFormat(ombrix::AudioBusFormat& format) override
    {
        return format.getNumberOfChannels() == 1 && format.getSampleRate() == input.getOutputRate();
    }

    bool produce(ombrix::AudioBus& bus) override
    {
        ombrix::AudioBuffer<float>* buffer = bus.getBuffer();
        float* out = buffer->getWritePointer(0);
        const unsigned frames = buffer->getNumberOfFrames();
        unsigned filled = 0;
        while (filled < frames && !inputEnded) {
            if (pendingAt == pendingCount) {
                pendingCount = input.read(pending.data(), pending.size());
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
        return true;
    }

    /// Input and tail played: nothing more to hear.
    bool done() const { return inputEnded && tailPlayed >= tailFrames; }
    /// Frames of the input played, at the graph's rate.
    std::uint64_t getInputFrames() const { return inputFrames; }

private:
    ResampledInput& input;
    const std::uint64_t tailFrames;
    std::vector<float> pending;
    std::size_t pendingAt = 0;
    std::size_t pendingCount = 0;
    bool inputEnded = false;
    std::uint64_t inputFrames = 0;
    std::uint64_t tailPlayed = 0;
};

} // namespace

TranscribeSession::TranscribeSession(const Options& options, AudioInput& input, CountingSTTNode& node)
    : options(options)
    , input(input)
    , node(node)
    , blockFrames(options.blockFrames != 0 ? options.blockFrames
                                           : static_cast<unsigned>(rate / kDefaultBlocksPerSecond))
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

void TranscribeSession::takeText()
{
    finalText = node.transcribe();
    if (live.isEnabled()) {
        live.update(node.segments(), false);
    }
}

void TranscribeSession::afterBlock(std::uint64_t graphFrames, bool last)
{
    while (static_cast<double>(minuteWall.size() + 1) * kSecondsPerMinute <= seconds(graphFrames)) {
        minuteWall.push_back(wallNow());
    }
    if (!last && graphFrames >= nextTranscribe) {
        takeText();
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
            seconds(graphFrames), static_cast<double>(*declared) / input.getSampleRate(), wallNow());
    } else {
        std::snprintf(
            line, sizeof line, "progress: %.0f s transcribed in %.1f s", seconds(graphFrames), wallNow());
    }
    progressLine.report(line);
}

int TranscribeSession::run()
{
    ResampledInput resampled(input, rate);
    InputSource source(resampled, tailFrames);
    ombrix::GraphRunner runner(rate, 1, blockFrames);
    runner.setSource(&source);
    runner.setSink(&node);
    if (!runner.start()) {
        throw ToolError(kExitRuntime, "the speech-to-text node refused the graph format");
    }
    status("graph: %d Hz mono, blocks of %u frames; transcribing every %.3f s of graph time%s", rate,
        blockFrames, seconds(intervalFrames),
        intervalClamped ? " (the most the node's ring holds at this rate)" : "");
    if (options.segmentGiven) {
        status("--segment is ignored: the node restarts decoding at pauses itself");
    }
    nextTranscribe = intervalFrames;
    wallStart = Clock::now();

    std::uint64_t graphFrames = 0;
    if (!options.realtime) {
        while (!source.done()) {
            runner.processBlock();
            graphFrames = runner.getFramesProcessed();
            afterBlock(graphFrames, source.done());
            progress(graphFrames);
        }
    } else {
        // The graph on its own thread at the pace of the wall clock; this thread
        // transcribes. State crosses in atomics; the graph thread never waits for this one.
        std::atomic<std::uint64_t> published{0};
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
                afterBlock(published.load(), false);
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
        afterBlock(graphFrames, true);
    }
    runner.stop();
    progressLine.finish();
    finalText = node.transcribe();
    const std::vector<Segment> segments = node.segments();
    live.update(segments, true);
    writeTranscripts(segments, graphFrames, resampled.getInputFrames());
    printResult(segments, graphFrames, resampled.getInputFrames());
    if (node.getDroppedFrames() != 0 && !options.realtime) {
        throw ToolError(kExitRuntime, "the node dropped audio, which must not happen at this pace");
    }
    return 0;
}

std::vector<double> TranscribeSession::perMinute() const
{
    std::vector<double> list;
    double previous = 0.0;
    for (const double at : minuteWall) {
        list.push_back((at - previous) / kSecondsPerMinute);
        previous = at;
    }
    return list;
}

std::string TranscribeSession::resultJson(
    const std::vector<Segment>& segments, std::uint64_t graphFrames, std::uint64_t inputFrames) const
{
    const double wall = wallNow();
    const double factor = graphFrames > 0 ? wall / seconds(graphFrames) : 0.0;
    const double inputSeconds = static_cast<double>(inputFrames) / input.getSampleRate();
    std::string json = "{\"text\":" + jsonString(finalText) + ",\"segments\":" + segmentsJson(segments)
        + ",\"input\":{\"name\":" + jsonString(input.getName())
        + ",\"sample_rate\":" + std::to_string(input.getSampleRate()) + ",\"channels\":"
        + std::to_string(input.getNumberOfChannels()) + ",\"format\":" + jsonString(input.describeFormat())
        + ",\"seconds\":" + jsonNumber(inputSeconds) + "},\"graph_sample_rate\":" + std::to_string(rate)
        + ",\"graph_seconds\":" + jsonNumber(seconds(graphFrames)) + ",\"block_frames\":"
        + std::to_string(blockFrames) + ",\"interval_seconds\":" + jsonNumber(seconds(intervalFrames))
        + ",\"tail_seconds\":" + jsonNumber(options.tailSeconds)
        + ",\"realtime\":" + (options.realtime ? "true" : "false") + ",\"dropped_frames\":"
        + std::to_string(node.getDroppedFrames()) + ",\"wall_seconds\":" + jsonNumber(wall)
        + ",\"realtime_factor\":" + jsonNumber(factor) + ",\"realtime_factor_per_minute\":[";
    const std::vector<double> minutes = perMinute();
    for (std::size_t i = 0; i < minutes.size(); ++i) {
        if (i > 0) {
            json += ',';
        }
        json += jsonNumber(minutes[i]);
    }
    return json + "]}";
}

void TranscribeSession::writeTranscripts(
    const std::vector<Segment>& segments, std::uint64_t graphFrames, std::uint64_t inputFrames) const
{
    const auto write = [&](const char* extension, const std::string& content) {
        const std::string path = options.outputBase + extension;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            throw ToolError(kExitRuntime, "cannot write " + path + ": " + tools::systemReason(errno));
        }
        const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
        const int error = errno;
        if (std::fclose(file) != 0 || !written) {
            throw ToolError(
                kExitRuntime, "cannot write " + path + ": " + tools::systemReason(written ? errno : error));
        }
        status("wrote %s", path.c_str());
    };
    if (options.outputTxt) {
        write(".txt", formatTxt(segments));
    }
    if (options.outputSrt) {
        write(".srt", formatSrt(segments));
    }
    if (options.outputVtt) {
        write(".vtt", formatVtt(segments));
    }
    if (options.outputJson) {
        write(".json", resultJson(segments, graphFrames, inputFrames) + "\n");
    }
}

void TranscribeSession::printResult(
    const std::vector<Segment>& segments, std::uint64_t graphFrames, std::uint64_t inputFrames) const
{
    const double wall = wallNow();
    const double factor = graphFrames > 0 ? wall / seconds(graphFrames) : 0.0;
    const double inputSeconds = static_cast<double>(inputFrames) / input.getSampleRate();
    status("audio: %.3f s from %s (%d Hz, %u channel%s, %s)%s%s", inputSeconds, input.getName().c_str(),
        input.getSampleRate(), input.getNumberOfChannels(), input.getNumberOfChannels() == 1 ? "" : "s",
        input.describeFormat().c_str(), input.getNumberOfChannels() > 1 ? ", mixed down to mono" : "",
        input.getSampleRate() != rate ? (", converted to " + std::to_string(rate) + " Hz").c_str() : "");
    status("wall time: %.3f s, real-time factor %.4f; %llu frames dropped; %zu segment%s", wall, factor,
        static_cast<unsigned long long>(node.getDroppedFrames()), segments.size(),
        segments.size() == 1 ? "" : "s");
    const std::vector<double> minutes = perMinute();
    if (minutes.size() > 1) {
        std::string list;
        for (const double value : minutes) {
            list += ' ';
            list += jsonNumber(value);
        }
        status("real-time factor per minute:%s", list.c_str());
    }
    if (options.json) {
        std::printf("%s\n", resultJson(segments, graphFrames, inputFrames).c_str());
    } else if (options.quiet) {
        std::printf("%s\n", tools::validUtf8(finalText).c_str());
    }
    std::fflush(stdout);
}

} // namespace ombrix::transcribe
