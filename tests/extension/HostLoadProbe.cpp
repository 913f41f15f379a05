// A host program as an application would be: it links only libOmbrixSDK and
// loads libOmbrixSherpa.so through the extension manager, then looks at what
// the plug-in registered. Run as a subprocess by HostLoadProbeTest.
//
//   HostLoadProbe load <library>    registration, factory and description
//   HostLoadProbe create <library>  a node made through the loaded factory
//
// Prints "ok: <check>" or "FAILED: <check>" per check, the type description
// as text between "--- description ---" and "--- end ---", and exits with 0
// when every check passed, 1 otherwise, 2 on bad usage.

#include <dlfcn.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "ExpectedDescription.h"
#include "host/ExtensionManager.h"
#include "host/Node.h"

using namespace ombrix;

namespace {

int failures = 0;

void check(bool passed, const std::string& what, const std::string& detail = {})
{
    std::cout << (passed ? "ok: " : "FAILED: ") << what;
    if (!passed && !detail.empty()) {
        std::cout << " (" << detail << ")";
    }
    std::cout << '\n';
    if (!passed) {
        ++failures;
    }
}

// Loads the plug-in and returns its one extension, or null after reporting.
std::shared_ptr<Extension> loadPlugin(const std::string& library)
{
    ExtensionManager& manager = ExtensionManager::getInstance();
    check(manager.getRegistrationCount() == 0 && manager.getExtensions().empty(),
        "nothing registered before loading");

    std::string error;
    const bool loaded = manager.loadLibrary(library, &error);
    check(loaded, "loadLibrary succeeds", error);
    if (!loaded) {
        return nullptr;
    }
    const auto extensions = manager.getExtensions();
    check(extensions.size() == 1, "exactly one extension registered", std::to_string(extensions.size()));
    check(manager.getRegistrationCount() == 1, "registration count is 1",
        std::to_string(manager.getRegistrationCount()));
    if (extensions.size() != 1) {
        return nullptr;
    }
    return extensions.front();
}

int probeLoad(const std::string& library)
{
    ExtensionManager& manager = ExtensionManager::getInstance();
    const auto extension = loadPlugin(library);
    if (!extension) {
        return 1;
    }
    check(extension->getName() == "Sherpa", "extension name is Sherpa", extension->getName());
    check(extension->getObjectName() == "extension", "object name is extension", extension->getObjectName());
    check(extension->getDescription()
            == "sherpa-onnx integration for on-device speech-to-text and text-to-speech.",
        "extension description", extension->getDescription());
    check(manager.findExtension("Sherpa") == extension, "findExtension(Sherpa) gives the registered one");
    check(extension->initialize(OXAnyMap{}).isSuccess() && extension->deinitialize().isSuccess(),
        "initialize and deinitialize succeed");

    std::string error;
    check(manager.loadLibrary(library, &error) && manager.getRegistrationCount() == 1,
        "loading the library again registers nothing more", error);

    auto factory = extension->getNodeFactory();
    check(factory != nullptr, "getNodeFactory gives a factory");
    if (!factory) {
        return 1;
    }
    check(factory->getNodeTypePrefix() == "Sherpa", "factory prefix is Sherpa", factory->getNodeTypePrefix());
    const auto types = factory->getNodeTypes();
    check(types.size() == 1, "factory lists one node type", std::to_string(types.size()));
    if (types.size() == 1) {
        check(types[0].getFQTypeName() == "Sherpa.TTS", "the type is Sherpa.TTS", types[0].getFQTypeName());
        check(types[0] == testing::expectedTTSNodeTypeInfo(), "the type description is complete and exact");
        std::cout << "--- description ---\n" << testing::toText(types[0]) << "--- end ---\n";
    }
    check(!factory->findNodeType("Sherpa.STT") && factory->createNode("Sherpa.STT", OXAnyMap{}) == nullptr,
        "no speech-to-text type");
    check(factory != extension->getNodeFactory(), "each getNodeFactory call makes a new factory");

    // Only SherpaExtension is exported: its load() can be found from outside,
    // the C-linkage markers cannot.
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    check(handle != nullptr, "the library stays loaded");
    if (handle != nullptr) {
        using LoadFunction = void (*)();
        auto load = reinterpret_cast<LoadFunction>(
            ::dlsym(handle, "_ZN6ombrix10extensions6sherpa15SherpaExtension4loadEv"));
        check(load != nullptr, "SherpaExtension::load is exported");
        check(::dlsym(handle, "ox_extension_load") == nullptr, "ox_extension_load is hidden");
        check(::dlsym(handle, "ox_extension_anchor_OmbrixSherpa") == nullptr,
            "ox_extension_anchor_OmbrixSherpa is hidden");
        check(::dlsym(handle, "_ZN6ombrix10extensions6sherpa17SherpaNodeFactoryC1Ev") == nullptr,
            "SherpaNodeFactory is hidden");
        if (load != nullptr) {
            load();
            const auto extensions = manager.getExtensions();
            check(manager.getRegistrationCount() == 2 && extensions.size() == 2 && extensions[1] != extension
                    && extensions[1]->getName() == "Sherpa",
                "an explicit load() registers one more, distinct extension");
        }
        ::dlclose(handle);
    }
    return failures == 0 ? 0 : 1;
}

int probeCreate(const std::string& library)
{
    auto extension = loadPlugin(library);
    if (!extension) {
        return 1;
    }
    auto factory = extension->getNodeFactory();
    extension.reset();
    std::unique_ptr<Node> node = factory->createNode("Sherpa.TTS", OXAnyMap{});
    check(node != nullptr, "createNode(Sherpa.TTS) gives a node");
    if (!node) {
        return 1;
    }
    check(dynamic_cast<SingleBusAudioSourceNode*>(node.get()) != nullptr, "the node is an audio source");

    const NodeTypeInfo expected = testing::expectedTTSNodeTypeInfo();
    check(node->hasAction("synthesize") && node->hasAction("appendStreamingText")
            && node->hasAction("clearStreamingBuffer"),
        "the three described actions are declared");
    check(!node->hasAction("loadModel"), "loadModel is not declared");
    check(node->hasEvent("finished") && node->hasEvent("synthesisStarted"), "both events are declared");
    check(node->getActions() == expected.actions, "declared actions carry the described maps",
        testing::toText(node->getActions()));
    check(node->getEvents() == expected.events, "declared events carry the described maps",
        testing::toText(node->getEvents()));

    // The node does not depend on the factory that made it.
    factory.reset();
    check(node->callAction("clearStreamingBuffer", OXAnyMap{}).isSuccess(),
        "the node answers an action after its factory is gone");
    check(node->callAction("Synthesize", OXAnyMap{}).isError(), "other names go to the host base");
    node.reset();
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " load|create <library>\n";
        return 2;
    }
    const std::string mode = argv[1];
    const std::string library = argv[2];
    try {
        if (mode == "load") {
            return probeLoad(library);
        }
        if (mode == "create") {
            return probeCreate(library);
        }
    } catch (const std::exception& e) {
        std::cout << "FAILED: unexpected exception: " << e.what() << '\n';
        return 1;
    }
    std::cerr << "unknown mode " << mode << '\n';
    return 2;
}
