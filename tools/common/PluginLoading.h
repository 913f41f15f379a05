#pragma once

// Where a program finds its installation and the plug-in in it. Programs live in
// <prefix>/bin and the plug-in in <prefix>/lib, in the build tree as in every installed
// (and moved) prefix.

#include "host/Extension.h"
#include "host/NodeFactory.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace ombrix::tools {

constexpr const char* kPluginFile = "libOmbrixSherpa.so";
constexpr const char* kSherpaExtensionName = "Sherpa";

/// The base directory of this installation: the executable's path from /proc/self/exe
/// with its last two components removed, as the plug-in computes it for its default
/// models. ToolError (kExitRuntime) when /proc/self/exe cannot be read.
std::filesystem::path installationBase();

/// <base>/lib/libOmbrixSherpa.so
std::filesystem::path defaultPluginPath(const std::filesystem::path& base);

/// Loads a plug-in library through the SDK's ExtensionManager and returns the extensions
/// it registered while loading (in registration order). ToolError (kExitInput) naming the
/// path and the loader's reason when it cannot be loaded.
std::vector<std::shared_ptr<Extension>> loadPlugin(const std::string& path);

/**
 * Loads the plug-in at `path`, finds its "Sherpa" extension and returns the extension's
 * node factory, which must offer `nodeType`. ToolError (kExitInput) for each way that
 * can fail, naming what is missing.
 */
std::shared_ptr<NodeFactory> loadSherpaNodeFactory(const std::string& path, const std::string& nodeType);

} // namespace ombrix::tools
