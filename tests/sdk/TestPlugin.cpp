// A plug-in library for ExtensionManager::loadLibrary: registers one extension
// named "SdkTestPlugin" while it is being loaded.
#include "host/ExtensionManager.h"

namespace {

class TestPluginExtension : public ombrix::Extension {
public:
    TestPluginExtension()
        : Extension("extension")
    {
    }
    std::string getName() override { return "SdkTestPlugin"; }
    std::string getDescription() override { return "Extension of the SDK's loader test."; }
    std::shared_ptr<ombrix::NodeFactory> getNodeFactory() override { return nullptr; }
};

struct Registration {
    Registration()
    {
        ombrix::ExtensionManager::getInstance().registerExtension(std::make_shared<TestPluginExtension>());
    }
} registration;

} // namespace
