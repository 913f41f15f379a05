#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Extension.h"
#include "OmbrixExport.h"

namespace ombrix {

// Process-wide registry of extensions. Plug-in libraries register their
// extension while they are being loaded; the manager keeps every extension
// for the life of the process and never unloads a library it loaded.
class OMBRIX_SDK_API ExtensionManager {
public:
    static ExtensionManager& getInstance();

    // Keeps the extension. False (and nothing kept) for a null pointer.
    bool registerExtension(std::shared_ptr<Extension> extension);

    // The first registered extension whose getName() equals name, or null.
    std::shared_ptr<Extension> findExtension(const std::string& name) const;
    std::vector<std::shared_ptr<Extension>> getExtensions() const;
    // Number of successful registerExtension calls since start-up.
    std::size_t getRegistrationCount() const;

    // dlopen()s a plug-in library (RTLD_NOW | RTLD_LOCAL); its load-time code
    // registers its extensions. Returns false and fills error on failure.
    // Loading the same path twice does not run its registration again.
    bool loadLibrary(const std::string& path, std::string* error = nullptr);

private:
    ExtensionManager();

    mutable std::mutex extensionsMutex;
    std::vector<std::shared_ptr<Extension>> extensions;
    std::size_t registrationCount = 0;
};

} // namespace ombrix
