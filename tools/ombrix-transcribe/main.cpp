// ombrix-transcribe: turns an audio file (or a WAV stream or raw samples on standard input)
// into text with the speech-to-text node.
//
// The program is a host that compiles the node in (the node is a class, not a plug-in
// node type): it runs a GraphRunner at the recogniser's rate (16000 Hz) with a source node
// that plays the input, mixed down to mono and converted to that rate, and the
// SherpaSTTNode as the sink, and calls the node's transcribe() every --interval seconds of
// graph time. By default the graph runs as fast as the machine allows, on this thread, so
// the texts and their times are the same on every run; --realtime runs the graph on a
// thread of its own paced by the wall clock, as an audio device would, and transcribes
// from this thread, as a live host does.
//
// The recogniser holds back the last part of what it was fed until more audio follows
// (kTailSilenceSeconds), so after the input the graph plays that much silence before the
// final transcribe().
//
// Output: the node restarts decoding at pauses and keeps the text as segments with times
// (SherpaSTTNode::segments()); each segment is printed once, when final, and the
// transcript files are written from them at the end (TranscribeOutput.h).
//
// Where what lives: TranscribeOptions (the command line), Model (the model files and the
// node's log lines), AudioInput (reading the input), Resampler (conversion to the
// recogniser's rate), TranscribeSession (the graph and its pacing), TranscribeOutput
// (standard output and the transcript formats).

#include "AudioInput.h"
#include "Model.h"
#include "TranscribeOptions.h"
#include "TranscribeSession.h"
#include "tools/common/ToolCommon.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

using namespace ombrix::transcribe;
using ombrix::LogLevel;
using ombrix::tools::AudioInput;
using ombrix::tools::InputError;
using ombrix::tools::kExitInput;
using ombrix::tools::kExitNoModel;
using ombrix::tools::kExitRuntime;
using ombrix::tools::kExitUsage;
using ombrix::tools::ToolError;
using ombrix::tools::UsageError;

namespace {

int transcribe(const Options& options)
{
    // -q: errors only.
    LogCollector log(options.quiet ? std::max(options.logLevel, LogLevel::Error) : options.logLevel);
    auto status = [&](const std::string& line) {
        if (!options.quiet) {
            std::fprintf(stderr, "%s: %s\n", kProgramName, line.c_str());
        }
    };

    std::unique_ptr<AudioInput> input = options.raw
        ? AudioInput::openRaw(options.rawRate, options.rawChannels, options.rawFormat)
        : AudioInput::openFile(options.input);

    const ModelFiles model = findModelFiles(options);
    const bool explicitModel = !options.modelPath.empty();

    // Building the node loads its default model when there is one.
    log.setMuted(explicitModel);
    CountingSTTNode node;
    log.setMuted(false);
    log.takeProblems();
    log.hold();
    if (!node.loadModel(model.model, model.tokens, model.graph)) {
        log.drop();
        std::string message = "the speech-to-text model did not load:\n  model: " + model.model
            + "\n  tokens: " + model.tokens + "\n  decoding graph: " + model.graph;
        for (const std::string& line : log.takeProblems()) {
            message += "\n  " + line;
        }
        throw ToolError(kExitNoModel, message);
    }
    log.release();
    status("model: " + model.model + (explicitModel ? "" : " (default)"));
    status("input: " + input->getName() + ", " + std::to_string(input->getSampleRate()) + " Hz, "
        + std::to_string(input->getNumberOfChannels()) + " channel"
        + (input->getNumberOfChannels() == 1 ? "" : "s") + ", " + input->describeFormat());

    TranscribeSession session(options, *input, node);
    return session.run();
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<Options> options;
    try {
        options = parseOptions(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgramName, error.what(), kProgramName);
        return kExitUsage;
    }
    if (!options) {
        return 0;
    }
    try {
        return transcribe(*options);
    } catch (const UsageError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", kProgramName, error.what(), kProgramName);
        return kExitUsage;
    } catch (const InputError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
        return kExitInput;
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
        return error.exitStatus;
    } catch (const std::exception& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: error: %s\n", kProgramName, error.what());
        return kExitRuntime;
    }
}