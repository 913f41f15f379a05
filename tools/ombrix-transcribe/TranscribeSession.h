#pragma once

// The transcription of one input: the graph (the input as its source, the speech-to-text
// node as its sink), its pacing, the calls of transcribe() and what is printed.

#include "AudioInput.h"
#include "TranscribeOptions.h"
#include "TranscribeOutput.h"
#include "tools/common/Progress.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "ombrix/sherpa/SherpaSTTNode.h"

namespace ombrix::transcribe {

/// The recogniser's sample rate (the streaming Zipformer2 CTC models' 16000 Hz, which the
/// node's configuration leaves to the model).
inline constexpr int kModelSampleRate = 16000;

// The speech-to-text node, counting the frames it could not store.
class CountingSTTNode : public extensions::sherpa::SherpaSTTNode {
public:
    using extensions::sherpa::SherpaSTTNode::consume;
    bool consume(ombrix::AudioBus& bus) override
    {
        const bool stored = extensions::sherpa::SherpaSTTNode::consume(bus);
        if (!stored && bus.getBuffer() != nullptr) {
            droppedFrames.fetch_add(bus.getBuffer()->getNumberOfFrames(), std::memory_order_relaxed);
        }
        return stored;
    }
    std::uint64_t getDroppedFrames() const { return droppedFrames.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> droppedFrames{0};
};

class TranscribeSession {
public:
    using Clock = std::chrono::steady_clock;

    /// Checks the block and interval against the node's ring (tools::UsageError).
    TranscribeSession(const Options& options, tools::AudioInput& input, CountingSTTNode& node);

    /// Plays the input through the graph, prints the texts; the exit status.
    int run();

private:
    void status(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    /// After a block: transcribes when due.
    void afterBlock(std::uint64_t graphFrames, bool last);
    /// transcribe(), and the segments that became final on standard output.
    void takeText();
    void progress(std::uint64_t graphFrames);
    double seconds(std::uint64_t frames) const { return static_cast<double>(frames) / rate; }
    double wallNow() const { return std::chrono::duration<double>(Clock::now() - wallStart).count(); }
    /// The real-time factor of each whole minute of graph time.
    std::vector<double> perMinute() const;
    std::string resultJson(
        const std::vector<Segment>& segments, std::uint64_t graphFrames, std::uint64_t inputFrames) const;
    void writeTranscripts(
        const std::vector<Segment>& segments, std::uint64_t graphFrames, std::uint64_t inputFrames) const;
    void printResult(
        const std::vector<Segment>& segments, std::uint64_t graphFrames, std::uint64_t inputFrames) const;

    const Options& options;
    tools::AudioInput& input;
    CountingSTTNode& node;
    /// The recogniser's own rate: the input is converted to it, so the recogniser never
    /// converts.
    const int rate = kModelSampleRate;
    const unsigned blockFrames;
    std::uint64_t intervalFrames = 0;
    bool intervalClamped = false;
    std::uint64_t tailFrames = 0;

    Clock::time_point wallStart;
    std::uint64_t nextTranscribe = 0;
    std::string finalText;
    std::vector<double> minuteWall; // wall time at the end of each minute of graph time
    LiveOutput live{stdout, !options.json && !options.quiet};
    ombrix::tools::Progress progressLine{
        stderr, !options.quiet && !options.realtime && !(live.isEnabled() && live.isTerminal())};
};

} // namespace ombrix::transcribe
