#pragma once

// The command line of ombrix-transcribe.

#include "AudioInput.h"

#include <optional>
#include <string>

#include "host/Logger.h"

namespace ombrix::transcribe {

inline constexpr const char* kProgramName = "ombrix-transcribe";

inline constexpr double kDefaultIntervalSeconds = 1.0;
inline constexpr unsigned kMaxBlockFrames = 65536;
/// Silence played after the input so that the recogniser decodes what it holds back.
/// Measured with the tone-burst recogniser of the tests, on bursts that end exactly at the
/// end of the input: 0.01 to 0.26 s of silence is needed, depending on where the input
/// ends in the recogniser's decoding grid (a period of 0.32 s; the same at 16000, 44100
/// and 48000 Hz). 0.6 s leaves more than twice that, also for models with longer chunks.
inline constexpr double kTailSilenceSeconds = 0.6;

struct Options {
    std::string input;
    bool raw = false;
    int rawRate = 0;
    unsigned rawChannels = 1;
    tools::RawFormat rawFormat = tools::RawFormat::S16;
    std::string modelPath;
    std::string tokensPath;
    std::string graphPath;
    unsigned blockFrames = 0; // 0: 10 ms
    double intervalSeconds = kDefaultIntervalSeconds;
    double tailSeconds = kTailSilenceSeconds;
    bool realtime = false;
    /// --segment was given (it is accepted and ignored).
    bool segmentGiven = false;
    bool json = false;
    bool outputTxt = false;
    bool outputSrt = false;
    bool outputVtt = false;
    bool outputJson = false;
    /// The transcript files' name without the extension; the input's name by default.
    std::string outputBase;
    bool quiet = false;
    LogLevel logLevel = LogLevel::Warning;
};

/// The --help text, on standard output.
void printHelp();

/// The options of the command line; nullopt when the program is done (--help, --version).
/// tools::UsageError for a command line that cannot be followed.
std::optional<Options> parseOptions(int argc, char** argv);

} // namespace ombrix::transcribe
