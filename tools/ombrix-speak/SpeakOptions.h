#pragma once

// The command line of ombrix-speak.

#include "host/GraphRunner.h"
#include "host/Logger.h"

#include <optional>
#include <ostream>
#include <string>

namespace ombrix::speak {

struct Options {
    std::string text;
    std::string outputPath = "ombrix-speak.wav";
    int sampleRate = 48000;
    unsigned channels = 2;
    unsigned blockSize = 480;
    std::string modelPath;
    std::string tokensPath;
    std::string dataDirPath;
    std::string pluginPath;
    bool stream = false;
    double wordsPerSecond = 4.0;
    LogLevel logLevel = LogLevel::Warning;
    double maxGraphSeconds = 0.0; // 0: automatic
    ombrix::WavWriter::Format format = ombrix::WavWriter::Format::Pcm16;
    bool showLibraries = false;
};

/// The --help text.
void printHelp(std::ostream& out);

/// The options of the command line, with the text read from standard input when it is
/// not given as arguments. nullopt when --help was asked for; tools::UsageError for a
/// command line that cannot be followed.
std::optional<Options> parseOptions(int argc, char** argv);

} // namespace ombrix::speak
