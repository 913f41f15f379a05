#pragma once

// What the speak session needs to know about the graph's audio: how far the node's
// resampler delays it, where sound begins in a block, and the wall-clock pacing of
// blocks while the node works.

#include "host/AudioBuffer.h"

#include <chrono>
#include <optional>
#include <thread>

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

// Paces blocks at wall-clock speed, as an audio device would pull them, whenever asked;
// blocks pulled without it cost no wall time at all.
class WallClockPacer {
public:
    explicit WallClockPacer(Clock::duration blockDuration)
        : block(blockDuration)
    {
    }

    // Call once before each block; blocks until that block's time when `paced`.
    void beforeBlock(bool paced)
    {
        if (paced) {
            if (!wasPaced) {
                deadline = Clock::now();
            }
            std::this_thread::sleep_until(deadline);
            deadline += block;
        }
        wasPaced = paced;
    }

private:
    Clock::duration block;
    Clock::time_point deadline;
    bool wasPaced = false;
};

} // namespace ombrix::speak
