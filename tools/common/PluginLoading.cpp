#include "PluginLoading.h"

#include "ToolCommon.h"

#include "host/ExtensionManager.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace ombrix::tools {

namespace fs = std::filesystem;

fs::path installationBase()
{
    std::string buffer(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length < 0) {
        throw ToolError(kExitRuntime, "cannot read /proc/self/exe: " + systemReason(errno));
    }
    buffer.resize(static_cast<std::size_t>(length));
    return fs::path(buffer).parent_path().parent_path();
}

fs::path defaultPluginPath(const fs::path& base)
{
    return base / "lib" / kPluginFile;
}

std::vector<std::shared_ptr<Extension>> loadPlugin(const std::string& path)
{
    auto& manager = ExtensionManager::getInstance();
    const auto before = manager.getExtensions();
    std::string error;
    if (!manager.loadLibrary(path, &error)) {
        throw ToolError(kExitInput, "cannot load the plug-in " + path + ": " + error);
    }
    std::vector<std::shared_ptr<Extension>> added;
    for (const auto& extension : manager.getExtensions()) {
        if (std::find(before.begin(), before.end(), extension) == before.end()) {
            added.push_back(extension);
        }
    }
    return added;
}

std::shared_ptr<NodeFactory> loadSherpaNodeFactory(const std::string& path, const std::string& nodeType)
{
    auto& manager = ExtensionManager::getInstance();
    std::string error;
    if (!manager.loadLibrary(path, &error)) {
        throw ToolError(kExitInput, "cannot load the plug-in " + path + ": " + error);
    }
    const auto extension = manager.findExtension(kSherpaExtensionName);
    if (!extension) {
        throw ToolError(kExitInput,
            "the plug-in " + path + " registered no extension named \"" + kSherpaExtensionName + "\"");
    }
    auto factory = extension->getNodeFactory();
    if (!factory || !factory->findNodeType(nodeType)) {
        throw ToolError(kExitInput,
            std::string("the \"") + kSherpaExtensionName + "\" extension offers no node type \"" + nodeType
                + "\"");
    }
    return factory;
}

} // namespace ombrix::tools
