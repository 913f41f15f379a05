// The command line of ombrix-transcribe: its --help and the checks of its options.

#include "TranscribeOptions.h"

#include "tools/common/CommandLine.h"
#include "tools/common/ToolCommon.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace ombrix::transcribe {

using tools::RawFormat;
using tools::UsageError;

void printHelp()
{
    std::printf(R"(Usage: ombrix-transcribe [options] FILE
  or:  ombrix-transcribe [options] --raw --rate HZ
Transcribes the audio of FILE ("-": a WAV stream on standard input; with --raw, raw
samples on standard input) with the Sherpa speech-to-text node. FILE is WAV or any format
libsndfile reads (FLAC, Ogg/Vorbis, Opus, MP3, AIFF, ...). The input is mixed down to
mono (the mean of its channels) and converted to the recogniser's rate of 16000 Hz with
libsoxr; the node is the sink of a graph running at that rate.

Output: each segment of the text once, when it is final (the node restarted decoding
after it, at a pause, or the input ended), as a line "<start><TAB><end><TAB><text>"
(seconds of the input). On a terminal, the words still changing stand in one line that
is rewritten in place. Status goes to standard error.

Transcript files (several at once; each holds the segments with their times):
      --output-txt      BASE.txt: the text, one line per segment
      --output-srt      BASE.srt: SubRip subtitles
      --output-vtt      BASE.vtt: WebVTT subtitles
      --output-json     BASE.json: what --json prints, with the tokens and their times
      --output-file BASE  the files' name without the extension (default: the input
                        file's name, FILE.wav.srt and so on; required for standard input)

Model (default: the node's default files, <prefix>/share/files/ below this program's
installation, then Models/ and files/ below the working directory):
  -m, --model FILE      streaming Zipformer2 CTC model (.onnx, or .ort in ORT format)
      --tokens FILE     tokens file (default: tokens.txt next to the model)
      --graph FILE      HLG decoding graph (default: HLG.fst next to the model)

Graph:
  -b, --block FRAMES    frames per graph block (default: 160, 10 ms at 16000 Hz)
  -i, --interval S      transcribe every S seconds of graph time (default: 1); at most
                        what the node's ring holds, 480000 frames (30 s at 16000 Hz),
                        so that no audio is dropped
      --realtime        pace the graph on the wall clock as an audio device would, and
                        transcribe from another thread as a live host does (the node
                        restarts decoding at the pauses it sees at a transcribe(), so
                        where segments end can then differ a little between runs; the
                        final text does not)
      --tail S          seconds of silence played after the input (default: 0.6)
      --segment S       accepted and ignored: the node itself restarts decoding at
                        pauses, which keeps the cost of long inputs flat

Raw input (standard input, little-endian, interleaved):
      --raw             read raw samples instead of a WAV stream
  -r, --rate HZ         their sample rate (required with --raw)
  -c, --channels N      their channel count (default: 1)
      --raw-format F    s16 (16-bit PCM, the default) or f32 (32-bit float)

Other:
      --json            print one line of JSON instead: the final text, the segments
                        with their tokens and times, the input and the timing
  -q, --quiet           print only the final text, whole, at the end (or the JSON),
                        and errors
      --log-level L     the node's log lines from level L on: trace, debug, info,
                        warning, error or none (default: warning)
      --version         print the version and the sherpa-onnx version
  -h, --help            this text

After the input the graph plays 0.6 s of silence (--tail): the recogniser decodes the
end of what it was fed only once more audio follows. The test recogniser needs 0.01 to
0.26 s after the last sound, depending on where the input ends in its 0.32 s grid.

Exit status: 0 done; 2 usage error; 3 no usable model (the message names the files
looked for); 4 the input cannot be read (the message says why); 5 other failures (a
transcript file that cannot be written, among them).
)");
}

namespace {

double parseSeconds(const std::string& name, const std::string& text, bool zeroAllowed)
{
    const char* value = text.c_str();
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(value, &end);
    if (*value == '\0' || *end != '\0' || errno != 0 || !std::isfinite(parsed) || parsed < 0.0
        || (!zeroAllowed && parsed == 0.0)) {
        throw UsageError("option " + name + " wants a " + (zeroAllowed ? "" : "positive ")
            + "number of seconds, not '" + text + "'");
    }
    return parsed;
}

enum OptionId {
    kOptModel,
    kOptTokens,
    kOptGraph,
    kOptBlock,
    kOptInterval,
    kOptRealtime,
    kOptSegment,
    kOptTail,
    kOptRaw,
    kOptRate,
    kOptChannels,
    kOptRawFormat,
    kOptJson,
    kOptOutputTxt,
    kOptOutputSrt,
    kOptOutputVtt,
    kOptOutputJson,
    kOptOutputFile,
    kOptQuiet,
    kOptLogLevel,
    kOptVersion,
    kOptHelp,
};

} // namespace

std::optional<Options> parseOptions(int argc, char** argv)
{
    using Argument = ombrix::tools::OptionSpec::Argument;
    static const std::vector<ombrix::tools::OptionSpec> kOptions = {
        {"model", 'm', Argument::Required, kOptModel},
        {"tokens", 0, Argument::Required, kOptTokens},
        {"graph", 0, Argument::Required, kOptGraph},
        {"block", 'b', Argument::Required, kOptBlock},
        {"interval", 'i', Argument::Required, kOptInterval},
        {"realtime", 0, Argument::None, kOptRealtime},
        {"segment", 0, Argument::Required, kOptSegment},
        {"tail", 0, Argument::Required, kOptTail},
        {"raw", 0, Argument::None, kOptRaw},
        {"rate", 'r', Argument::Required, kOptRate},
        {"channels", 'c', Argument::Required, kOptChannels},
        {"raw-format", 0, Argument::Required, kOptRawFormat},
        {"json", 0, Argument::None, kOptJson},
        {"output-txt", 0, Argument::None, kOptOutputTxt},
        {"output-srt", 0, Argument::None, kOptOutputSrt},
        {"output-vtt", 0, Argument::None, kOptOutputVtt},
        {"output-json", 0, Argument::None, kOptOutputJson},
        {"output-file", 0, Argument::Required, kOptOutputFile},
        {"quiet", 'q', Argument::None, kOptQuiet},
        {"log-level", 0, Argument::Required, kOptLogLevel},
        {"version", 0, Argument::None, kOptVersion},
        {"help", 'h', Argument::None, kOptHelp},
    };
    Options options;
    bool channelsGiven = false;
    bool done = false;
    const std::vector<std::string> operands = ombrix::tools::parseCommandLine(
        argc, argv, kOptions, [&](const ombrix::tools::ParsedOption& option) {
            const std::string& value = option.value;
            switch (option.id) {
            case kOptModel:
                options.modelPath = value;
                break;
            case kOptTokens:
                options.tokensPath = value;
                break;
            case kOptGraph:
                options.graphPath = value;
                break;
            case kOptBlock:
                options.blockFrames = static_cast<unsigned>(
                    ombrix::tools::parseInteger(option.name, value, 1, kMaxBlockFrames));
                break;
            case kOptInterval:
                options.intervalSeconds = parseSeconds(option.name, value, false);
                break;
            case kOptRealtime:
                options.realtime = true;
                break;
            case kOptSegment:
                // Checked as before, then ignored: the node restarts decoding at pauses.
                parseSeconds(option.name, value, true);
                options.segmentGiven = true;
                break;
            case kOptTail:
                options.tailSeconds = parseSeconds(option.name, value, true);
                break;
            case kOptRaw:
                options.raw = true;
                break;
            case kOptRate:
                options.rawRate
                    = static_cast<int>(ombrix::tools::parseInteger(option.name, value, 1000, 768000));
                break;
            case kOptChannels:
                options.rawChannels = static_cast<unsigned>(
                    ombrix::tools::parseInteger(option.name, value, 1, ombrix::tools::kMaxInputChannels));
                channelsGiven = true;
                break;
            case kOptRawFormat:
                if (value == "s16") {
                    options.rawFormat = RawFormat::S16;
                } else if (value == "f32") {
                    options.rawFormat = RawFormat::F32;
                } else {
                    throw UsageError("option --raw-format wants s16 or f32, not '" + value + "'");
                }
                break;
            case kOptJson:
                options.json = true;
                break;
            case kOptOutputTxt:
                options.outputTxt = true;
                break;
            case kOptOutputSrt:
                options.outputSrt = true;
                break;
            case kOptOutputVtt:
                options.outputVtt = true;
                break;
            case kOptOutputJson:
                options.outputJson = true;
                break;
            case kOptOutputFile:
                if (value.empty()) {
                    throw UsageError("option --output-file wants a file name");
                }
                options.outputBase = value;
                break;
            case kOptQuiet:
                options.quiet = true;
                break;
            case kOptLogLevel:
                if (!ombrix::Logger::parseLevel(value, options.logLevel)) {
                    throw UsageError(
                        "option --log-level wants trace, debug, info, warning, error or none, not '" + value
                        + "'");
                }
                break;
            case kOptVersion:
                // The sherpa-onnx library is linked into this program.
                ombrix::tools::printVersion(stdout, kProgramName, kProgramName);
                done = true;
                break;
            case kOptHelp:
                printHelp();
                done = true;
                break;
            }
        });
    if (done) {
        return std::nullopt;
    }
    if (operands.size() > 1) {
        throw UsageError(
            "give one input file (or - for standard input), not " + std::to_string(operands.size()));
    }
    if (options.raw) {
        if (options.rawRate == 0) {
            throw UsageError("--raw needs --rate HZ");
        }
        if (!operands.empty() && operands[0] != "-") {
            throw UsageError("--raw reads standard input; give no file (or -)");
        }
        options.input.assign(1, '-'); // standard input
    } else {
        if (options.rawRate != 0 || channelsGiven) {
            throw UsageError("--rate and --channels describe --raw input; a file carries its own");
        }
        if (operands.empty()) {
            throw UsageError(
                "no input given (an audio file, - for a WAV stream on standard input, or --raw)");
        }
        options.input = operands[0];
    }
    if ((!options.tokensPath.empty() || !options.graphPath.empty()) && options.modelPath.empty()) {
        throw UsageError("--tokens and --graph go with --model");
    }
    const bool anyFile = options.outputTxt || options.outputSrt || options.outputVtt || options.outputJson;
    if (!options.outputBase.empty() && !anyFile) {
        throw UsageError("--output-file names the files of --output-txt, --output-srt, --output-vtt and "
                         "--output-json: give at least one of them");
    }
    if (anyFile && options.outputBase.empty()) {
        if (options.input == "-") {
            throw UsageError(
                "standard input has no file name: give --output-file BASE for the transcript files");
        }
        options.outputBase = options.input;
    }
    return options;
}

} // namespace ombrix::transcribe
