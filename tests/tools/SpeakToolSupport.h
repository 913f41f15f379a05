#pragma once

// Helpers for the tests that run ombrix-speak (and the installation around it) as a
// separate program: a scratch directory, the parsed timeline the program prints, the
// engine's own samples for a text as the reference, and a search for those samples in
// a WAV file.

#include "host/GraphRunner.h"
#include "support/Subprocess.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace ombrix::testing {

/// A fresh directory under the system's temporary directory, removed with everything in
/// it on destruction.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return root; }

private:
    std::filesystem::path root;
};

/// One piece of text as ombrix-speak reports it in its timeline.
struct SpokenPiece {
    enum class End { None, Finished, Interrupted };

    std::string text; ///< as the timeline gives it: shortened when long
    std::size_t textBytes = 0; ///< the piece's full length
    double startedSeconds = -1.0; ///< graph time of "synthesisStarted"
    double playingSeconds = -1.0; ///< graph time its audio was first heard (or taken to be)
    End end = End::None;
    double finishedSeconds = -1.0;
    int interruptedBy = 0; ///< 1-based number of the piece that cut it off
    double heardBeforeInterruption = -1.0; ///< seconds of its audio heard at least (0: unknown)
};

/// The timeline ombrix-speak printed (on standard error, with all its status).
struct SpeakTimeline {
    std::vector<SpokenPiece> pieces;
    bool lastWordSent = false;
    bool outputEnded = false;
    /// Lines that start with a time but were not understood (a format change shows here).
    std::vector<std::string> unknownLines;
};

/// Parses the program's standard error; throws std::runtime_error on a malformed
/// piece line.
SpeakTimeline parseTimeline(const std::string& standardOutput);

/// The files of a piper voice.
struct VoicePaths {
    std::string model;
    std::string tokens;
    std::string dataDir;
};

/// The build tree's synthetic voice in its ONNX form (fixtures/voice-en).
VoicePaths fixtureVoice();
/// The default English voice below the base directory `base` (build tree or prefix).
VoicePaths defaultVoiceBelow(const std::filesystem::path& base);

/// The engine's mono 16000 Hz samples for `text`, generated in this process straight
/// through the sherpa-onnx C interface (speaker 0, speed 1), as the node generates them.
/// The phoneme data is always the build tree's (see the definition). Empty when the
/// engine cannot be created.
std::vector<float> engineSamples(const VoicePaths& voice, const std::string& text);

/// `samples` at 16000 Hz converted to `sampleRate` with libsoxr (high quality, in one go),
/// with 10 ms of silence before and 50 ms after them, so that the filter's ringing on both
/// sides is part of the result (the samples themselves start 10 ms into it).
std::vector<float> resampleFrom16k(const std::vector<float>& samples, int sampleRate);

/// Where a reference sits in a signal and how far it is from it there.
struct Placement {
    /// Index in the signal of the reference's sample 0; negative when the reference's
    /// lead silence lies before the signal's start.
    std::ptrdiff_t offset = 0;
    double maxError = 1e9; ///< largest |signal - reference| over the compared part
    double referencePeak = 0; ///< largest |reference| over the compared part
};

/**
 * Searches offsets `first`..`last` of `signal` for the one where the reference's samples
 * [compareBegin, compareBegin + probeLength) fit best (least squares), then measures the
 * largest difference over the reference's samples [compareBegin, compareEnd) there.
 * The signal counts as silence outside its samples, so a reference that runs past the
 * signal's end differs there by its own size.
 */
Placement placeReference(const std::vector<float>& signal, const std::vector<float>& reference,
    std::ptrdiff_t first, std::ptrdiff_t last, std::size_t compareBegin, std::size_t compareEnd,
    std::size_t probeLength);

/// Largest |signal| over [begin, end).
double peak(const std::vector<float>& signal, std::size_t begin, std::size_t end);

/// Sum of squares of signal[begin, end).
double energy(const std::vector<float>& signal, std::size_t begin, std::size_t end);

/// A WAV file's header fields, read from the bytes independently of the SDK's reader.
struct WavHeader {
    bool valid = false;
    std::string problem;
    unsigned formatTag = 0; ///< 1 PCM, 3 IEEE float (from the extensible sub-format if used)
    unsigned channels = 0;
    unsigned sampleRate = 0;
    unsigned bitsPerSample = 0;
    unsigned blockAlign = 0;
    unsigned byteRate = 0;
    std::size_t dataBytes = 0;
    /// The RIFF and data sizes are the unknown-size marker 0xFFFFFFFF of a stream
    /// (dataBytes then counts up to the end of the file).
    bool unknownSizes = false;
};
WavHeader readWavHeader(const std::string& path);

/// Options that start a program with these arguments (and everything else as default).
SubprocessOptions withArguments(std::vector<std::string> programArguments);

/// Path of ombrix-speak in the build tree.
std::string speakToolInBuildTree();

} // namespace ombrix::testing
