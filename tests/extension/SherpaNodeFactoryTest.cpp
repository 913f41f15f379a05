#include <gtest/gtest.h>

#include <memory>

#include "ExpectedDescription.h"
#include "extension/SherpaNodeFactory.h"

using ombrix::NodeTypeInfo;
using ombrix::OXAnyMap;
using ombrix::extensions::sherpa::SherpaNodeFactory;
using ombrix::testing::expectedTTSNodeTypeInfo;
using ombrix::testing::toText;

TEST(SherpaNodeFactory, RegistersOnlyTheTTSTypeUnderTheSherpaPrefix)
{
    SherpaNodeFactory factory;
    EXPECT_EQ(factory.getNodeTypePrefix(), "Sherpa");

    const auto types = factory.getNodeTypes();
    ASSERT_EQ(types.size(), 1u);
    EXPECT_EQ(types[0].getFQTypeName(), "Sherpa.TTS");
    EXPECT_EQ(types[0].nodeNamespace, factory.getNodeTypePrefix());
    EXPECT_TRUE(types[0] == expectedTTSNodeTypeInfo()) << toText(types[0]);

    const auto found = factory.findNodeType("Sherpa.TTS");
    ASSERT_TRUE(found.has_value());
    EXPECT_TRUE(*found == types[0]);
}

TEST(SherpaNodeFactory, AnswersSpeechToTextAndUnknownTypesLikeAnyUnregisteredType)
{
    SherpaNodeFactory factory;
    // The speech-to-text node exists as a class but is never registered.
    for (const char* type :
        {"Sherpa.STT", "STT", "Sherpa.SherpaSTTNode", "TTS", "sherpa.tts", "Sherpa.TTS "}) {
        EXPECT_FALSE(factory.findNodeType(type).has_value()) << type;
        EXPECT_EQ(factory.createNode(type, OXAnyMap{}), nullptr) << type;
    }
}

TEST(SherpaNodeFactory, EachFactoryHoldsItsOwnRegistration)
{
    auto first = std::make_unique<SherpaNodeFactory>();
    auto second = std::make_unique<SherpaNodeFactory>();
    ASSERT_EQ(first->getNodeTypes().size(), 1u);
    ASSERT_EQ(second->getNodeTypes().size(), 1u);

    first.reset();
    const auto types = second->getNodeTypes();
    ASSERT_EQ(types.size(), 1u);
    EXPECT_TRUE(types[0] == expectedTTSNodeTypeInfo()) << toText(types[0]);
    EXPECT_TRUE(second->findNodeType("Sherpa.TTS").has_value());
}
