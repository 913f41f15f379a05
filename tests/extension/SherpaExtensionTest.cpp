#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "ExpectedDescription.h"
#include "extension/SherpaExtension.h"
#include "host/ExtensionManager.h"

using ombrix::Extension;
using ombrix::ExtensionManager;
using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::extensions::sherpa::SherpaExtension;
using ombrix::testing::expectedTTSNodeTypeInfo;

TEST(SherpaExtension, NamesItselfSherpaWhileItsObjectNameIsExtension)
{
    SherpaExtension extension;
    EXPECT_EQ(extension.getName(), "Sherpa");
    EXPECT_EQ(extension.getObjectName(), "extension");
    EXPECT_EQ(extension.getDescription(),
        "sherpa-onnx integration for on-device speech-to-text and text-to-speech.");
}

TEST(SherpaExtension, InitializeAndDeinitializeSucceedInAnyOrderAndChangeNothing)
{
    auto extension = std::make_shared<SherpaExtension>();
    EXPECT_TRUE(extension->deinitialize().isSuccess()); // without a preceding initialize
    EXPECT_TRUE(extension->initialize(OXAnyMap{}).isSuccess());
    EXPECT_TRUE(
        extension->initialize(OXAnyMap{{"anything", OXAny(true)}, {"text", OXAny("hello")}}).isSuccess());
    EXPECT_TRUE(extension->deinitialize().isSuccess());
    EXPECT_TRUE(extension->deinitialize().isSuccess());

    // Still the same extension, handing out working factories.
    EXPECT_EQ(extension->getName(), "Sherpa");
    const auto factory = extension->getNodeFactory();
    ASSERT_NE(factory, nullptr);
    ASSERT_EQ(factory->getNodeTypes().size(), 1u);
}

TEST(SherpaExtension, EveryGetNodeFactoryCallMakesAnIndependentFactory)
{
    SherpaExtension extension;
    auto first = extension.getNodeFactory();
    auto second = extension.getNodeFactory();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->getNodeTypePrefix(), "Sherpa");
    // The caller is the only owner: the extension keeps no reference.
    EXPECT_EQ(first.use_count(), 1);

    first.reset();
    const auto types = second->getNodeTypes();
    ASSERT_EQ(types.size(), 1u);
    EXPECT_TRUE(types[0] == expectedTTSNodeTypeInfo());
}

TEST(SherpaExtension, EachLoadRegistersOneMoreDistinctExtension)
{
    // This program links the plug-in's code statically, without the load-time
    // unit, so nothing registered before the test; count relative anyway.
    ExtensionManager& manager = ExtensionManager::getInstance();
    const auto countBefore = manager.getRegistrationCount();
    const auto before = manager.getExtensions();

    SherpaExtension::load();
    const auto afterOne = manager.getExtensions();
    EXPECT_EQ(manager.getRegistrationCount(), countBefore + 1);
    ASSERT_EQ(afterOne.size(), before.size() + 1);

    SherpaExtension::load();
    const auto afterTwo = manager.getExtensions();
    EXPECT_EQ(manager.getRegistrationCount(), countBefore + 2);
    ASSERT_EQ(afterTwo.size(), before.size() + 2);

    const std::vector<std::shared_ptr<Extension>> added(
        afterTwo.begin() + static_cast<std::ptrdiff_t>(before.size()), afterTwo.end());
    ASSERT_EQ(added.size(), 2u);
    EXPECT_NE(added[0], added[1]);
    for (const auto& extension : added) {
        ASSERT_NE(dynamic_cast<SherpaExtension*>(extension.get()), nullptr);
        EXPECT_EQ(extension->getName(), "Sherpa");
        EXPECT_EQ(extension->getObjectName(), "extension");
    }
    EXPECT_EQ(std::count(afterTwo.begin(), afterTwo.end(), added[0]), 1);
}
