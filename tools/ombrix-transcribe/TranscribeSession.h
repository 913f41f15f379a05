#pragma once

// The transcription of one input: the graph (the input as its source, the speech-to-text
// node as its sink), its pacing, the calls of transcribe() and what is printed.

#include "AudioInput.h"
#include "Model.h"
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
    TranscribeSession(
        const Options& options, tools::AudioInput& input, CountingSTTNode& node, const ModelFiles& model);

    /// Plays the input through the graph, prints the texts; the exit status.
    int run();

private:
    void status(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    /// After a block: transcribes when due, ends a segment when due.
    void afterBlock(std::uint64_t graphFrames, std::uint64_t silentRun, bool last);
    /// transcribe(), joined to the finished segments' text.
    void takeText(std::uint64_t graphFrames);
    /// Records the whole text so far; prints it when it changed.
    void noteText(std::uint64_t graphFrames, const std::string& text);
    void progress(std::uint64_t graphFrames);
    double seconds(std::uint64_t frames) const { return static_cast<double>(frames) / rate; }
    double wallNow() const { return std::chrono::duration<double>(Clock::now() - wallStart).count(); }
    void printResult(std::uint64_t graphFrames, std::uint64_t inputFrames);

    const Options& options;
    tools::AudioInput& input;
    CountingSTTNode& node;
    const ModelFiles& model;
    const int rate;
    const unsigned blockFrames;
    std::uint64_t intervalFrames = 0;
    bool intervalClamped = false;
    std::uint64_t tailFrames = 0;
    std::uint64_t segmentFrames = 0;
    std::uint64_t segmentSilenceFrames = 0;

    Clock::time_point wallStart;
    std::uint64_t nextTranscribe = 0;
    std::uint64_t segmentStart = 0;
    std::string keptText; // text of the finished segments
    std::string shownText;
    std::string finalText;
    std::vector<TimedText> timeline;
    unsigned segments = 1;
    std::vector<double> minuteWall; // wall time at the end of each minute of graph time
    ombrix::tools::Progress progressLine{stderr, !options.quiet && !options.realtime};
};

} // namespace ombrix::transcribe
