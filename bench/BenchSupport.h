#pragma once

// Shared pieces of the benchmark programs: the figure table (which benchmark is measured
// against which baseline, and the target), the fixture voices and recogniser, a block
// puller standing in for the host's audio thread, a deterministic token stream, and the
// process's resident memory.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "host/Node.h"

namespace ombrix::bench {

// ---- figures ---------------------------------------------------------------------------

/// How a figure's value compares with its target.
enum class Goal {
    AtMost, ///< value <= target passes
    AtLeast, ///< value >= target passes
    Info, ///< no target: the value is reported only
};

/// How a figure's value is computed from the two medians (times in nanoseconds, each
/// multiplied by its scale first).
enum class Measure {
    Ratio, ///< subject / baseline
    InverseRatio, ///< baseline / subject (a throughput ratio: > 1 means the subject is faster)
    DifferenceMs, ///< (subject - baseline) in milliseconds
};

/// Which clock of the benchmark runs a figure uses.
enum class Clock {
    Cpu, ///< CPU time of the benchmark thread: robust against preemption on a busy machine
    Real, ///< wall time (the subject involves other threads)
    Manual, ///< the time the benchmark reports itself (SetIterationTime), e.g. process CPU time
};

struct Figure {
    std::string id;
    std::string title;
    /// Benchmark names as registered (function names without arguments).
    std::string subject;
    std::string baseline;
    Measure measure = Measure::Ratio;
    Goal goal = Goal::AtMost;
    double target = 1.0;
    Clock clock = Clock::Cpu;
    /// Multiplies each side's median time per iteration (for per-item figures).
    double subjectScale = 1.0;
    double baselineScale = 1.0;
    /// How the repetitions of each side are summarised: the median by default; the
    /// minimum where the noise is one-sided and large (other threads of the dependency
    /// competing with the machine's other load), so that the least disturbed runs are
    /// compared.
    enum class Statistic { Median, Minimum } statistic = Statistic::Median;
    /// Printed after the target, e.g. "x" or " ms".
    std::string unit = "x";
    /// Extra text for the table, e.g. the subject's absolute time per item.
    enum class Note { None, SubjectPerItemNs, BothMs } note = Note::None;
};

/// Adds a figure to the table printed after the runs. Call during static initialisation
/// (next to the BENCHMARK registrations of the two benchmarks it uses), or from a late
/// registration.
bool registerFigure(Figure figure);
const std::vector<Figure>& registeredFigures();

/// The real-size mode (ombrix_bench --real-size): benchmarks on models as large as the
/// published ones run too. Their models are generated only for this mode (the CMake target
/// ombrix_real_size_fixtures, which `make bench BENCH_ARGS=--real-size` builds).
bool realSizeMode();
void setRealSizeMode(bool on);
/// Adds a function that main runs once the command line has been read, before any
/// benchmark runs: for benchmarks and figures that exist only in some modes. Call during
/// static initialisation.
bool registerLateRegistration(void (*registration)());
void runLateRegistrations();

// ---- environment ---------------------------------------------------------------------

/// Replaces the host logger's stderr sink by one that only counts lines, so that log
/// output neither floods the benchmark report nor costs terminal I/O inside a figure.
void installQuietLogger();
std::uint64_t quietLoggerLines();

struct VoiceFiles {
    std::string model;
    std::string tokens;
    std::string dataDirectory;
};
/// <fixtures>/<name>/{model.onnx,tokens.txt,espeak-ng-data}.
VoiceFiles fixtureVoice(const std::string& name);

struct RecogniserFiles {
    std::string model;
    std::string tokens;
    std::string graph;
};
/// <fixtures>/asr/{model.onnx,tokens.txt,HLG.fst}.
RecogniserFiles fixtureRecogniser();

/// A text of about `sentences` short English sentences (the synthetic voice speaks every
/// phoneme token as 200 samples, so the audio length follows the text length).
std::string sentences(std::size_t count);

/// A deterministic stream of `count` tokens that looks like a language model's output:
/// words with their leading space, commas, sentence ends, now and then a number with a
/// decimal point and a word split into two tokens. Same tokens for the same count.
std::vector<std::string> tokenStream(std::size_t count);

/// Resident set size of this process in KiB (from /proc/self/statm); 0 if unreadable.
std::size_t residentKiB();

// ---- audio -------------------------------------------------------------------------------

/// Pulls blocks from a source node like the host's audio thread: owns the channel arrays,
/// sets the bus format once, and calls produce once per pull. No allocation per pull.
class BlockPuller {
public:
    BlockPuller(SingleBusAudioSourceNode& node, int sampleRate, unsigned channels, unsigned frames);
    BlockPuller(const BlockPuller&) = delete;
    BlockPuller& operator=(const BlockPuller&) = delete;

    bool pull();
    /// True when any sample of the last block is not zero.
    bool lastBlockHasSound() const;
    const float* channel(unsigned index) const { return storage[index].data(); }
    unsigned frames() const { return frameCount; }

private:
    SingleBusAudioSourceNode& node;
    unsigned frameCount;
    std::vector<std::vector<float>> storage;
    std::vector<float*> pointers;
    AudioBuffer<float> buffer;
    AudioBus bus;
};

} // namespace ombrix::bench
