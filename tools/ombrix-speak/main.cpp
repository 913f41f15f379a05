// ombrix-speak: speaks a text into a WAV file through the Sherpa plug-in.
//
// The program is a host application like any other: it links only the host SDK, loads
// libOmbrixSherpa.so at run time from its own installation (<prefix>/lib next to
// <prefix>/bin), finds the "Sherpa" extension, creates a "Sherpa.TTS" node from a
// configuration map, and pulls the node's output block by block through a GraphRunner
// into a WavWriter. It never includes a header of the plug-in: it knows the node only by
// its type name, its actions and its events. SpeakSession.h tells how it reads the
// node's timeline.

#include "SpeakOptions.h"
#include "SpeakSession.h"
#include "SpeakText.h"
#include "Voice.h"

#include "tools/common/PluginLoading.h"
#include "tools/common/ToolCommon.h"
#include "tools/common/WavOutput.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

using namespace ombrix;
using namespace ombrix::speak;
namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    Options options;
    try {
        options = parseOptions(argc, argv);
    } catch (const tools::UsageError& error) {
        std::fprintf(stderr, "ombrix-speak: %s\nTry 'ombrix-speak --help'.\n", error.what());
        return tools::kExitUsage;
    }
    if (options.request == Options::Request::Help) {
        printHelp(std::cout);
        return tools::kExitOk;
    }
    try {
        const fs::path base = tools::installationBase();
        if (options.pluginPath.empty()) {
            options.pluginPath = tools::defaultPluginPath(base).string();
        }
        if (options.request == Options::Request::Version) {
            tools::printVersion(stdout, "ombrix-speak", options.pluginPath);
            return tools::kExitOk;
        }
        if (options.request == Options::Request::ListVoices) {
            listInstalledVoices(base, std::cout);
            return tools::kExitOk;
        }
        if (!options.inputFile.empty()) {
            options.text = readInputFile(options.inputFile);
        }
        // Before anything slow happens, and before any voice is looked at.
        tools::checkWritable(options.outputPath);
        const VoiceFiles voice = resolveVoice(options, base);
        checkVoiceFiles(voice, base);
        const tools::Status status(options.quiet);
        status.print("plug-in: %s\n", options.pluginPath.c_str());
        status.print("voice: %s%s\n", voice.model.c_str(), voice.isDefault ? " (default English voice)" : "");
        if (fs::exists(fs::path(voice.model).parent_path() / kTestVoiceMarkerFile)) {
            status.print("note: this is the synthetic test voice: the output is test tones, not speech\n");
        }
        SpeakSession session(options, voice, base);
        return session.run();
    } catch (const tools::ToolError& error) {
        std::fprintf(stderr, "ombrix-speak: error: %s\n", error.what());
        return error.exitStatus;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ombrix-speak: error: %s\n", error.what());
        return tools::kExitRuntime;
    }
}
