#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "host/ExtensionManager.h"
#include "host/NodeFactory.h"

using namespace ombrix;

namespace {

class ToneNode : public SingleBusAudioSourceNode {
public:
    explicit ToneNode(const OXAnyMap& config)
        : level(config.get<double>("level", 0.25))
    {
    }
    bool setBusFormat(AudioBusFormat& format) override
    {
        seenFormat = format;
        return format.getNumberOfChannels() <= 2;
    }
    bool produce(AudioBus& bus) override
    {
        AudioBuffer<float>* buffer = bus.getBuffer();
        for (unsigned c = 0; c < buffer->getNumberOfChannels(); ++c) {
            std::fill_n(buffer->getWritePointer(c), buffer->getNumberOfFrames(), static_cast<float>(level));
        }
        return true;
    }
    double level;
    AudioBusFormat seenFormat{0, 0};
};

NodeTypeInfo typeInfo(const std::string& typeName, const std::string& displayName)
{
    NodeTypeInfo info;
    info.nodeNamespace = "Test";
    info.typeName = typeName;
    info.displayName = displayName;
    return info;
}

class TestFactory : public NodeFactory {
public:
    TestFactory()
    {
        registerNode(typeInfo("Tone", "Tone"), [](const OXAnyMap& config) { return new ToneNode(config); });
        registerNode(typeInfo("Broken", "Broken"),
            [](const OXAnyMap&) -> Node* { throw std::runtime_error("cannot build"); });
    }
    std::string getNodeTypePrefix() override { return "Test"; }
    using NodeFactory::registerNode;
};

class NamedExtension : public Extension {
public:
    explicit NamedExtension(std::string extensionName)
        : Extension("extension")
        , name(std::move(extensionName))
    {
    }
    std::string getName() override { return name; }
    std::string getDescription() override { return "test"; }
    std::shared_ptr<NodeFactory> getNodeFactory() override { return std::make_shared<TestFactory>(); }
    std::string name;
};

} // namespace

TEST(NodeFactory, CreatesRegisteredTypesByQualifiedNameOnly)
{
    auto factory = std::make_unique<TestFactory>();
    const auto types = factory->getNodeTypes();
    ASSERT_EQ(types.size(), 2u);
    EXPECT_EQ(types[0].getFQTypeName(), "Test.Tone");
    EXPECT_EQ(types[1].getFQTypeName(), "Test.Broken");

    std::unique_ptr<Node> node = factory->createNode("Test.Tone", OXAnyMap{{"level", 0.5}});
    ASSERT_NE(node, nullptr);
    EXPECT_DOUBLE_EQ(dynamic_cast<ToneNode&>(*node).level, 0.5);

    EXPECT_EQ(factory->createNode("Tone", OXAnyMap{}), nullptr); // unqualified
    EXPECT_EQ(factory->createNode("Test.Missing", OXAnyMap{}), nullptr);
    EXPECT_FALSE(factory->findNodeType("Test.Missing").has_value());
    EXPECT_THROW(factory->createNode("Test.Broken", OXAnyMap{}), std::runtime_error);

    // Registering a type again replaces it in place.
    factory->registerNode(
        typeInfo("Tone", "Tone v2"), [](const OXAnyMap&) { return new ToneNode(OXAnyMap{}); });
    ASSERT_EQ(factory->getNodeTypes().size(), 2u);
    EXPECT_EQ(factory->findNodeType("Test.Tone")->displayName, "Tone v2");

    // Nodes do not depend on the factory that made them.
    factory.reset();
    EXPECT_DOUBLE_EQ(dynamic_cast<ToneNode&>(*node).level, 0.5);
}

TEST(Node, UnknownActionNamesTheActionAndSingleBusFormsUseBusZero)
{
    ToneNode node(OXAnyMap{});
    const auto result = node.callAction("warpSpeed", OXAnyMap{});
    EXPECT_TRUE(result.isError());
    EXPECT_NE(result.getError().find("warpSpeed"), std::string::npos) << result.getError();
    EXPECT_EQ(node.getNumberOfInputBuses(), 0u);
    EXPECT_EQ(node.getNumberOfOutputBuses(), 1u);

    AudioBusFormatArray<1> formats(AudioBusFormat(22050, 2));
    EXPECT_TRUE(node.setBusFormats(formats));
    EXPECT_EQ(node.seenFormat, AudioBusFormat(22050, 2));
    AudioBusFormatArray<1> tooWide(AudioBusFormat(22050, 6));
    EXPECT_FALSE(node.setBusFormats(tooWide));
    AudioBusFormatArray<0> none;
    EXPECT_FALSE(node.setBusFormats(none));

    float left[4] = {}, right[4] = {};
    float* channels[] = {left, right};
    AudioBuffer<float> buffer(channels, 2, 4, false, 22050);
    AudioBusArray<1> buses;
    buses.getBus(0).setBuffer(&buffer);
    EXPECT_TRUE(static_cast<SingleBusAudioSourceNode&>(node).produce(buses));
    EXPECT_FLOAT_EQ(right[3], 0.25f);
}

TEST(ExtensionManager, RegistersFindsAndCountsExtensions)
{
    ExtensionManager& manager = ExtensionManager::getInstance();
    EXPECT_EQ(&manager, &ExtensionManager::getInstance());
    const std::size_t before = manager.getRegistrationCount();

    EXPECT_FALSE(manager.registerExtension(nullptr));
    EXPECT_EQ(manager.getRegistrationCount(), before);

    // A name of its own, also when the test is repeated in one process.
    const std::string name = "Alpha" + std::to_string(before);
    auto first = std::make_shared<NamedExtension>(name);
    auto second = std::make_shared<NamedExtension>(name);
    EXPECT_TRUE(manager.registerExtension(first));
    EXPECT_TRUE(manager.registerExtension(second));
    EXPECT_EQ(manager.getRegistrationCount(), before + 2);
    EXPECT_EQ(manager.findExtension(name), first); // the first of that name
    EXPECT_EQ(manager.findExtension("Nobody"), nullptr);
    EXPECT_EQ(manager.getExtensions().size(), before + 2);
    // The manager keeps what it was given.
    EXPECT_GE(first.use_count(), 2);
    auto factory = manager.findExtension(name)->getNodeFactory();
    EXPECT_TRUE(factory->findNodeType("Test.Tone").has_value());
}

TEST(ExtensionManager, LoadLibraryRunsRegistrationOnceAndReportsFailures)
{
    ExtensionManager& manager = ExtensionManager::getInstance();
    const std::size_t before = manager.getRegistrationCount();
    // Loaded by an earlier repetition of this test in the same process?
    const std::size_t expected = before + (manager.findExtension("SdkTestPlugin") == nullptr ? 1 : 0);
    std::string error;
    ASSERT_TRUE(manager.loadLibrary(OMBRIX_SDK_TEST_PLUGIN, &error)) << error;
    EXPECT_EQ(manager.getRegistrationCount(), expected);
    ASSERT_NE(manager.findExtension("SdkTestPlugin"), nullptr);
    EXPECT_EQ(manager.findExtension("SdkTestPlugin")->getObjectName(), "extension");

    EXPECT_TRUE(manager.loadLibrary(OMBRIX_SDK_TEST_PLUGIN));
    EXPECT_EQ(manager.getRegistrationCount(), expected);

    const std::string missing = std::string(OMBRIX_BUILD_DIR) + "/no-such-plugin.so";
    EXPECT_FALSE(manager.loadLibrary(missing, &error));
    EXPECT_NE(error.find(missing), std::string::npos) << error;
    EXPECT_FALSE(manager.loadLibrary(missing)); // no error string wanted: still fine
}
