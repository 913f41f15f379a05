#include "host/ExtensionManager.h"

#include <dlfcn.h>

namespace ombrix {

ExtensionManager::ExtensionManager() = default;

ExtensionManager& ExtensionManager::getInstance()
{
    // Deliberately never destroyed: extensions (and the code of the libraries
    // that made them, which is never unloaded) stay valid until the process
    // ends, whatever order static destructors run in.
    static ExtensionManager* const instance = new ExtensionManager;
    return *instance;
}

bool ExtensionManager::registerExtension(std::shared_ptr<Extension> extension)
{
    if (!extension) {
        return false;
    }
    std::lock_guard<std::mutex> lock(extensionsMutex);
    extensions.push_back(std::move(extension));
    ++registrationCount;
    return true;
}

std::shared_ptr<Extension> ExtensionManager::findExtension(const std::string& name) const
{
    // getName() is the extension's code: call it on a snapshot, without our lock.
    for (const auto& extension : getExtensions()) {
        if (extension->getName() == name) {
            return extension;
        }
    }
    return nullptr;
}

std::vector<std::shared_ptr<Extension>> ExtensionManager::getExtensions() const
{
    std::lock_guard<std::mutex> lock(extensionsMutex);
    return extensions;
}

std::size_t ExtensionManager::getRegistrationCount() const
{
    std::lock_guard<std::mutex> lock(extensionsMutex);
    return registrationCount;
}

bool ExtensionManager::loadLibrary(const std::string& path, std::string* error)
{
    // No lock of ours is held here: the library's load-time code calls
    // registerExtension. The dynamic loader serialises loads itself and runs a
    // library's initialisers only the first time it is mapped, so loading the
    // same path again registers nothing. The handle is never closed.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        if (error != nullptr) {
            const char* reason = dlerror();
            *error = "cannot load '" + path + "': " + (reason != nullptr ? reason : "unknown error");
        }
        return false;
    }
    return true;
}

} // namespace ombrix
