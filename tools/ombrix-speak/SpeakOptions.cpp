#include "SpeakOptions.h"

#include "tools/common/ToolCommon.h"

#include <iostream>
#include <iterator>
#include <vector>

namespace ombrix::speak {

namespace {

using ombrix::LogLevel;

std::string requireValue(const std::vector<std::string>& args, std::size_t& i, const std::string& name,
    const std::optional<std::string>& inlineValue)
{
    if (inlineValue) {
        return *inlineValue;
    }
    if (i + 1 >= args.size()) {
        throw tools::UsageError("option " + name + " needs a value");
    }
    return args[++i];
}

} // namespace

void printHelp(std::ostream& out)
{
    out << R"(Usage: ombrix-speak [options] [TEXT...]
Speaks TEXT (the arguments joined by spaces; standard input when there are none or
TEXT is "-") through the Sherpa text-to-speech plug-in and writes the audio to a WAV file.

Output:
  -o, --output FILE        WAV file to write (default: ombrix-speak.wav)
  -r, --rate HZ            graph sample rate (default: 48000)
  -c, --channels N         1 or 2 (default: 2)
  -b, --block FRAMES       frames per graph block (default: 480)
      --format F           pcm16 or float (default: pcm16)

Voice (default: the English voice of this installation,
<prefix>/share/files/en_GB/vits-piper-en_GB-southern_english_female-low/):
      --model FILE         voice model (.onnx, or .ort in ORT format); loaded with the
                           node's "loadModel" action
      --tokens FILE        tokens file (default: tokens.txt next to the model)
      --data-dir DIR       espeak-ng data (default: espeak-ng-data next to the model)

Streaming:
      --stream             feed the text word by word with "appendStreamingText"
                           ("isFinal" on the last word); the node speaks it at
                           sentence boundaries
      --words-per-second N feeding pace in graph time (default: 4)

Other:
      --plugin FILE        plug-in library (default: <prefix>/lib/libOmbrixSherpa.so)
      --log-level L        trace, debug, info, warning, error or none (default: warning)
      --max-seconds S      give up after S seconds of graph time (default: from the
                           text length; generous)
      --show-libraries     list the shared libraries the program has loaded
  -h, --help               this text

Exit status: 0 done; 2 usage error; 3 no voice or the voice did not load;
4 the plug-in could not be loaded or used; 5 rendering failed (output, time limit).
)";
}

std::optional<Options> parseOptions(int argc, char** argv)
{
    Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> words;
    bool textFromStdin = false;
    bool onlyText = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (onlyText || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg == "-" && !onlyText) {
                textFromStdin = true;
            } else {
                words.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            onlyText = true;
            continue;
        }
        std::optional<std::string> inlineValue;
        if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = arg.substr(equals + 1);
            arg.resize(equals);
        }
        auto value = [&]() { return requireValue(args, i, arg, inlineValue); };
        if (arg == "-h" || arg == "--help") {
            return std::nullopt;
        } else if (arg == "-o" || arg == "--output") {
            options.outputPath = value();
        } else if (arg == "-r" || arg == "--rate") {
            options.sampleRate = static_cast<int>(tools::parseInteger(arg, value(), 1000, 768000));
        } else if (arg == "-c" || arg == "--channels") {
            options.channels = static_cast<unsigned>(tools::parseInteger(arg, value(), 1, 2));
        } else if (arg == "-b" || arg == "--block") {
            options.blockSize = static_cast<unsigned>(tools::parseInteger(arg, value(), 16, 65536));
        } else if (arg == "--format") {
            const std::string format = value();
            if (format == "pcm16") {
                options.format = ombrix::WavWriter::Format::Pcm16;
            } else if (format == "float") {
                options.format = ombrix::WavWriter::Format::Float32;
            } else {
                throw tools::UsageError("option --format wants pcm16 or float, not '" + format + "'");
            }
        } else if (arg == "--model") {
            options.modelPath = value();
        } else if (arg == "--tokens") {
            options.tokensPath = value();
        } else if (arg == "--data-dir") {
            options.dataDirPath = value();
        } else if (arg == "--plugin") {
            options.pluginPath = value();
        } else if (arg == "--stream") {
            options.stream = true;
        } else if (arg == "--words-per-second") {
            options.wordsPerSecond = tools::parsePositive(arg, value());
        } else if (arg == "--log-level") {
            const std::string level = value();
            if (!ombrix::Logger::parseLevel(level, options.logLevel)) {
                throw tools::UsageError(
                    "option --log-level wants trace, debug, info, warning, error or none, not '" + level
                    + "'");
            }
        } else if (arg == "--max-seconds") {
            options.maxGraphSeconds = tools::parsePositive(arg, value());
        } else if (arg == "--show-libraries") {
            options.showLibraries = true;
        } else {
            throw tools::UsageError("unknown option " + arg);
        }
    }
    if ((!options.tokensPath.empty() || !options.dataDirPath.empty()) && options.modelPath.empty()) {
        throw tools::UsageError("--tokens and --data-dir go with --model");
    }
    if (!words.empty() && textFromStdin) {
        throw tools::UsageError("give the text either as arguments or on standard input (\"-\"), not both");
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
