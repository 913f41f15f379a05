#pragma once

#include <memory>
#include <string>

#include "host/Extension.h"
#include "host/NodeFactory.h"

namespace ombrix::extensions::sherpa {

// The library's entry object: an extension named "Sherpa" that hands out node
// factories for the text-to-speech node type. Loading the library registers
// one instance with the host's ExtensionManager (SherpaExtensionLoad.cpp).
//
// The only class of the library visible outside it; everything else is
// compiled with hidden visibility. Inline members (constructor, destructor)
// stay hidden as well, so what is exported is load(), getName(),
// getDescription(), getNodeFactory(), the virtual table and the type
// information.
//
// Keeps no mutable state: every member may run on any thread, also at the
// same time.
class __attribute__((visibility("default"))) SherpaExtension : public Extension {
public:
    // The OmbrixObject name is "extension"; the extension's own name is getName().
    SherpaExtension()
        : Extension("extension")
    {
    }

    // Makes a new extension (object and reference count in one allocation)
    // and registers it with ExtensionManager::getInstance(). Keeps no
    // reference of its own; whatever registerExtension throws passes through.
    static void load();

    // "Sherpa".
    std::string getName() override;
    std::string getDescription() override;
    // A new SherpaNodeFactory on every call, owned by the caller. Allocates;
    // exceptions of the factory's construction pass through.
    std::shared_ptr<NodeFactory> getNodeFactory() override;
};

} // namespace ombrix::extensions::sherpa
