#include "extension/SherpaExtension.h"

#include <utility>

#include "extension/SherpaNodeFactory.h"
#include "host/ExtensionManager.h"

namespace ombrix::extensions::sherpa {

void SherpaExtension::load()
{
    ExtensionManager& manager = ExtensionManager::getInstance();
    std::shared_ptr<Extension> extension = std::make_shared<SherpaExtension>();
    // The manager becomes the only owner; its answer is of no use here.
    (void)manager.registerExtension(std::move(extension));
}

std::string SherpaExtension::getName()
{
    return "Sherpa";
}

std::string SherpaExtension::getDescription()
{
    return "sherpa-onnx integration for on-device speech-to-text and text-to-speech.";
}

std::shared_ptr<NodeFactory> SherpaExtension::getNodeFactory()
{
    return std::make_shared<SherpaNodeFactory>();
}

} // namespace ombrix::extensions::sherpa
