// ombrix-inspect: shows what a plug-in offers, in the spirit of gst-inspect-1.0.
//
// It loads the plug-in through the SDK's ExtensionManager, as any host does, and prints
// every extension the library registered while loading, with the description of each of
// its node types (see Describe.h). Without a path it inspects the plug-in of its own
// installation (<prefix>/lib/libOmbrixSherpa.so). Loading runs the plug-in's load-time
// code only; no node is created.

#include "Describe.h"

#include "tools/common/CommandLine.h"
#include "tools/common/PluginLoading.h"
#include "tools/common/ToolCommon.h"

#include "host/Logger.h"

#include <cstdio>
#include <iostream>

using namespace ombrix;

namespace {

enum OptionId { kJson, kQuiet, kVersion, kHelp };

void printHelp(std::ostream& out)
{
    out << R"(Usage: ombrix-inspect [options] [PLUGIN]
Loads the plug-in library PLUGIN (default: this installation's
<prefix>/lib/libOmbrixSherpa.so) and prints each extension it registers, its node types,
and for each type its display name, description, categories, configuration, properties,
actions (their parameters, with type and whether optional) and events (with their data).

      --json      print one JSON object instead of text (see the README)
  -q, --quiet     no log lines of the plug-in, only errors
      --version   print the version and the loaded sherpa-onnx version
  -h, --help      this text

Exit status: 0 done; 2 usage error; 4 the plug-in could not be loaded.
)";
}

} // namespace

int main(int argc, char** argv)
{
    using tools::OptionSpec;
    using Argument = OptionSpec::Argument;
    bool json = false;
    bool quiet = false;
    bool version = false;
    bool help = false;
    std::vector<std::string> operands;
    try {
        operands = tools::parseCommandLine(argc, argv,
            {{"json", 0, Argument::None, kJson}, {"quiet", 'q', Argument::None, kQuiet},
                {"version", 0, Argument::None, kVersion}, {"help", 'h', Argument::None, kHelp}},
            [&](const tools::ParsedOption& option) {
                switch (option.id) {
                case kJson:
                    json = true;
                    break;
                case kQuiet:
                    quiet = true;
                    break;
                case kVersion:
                    version = true;
                    break;
                case kHelp:
                    help = true;
                    break;
                }
            });
        if (operands.size() > 1) {
            throw tools::UsageError("one plug-in at a time");
        }
    } catch (const tools::UsageError& error) {
        std::fprintf(stderr, "ombrix-inspect: %s\nTry 'ombrix-inspect --help'.\n", error.what());
        return tools::kExitUsage;
    }
    if (help) {
        printHelp(std::cout);
        return tools::kExitOk;
    }
    try {
        const std::string path
            = operands.empty() ? tools::defaultPluginPath(tools::installationBase()).string() : operands[0];
        if (version) {
            tools::printVersion(stdout, "ombrix-inspect", path);
            return tools::kExitOk;
        }
        // The plug-in's own log lines go to standard error, as always; -q keeps errors only.
        Logger::setLevel(quiet ? LogLevel::Error : LogLevel::Warning);
        inspect::PluginDescription plugin;
        plugin.path = path;
        for (const auto& extension : tools::loadPlugin(path)) {
            inspect::ExtensionDescription described;
            described.name = extension->getName();
            described.description = extension->getDescription();
            if (const auto factory = extension->getNodeFactory()) {
                described.nodeTypes = factory->getNodeTypes();
            }
            plugin.extensions.push_back(std::move(described));
        }
        if (json) {
            inspect::printJson(std::cout, plugin);
        } else {
            inspect::printText(std::cout, plugin);
        }
        std::cout.flush();
        return std::cout.good() ? tools::kExitOk : tools::kExitRuntime;
    } catch (const tools::ToolError& error) {
        std::fprintf(stderr, "ombrix-inspect: error: %s\n", error.what());
        return error.exitStatus;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ombrix-inspect: error: %s\n", error.what());
        return tools::kExitRuntime;
    }
}
