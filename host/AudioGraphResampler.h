#pragma once

#include <functional>
#include <memory>

#include "AudioBus.h"
#include "OmbrixExport.h"

namespace ombrix {

// Runs part of a graph at a fixed inner rate and block size inside a graph of
// another rate (pull mode). process(in, out) fills every output bus at the
// sample rate of its buffer by calling the process callback with output buses
// of innerBlockSize frames at innerSampleRate as often as needed; converted
// samples that do not fit the current output block are kept for the next.
// Conversion is done by libsoxr. process() allocates only when the outer rate,
// channel count or block size changes (and on its first call); in steady state
// it allocates nothing and takes no lock. Not thread-safe: one audio thread.
class OMBRIX_SDK_API AudioGraphResampler {
public:
    using ProcessCallback = std::function<bool(AudioBusList& inputs, AudioBusList& outputs)>;

    AudioGraphResampler(int innerSampleRate, int innerBlockSize);
    ~AudioGraphResampler();
    AudioGraphResampler(const AudioGraphResampler&) = delete;
    AudioGraphResampler& operator=(const AudioGraphResampler&) = delete;

    // Input buses are not supported yet: inputs must be 0. Outputs: 0 or 1.
    void setNumberOfBuses(unsigned inputs, unsigned outputs);
    void setProcessCallback(ProcessCallback callback);

    // Returns false when there is no callback or it returned false; the
    // output block is then silence.
    bool process(AudioBusList& inputs, AudioBusList& outputs);

    // Configures for an outer rate and channel count ahead of the first
    // process() call, so that the allocation and the converter's warm-up (a few
    // milliseconds of work) happen on the caller's thread rather than in the
    // first audio block. process() with that format then allocates nothing.
    // Logs an error and leaves the resampler unconfigured for a format it
    // cannot convert to.
    void prepare(int outerSampleRate, unsigned numberOfChannels);

    int getInnerSampleRate() const;
    int getInnerBlockSize() const;
    // Frames (at the outer rate) by which the output lags the inner signal:
    // output frame n carries the inner signal at time (n - latency) / outerRate,
    // counted from the first process() call. Below one frame; 0 before the
    // first configuration. The callback runs ahead of the output by the
    // converter's look-ahead (tens of milliseconds), so an inner node sees its
    // samples pulled before they are heard.
    double getLatencyFrames() const;
    // Forgets buffered samples and filter state. Rebuilds the converter, so it
    // allocates: call it from a control thread while process() is not running.
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace ombrix
