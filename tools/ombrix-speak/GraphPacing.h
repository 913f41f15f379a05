#pragma once

// What the speak session needs to know about the graph's audio: how far the node's
// resampler delays it, where sound begins in a block, and the wall-clock pacing of
// blocks while the node works.

#include "host/AudioBuffer.h"

#include <chrono>
#include <optional>
#include <sys/types.h>

#include <thread>
#include <vector>

namespace ombrix::speak {

using Clock = std::chrono::steady_clock;

// The node produces 16000 Hz audio in blocks of 160 frames and puts a host resampler with
// these parameters in front of any other graph rate.
constexpr int kNodeInnerSampleRate = 16000;
constexpr int kNodeInnerBlockSize = 160;

// A block whose peak stays below this (-80 dBFS) counts as silence.
constexpr float kSilencePeak = 1.0e-4f;

/// Frames (at the graph rate) by which a resampler like the node's delays its audio.
double resamplerLatencyFrames(int sampleRate, unsigned channels, unsigned blockSize);

/// The first frame of the block in which any channel reaches the silence threshold.
std::optional<unsigned> firstAudibleFrame(const ombrix::AudioBuffer<float>& buffer);

/**
 * The threads a node started (its synthesis worker, and any thread the speech engine
 * starts while the node is created), watched from outside: whether any of them is
 * working (running or waiting for a core), and how much processor time they have used
 * together. A thread that waits (for text, or on a lock) is not working.
 *
 * Reads /proc/self/task and the threads' CPU clocks; allocates; main thread only.
 */
class NodeThreads {
public:
    /// The process's threads now.
    static std::vector<pid_t> current();

    /// Watches the threads present now that were not in `before` (the caller's own excepted).
    void adoptNewThreads(const std::vector<pid_t>& before);

    bool anyWorking() const;
    std::chrono::nanoseconds cpuTime() const;
    std::size_t size() const { return threads.size(); }

private:
    std::vector<pid_t> threads;
};

/**
 * Paces the graph on the node's own work instead of the wall clock: while the node's
 * threads work, one block of graph time passes per block duration of their processor
 * time, as if an audio device pulled blocks in real time on a machine whose other load
 * does not matter; while none of them works, blocks cost nothing. So where the node's
 * audio lands in graph time depends on how much work its synthesis takes, never on how
 * busy the machine is or how the threads are scheduled.
 */
class NodeWorkPacer {
public:
    NodeWorkPacer(const NodeThreads& threads, std::chrono::nanoseconds blockDuration);

    /// Call before each block. Returns at once while the node is idle; otherwise once its
    /// threads have used one block duration of processor time since the previous block,
    /// or have stopped working. Returns whether the node was working.
    bool beforeBlock();

private:
    const NodeThreads& threads;
    std::chrono::nanoseconds block;
    std::chrono::nanoseconds credited{0};
};

} // namespace ombrix::speak
