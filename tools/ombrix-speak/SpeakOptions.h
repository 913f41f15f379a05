#pragma once

// The command line of ombrix-speak.

#include "host/GraphRunner.h"
#include "host/Logger.h"

#include <optional>
#include <ostream>
#include <string>

namespace ombrix::speak {

struct Options {
    /// What the command line asks for: speaking, or only --help or --version.
    enum class Request { Speak, Help, Version, ListVoices };
    Request request = Request::Speak;

    std::string text;
    /// -f/--input-file: the text is read from this file ("-": standard input) by
    /// readInputFile, after the command line.
    std::string inputFile;
    /// Empty until parseOptions ends: "ombrix-speak.wav", or standard output ("-") with
    /// --output-raw.
    std::string outputPath;
    /// --output-raw: headerless 16-bit little-endian PCM instead of a WAV file.
    bool outputRaw = false;
    int sampleRate = 48000;
    unsigned channels = 2;
    unsigned blockSize = 480;
    /// An installed voice by name (share/files/voices/<name>/), instead of --model.
    std::string voiceName;
    std::string modelPath;
    std::string tokensPath;
    std::string dataDirPath;
    std::string pluginPath;
    /// -s/--speaker (--sid); --speed, or 1 / --length-scale. Unset: the node's defaults
    /// (speaker 0, speed 1).
    std::optional<long> speaker;
    std::optional<double> speed;
    bool stream = false;
    double wordsPerSecond = 4.0;
    LogLevel logLevel = LogLevel::Warning;
    double maxGraphSeconds = 0.0; // 0: automatic
    ombrix::WavWriter::Format format = ombrix::WavWriter::Format::Pcm16;
    bool showLibraries = false;
    /// -q: nothing on standard error but errors.
    bool quiet = false;
};

/// The --help text.
void printHelp(std::ostream& out);

/// The options of the command line (getopt_long), with the text read from standard input
/// when it is not given as arguments and speaking was asked for. tools::UsageError for a
/// command line that cannot be followed.
Options parseOptions(int argc, char** argv);

} // namespace ombrix::speak
