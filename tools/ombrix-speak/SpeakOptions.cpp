#include "SpeakOptions.h"

#include "tools/common/CommandLine.h"
#include "tools/common/ToolCommon.h"

#include <iostream>
#include <iterator>
#include <vector>

namespace ombrix::speak {

namespace {

using ombrix::LogLevel;
using tools::OptionSpec;

/// The node's range of speeds (its "speed" and 1 / piper's length scale).
constexpr double kMinimumSpeed = 0.25;
constexpr double kMaximumSpeed = 4.0;
constexpr long kMaximumSpeaker = 2147483647;

enum OptionId {
    kOutput,
    kRate,
    kChannels,
    kBlock,
    kFormat,
    kModel,
    kTokens,
    kDataDir,
    kStream,
    kSpeaker,
    kSpeed,
    kLengthScale,
    kWordsPerSecond,
    kPlugin,
    kLogLevel,
    kMaxSeconds,
    kShowLibraries,
    kVoice,
    kListVoices,
    kQuiet,
    kVersion,
    kHelp,
    kInputFile,
    kOutputRaw,
};

const std::vector<OptionSpec>& optionTable()
{
    using Argument = OptionSpec::Argument;
    static const std::vector<OptionSpec> table = {
        {"output", 'o', Argument::Required, kOutput},
        {"rate", 'r', Argument::Required, kRate},
        {"channels", 'c', Argument::Required, kChannels},
        {"block", 'b', Argument::Required, kBlock},
        {"format", 0, Argument::Required, kFormat},
        {"model", 0, Argument::Required, kModel},
        {"tokens", 0, Argument::Required, kTokens},
        {"data-dir", 0, Argument::Required, kDataDir},
        {"stream", 0, Argument::Optional, kStream},
        {"speaker", 's', Argument::Required, kSpeaker},
        {"sid", 0, Argument::Required, kSpeaker},
        {"speed", 0, Argument::Required, kSpeed},
        {"length-scale", 0, Argument::Required, kLengthScale},
        {"words-per-second", 0, Argument::Required, kWordsPerSecond},
        {"plugin", 0, Argument::Required, kPlugin},
        {"log-level", 0, Argument::Required, kLogLevel},
        {"max-seconds", 0, Argument::Required, kMaxSeconds},
        {"show-libraries", 0, Argument::None, kShowLibraries},
        {"voice", 0, Argument::Required, kVoice},
        {"list-voices", 0, Argument::None, kListVoices},
        {"quiet", 'q', Argument::None, kQuiet},
        {"version", 0, Argument::None, kVersion},
        {"help", 'h', Argument::None, kHelp},
        {"input-file", 'f', Argument::Required, kInputFile},
        {"output-raw", 0, Argument::None, kOutputRaw},
    };
    return table;
}

void apply(Options& options, const tools::ParsedOption& option)
{
    const std::string& name = option.name;
    const std::string& value = option.value;
    switch (option.id) {
    case kOutput:
        options.outputPath = value;
        break;
    case kRate:
        options.sampleRate = static_cast<int>(tools::parseInteger(name, value, 1000, 768000));
        break;
    case kChannels:
        options.channels = static_cast<unsigned>(tools::parseInteger(name, value, 1, 2));
        break;
    case kBlock:
        options.blockSize = static_cast<unsigned>(tools::parseInteger(name, value, 16, 65536));
        break;
    case kFormat:
        if (value == "pcm16") {
            options.format = ombrix::WavWriter::Format::Pcm16;
        } else if (value == "float") {
            options.format = ombrix::WavWriter::Format::Float32;
        } else {
            throw tools::UsageError("option --format wants pcm16 or float, not '" + value + "'");
        }
        break;
    case kModel:
        options.modelPath = value;
        break;
    case kTokens:
        options.tokensPath = value;
        break;
    case kDataDir:
        options.dataDirPath = value;
        break;
    case kStream:
        options.stream = !option.hasValue || tools::parseYesNo(name, value);
        break;
    case kSpeaker:
        options.speaker = tools::parseInteger(name, value, 0, kMaximumSpeaker);
        break;
    case kSpeed:
    case kLengthScale: {
        if (options.speed) {
            throw tools::UsageError("give the speed once, with either --speed or --length-scale");
        }
        const double number = tools::parsePositive(name, value);
        const double speed = option.id == kSpeed ? number : 1.0 / number;
        if (speed < kMinimumSpeed || speed > kMaximumSpeed) {
            throw tools::UsageError(option.id == kSpeed
                    ? "option --speed wants a number from 0.25 to 4, not '" + value + "'"
                    : "option --length-scale wants a number from 0.25 to 4, not '" + value + "'");
        }
        options.speed = speed;
        break;
    }
    case kWordsPerSecond:
        options.wordsPerSecond = tools::parsePositive(name, value);
        break;
    case kPlugin:
        options.pluginPath = value;
        break;
    case kLogLevel:
        if (!ombrix::Logger::parseLevel(value, options.logLevel)) {
            throw tools::UsageError(
                "option --log-level wants trace, debug, info, warning, error or none, not '" + value + "'");
        }
        break;
    case kMaxSeconds:
        options.maxGraphSeconds = tools::parsePositive(name, value);
        break;
    case kVoice:
        options.voiceName = value;
        break;
    case kListVoices:
        options.request = Options::Request::ListVoices;
        break;
    case kShowLibraries:
        options.showLibraries = true;
        break;
    case kQuiet:
        options.quiet = true;
        break;
    case kVersion:
        options.request = Options::Request::Version;
        break;
    case kHelp:
        options.request = Options::Request::Help;
        break;
    case kInputFile:
        if (value.empty()) {
            throw tools::UsageError("option --input-file wants a file name (\"-\" for standard input)");
        }
        options.inputFile = value;
        break;
    case kOutputRaw:
        options.outputRaw = true;
        break;
    }
}

} // namespace

void printHelp(std::ostream& out)
{
    out << R"(Usage: ombrix-speak [options] [--] [TEXT...]
Speaks TEXT (the arguments joined by spaces; standard input when there are none or
TEXT is "-") through the Sherpa text-to-speech plug-in and writes the audio to a WAV file.
Options take their value as "--rate 16000", "--rate=16000", "-r 16000" or "-r16000";
"--" ends the options (for a text that starts with "-").

Input:
  -f, --input-file FILE    read the text from FILE instead ("-": standard input), as
                           it is (line ends at its end dropped); at most 8 MiB

Output:
  -o, --output FILE        WAV file to write (default: ombrix-speak.wav); "-" writes it
                           to standard output (on a pipe with the unknown-size marker
                           0xFFFFFFFF as its RIFF and data sizes)
      --output-raw         write the samples without a WAV header: 16-bit signed
                           little-endian PCM at the graph rate, channels interleaved,
                           to the -o file or, without -o, to standard output. To play
                           it while it is made:
                             ombrix-speak --output-raw "Hello." | aplay -t raw -f S16_LE -r 48000 -c 2
                           (give aplay the same -r and -c as ombrix-speak)
  -r, --rate HZ            graph sample rate (default: 48000)
  -c, --channels N         1 or 2 (default: 2)
  -b, --block FRAMES       frames per graph block (default: 480)
      --format F           pcm16 or float (default: pcm16)

Voice (default: the English voice of this installation, in <prefix>/share/files/en_GB/,
which <prefix>/bin/ombrix-install-voice installs):
      --model FILE         voice model (.onnx, or .ort in ORT format); loaded with the
                           node's "loadModel" action
      --tokens FILE        tokens file (default: tokens.txt next to the model)
      --data-dir DIR       espeak-ng data (default: espeak-ng-data next to the model)
      --voice NAME         an installed voice by name (see --list-voices), for example
                           vits-piper-en_US-amy-low
      --list-voices        list the installed voices: name, language, sample rate
  -s, --speaker N          speaker N of a voice with several (alias --sid; default: 0);
                           a speaker the voice does not have is refused
      --speed X            speaking rate, from 0.25 to 4 (default: 1; 2 is twice as fast)
      --length-scale L     the same as piper's length scale: --speed 1/L (give one of
                           the two)

Streaming:
      --stream[=yes|no]    feed the text word by word with "appendStreamingText"
                           ("isFinal" on the last word); the node speaks it at
                           sentence boundaries (default: no)
      --words-per-second N
                           feeding pace in graph time (default: 4)

Other:
      --plugin FILE        plug-in library (default: <prefix>/lib/libOmbrixSherpa.so)
      --log-level L        trace, debug, info, warning, error or none (default: warning)
      --max-seconds S      give up after S seconds of graph time (default: from the
                           text length; generous)
      --show-libraries     list the shared libraries the program has loaded
  -q, --quiet              print nothing but errors
      --version            print the version and the loaded sherpa-onnx version
  -h, --help               this text

Everything but the WAV data goes to standard error: the graph, the node's timeline
(graph time and wall time of each event; long texts shortened), progress on long
renderings, and a summary.

Exit status: 0 done; 2 usage error; 3 no voice or the voice did not load;
4 the plug-in or the input file could not be loaded or used; 5 rendering failed
(output, time limit, the speech engine failed, or a piece gave no audio).
)";
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    std::size_t firstLiteral = 0;
    const std::vector<std::string> operands = tools::parseCommandLine(
        argc, argv, optionTable(), [&](const tools::ParsedOption& option) { apply(options, option); },
        &firstLiteral);
    if (options.outputRaw && options.format == ombrix::WavWriter::Format::Float32) {
        throw tools::UsageError("--output-raw writes 16-bit PCM; --format float goes with WAV output");
    }
    if (options.outputPath.empty()) {
        options.outputPath = options.outputRaw ? "-" : "ombrix-speak.wav";
    }
    if (options.request != Options::Request::Speak) {
        return options;
    }
    bool textFromStdin = false;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < operands.size(); ++i) {
        const std::string& operand = operands[i];
        if (operand == "-" && i < firstLiteral) {
            textFromStdin = true;
        } else {
            words.push_back(operand);
        }
    }
    if ((!options.tokensPath.empty() || !options.dataDirPath.empty()) && options.modelPath.empty()) {
        throw tools::UsageError("--tokens and --data-dir go with --model");
    }
    if (!options.voiceName.empty() && !options.modelPath.empty()) {
        throw tools::UsageError("give either --voice or --model, not both");
    }
    if (!words.empty() && textFromStdin) {
        throw tools::UsageError("give the text either as arguments or on standard input (\"-\"), not both");
    }
    if (!options.inputFile.empty()) {
        if (!words.empty() || textFromStdin) {
            throw tools::UsageError("give the text either with --input-file or as arguments, not both");
        }
        return options; // read by readInputFile
    }
    if (words.empty()) {
        options.text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        // The line end that `echo` and editors leave at the end is not part of the text.
        while (!options.text.empty() && (options.text.back() == '\n' || options.text.back() == '\r')) {
            options.text.pop_back();
        }
    } else {
        for (std::size_t i = 0; i < words.size(); ++i) {
            options.text += (i ? " " : "") + words[i];
        }
    }
    if (options.text.empty()) {
        throw tools::UsageError("no text given (pass it as arguments or on standard input)");
    }
    return options;
}

} // namespace ombrix::speak
