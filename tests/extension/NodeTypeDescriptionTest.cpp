// The "Sherpa.TTS" description, compared with an independently written
// expectation entry by entry (for readable failures) and as a whole.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExpectedDescription.h"
#include "tts/SherpaTTSNode.h"

using ombrix::NodeTypeInfo;
using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::extensions::sherpa::SherpaTTSNode;
using ombrix::testing::expectedTTSNodeTypeInfo;
using ombrix::testing::toText;

namespace {

std::vector<std::string> keysOf(const OXAnyMap& map)
{
    std::vector<std::string> keys;
    for (const auto& entry : map) {
        keys.push_back(entry.first);
    }
    return keys;
}

// Compares one entry of two maps of descriptions, key set first, then every
// nested value, so a failure names the entry that differs.
void expectSameEntries(const OXAnyMap& actual, const OXAnyMap& expected, const std::string& where)
{
    ASSERT_EQ(keysOf(actual), keysOf(expected)) << where;
    for (const auto& [key, expectedValue] : expected) {
        const OXAny actualValue = actual.at(key);
        ASSERT_EQ(actualValue.getType(), expectedValue.getType()) << where << "." << key;
        if (expectedValue.getType() == OXAny::Type::Map) {
            expectSameEntries(
                actualValue.convert<OXAnyMap>(), expectedValue.convert<OXAnyMap>(), where + "." + key);
        } else {
            EXPECT_EQ(actualValue, expectedValue)
                << where << "." << key << ": " << toText(actualValue) << " vs " << toText(expectedValue);
        }
    }
}

} // namespace

TEST(TTSNodeTypeDescription, TopLevelFieldsNameTheSherpaTTSType)
{
    const NodeTypeInfo info = SherpaTTSNode::getNodeTypeInfo();
    EXPECT_EQ(info.nodeNamespace, "Sherpa");
    EXPECT_EQ(info.typeName, "TTS");
    EXPECT_EQ(info.getFQTypeName(), "Sherpa.TTS");
    EXPECT_EQ(info.displayName, "Sherpa Text-to-Speech");
    EXPECT_EQ(info.description, "A text-to-speech node using the Sherpa library.");
    EXPECT_EQ(info.categories, (std::vector<std::string>{"Voice", "AI"}));
    EXPECT_TRUE(info.configuration.empty());
    EXPECT_TRUE(info.properties.empty());
}

TEST(TTSNodeTypeDescription, ListsExactlyTheThreeDeclaredActionsWithTheirParameters)
{
    const NodeTypeInfo info = SherpaTTSNode::getNodeTypeInfo();
    // "loadModel" is answered by the node but deliberately not described.
    EXPECT_EQ(keysOf(info.actions),
        (std::vector<std::string>{"appendStreamingText", "clearStreamingBuffer", "synthesize"}));

    const OXAnyMap synthesize = info.actions.at("synthesize").convert<OXAnyMap>();
    EXPECT_EQ(keysOf(synthesize), (std::vector<std::string>{"description", "parameters"}));
    const OXAnyMap text = synthesize.at("parameters").convert<OXAnyMap>().at("text").convert<OXAnyMap>();
    EXPECT_EQ(text.at("name"), OXAny("text")); // the parameter repeats its key
    EXPECT_EQ(text.at("type"), OXAny("string"));
    ASSERT_EQ(text.at("isOptional").getType(), OXAny::Type::Bool);
    EXPECT_FALSE(text.at("isOptional").convert<bool>());

    const OXAnyMap append = info.actions.at("appendStreamingText").convert<OXAnyMap>();
    const OXAnyMap appendParameters = append.at("parameters").convert<OXAnyMap>();
    EXPECT_EQ(keysOf(appendParameters), (std::vector<std::string>{"isFinal", "token"}));
    const OXAnyMap isFinal = appendParameters.at("isFinal").convert<OXAnyMap>();
    EXPECT_EQ(isFinal.at("name"), OXAny("isFinal"));
    EXPECT_EQ(isFinal.at("type"), OXAny("boolean"));
    ASSERT_EQ(isFinal.at("isOptional").getType(), OXAny::Type::Bool);
    EXPECT_TRUE(isFinal.at("isOptional").convert<bool>());
    EXPECT_EQ(appendParameters.at("token").convert<OXAnyMap>().at("name"), OXAny("token"));

    // No action map carries name, return type, return description or handler.
    for (const auto& [name, action] : info.actions) {
        const OXAnyMap map = action.convert<OXAnyMap>();
        for (const char* unused : {"name", "returnType", "returnDescription", "handler"}) {
            EXPECT_FALSE(map.hasKey(unused)) << name << " has " << unused;
        }
    }
    EXPECT_FALSE(info.actions.at("clearStreamingBuffer").convert<OXAnyMap>().hasKey("parameters"));
}

TEST(TTSNodeTypeDescription, FinishedHasOnlyADescriptionWhileSynthesisStartedNamesItselfAndItsData)
{
    const NodeTypeInfo info = SherpaTTSNode::getNodeTypeInfo();
    EXPECT_EQ(keysOf(info.events), (std::vector<std::string>{"finished", "synthesisStarted"}));

    const OXAnyMap finished = info.events.at("finished").convert<OXAnyMap>();
    EXPECT_EQ(keysOf(finished), (std::vector<std::string>{"description"}));

    const OXAnyMap started = info.events.at("synthesisStarted").convert<OXAnyMap>();
    EXPECT_EQ(keysOf(started), (std::vector<std::string>{"data", "description", "name"}));
    EXPECT_EQ(started.at("name"), OXAny("synthesisStarted"));
    const OXAnyMap text = started.at("data").convert<OXAnyMap>().at("text").convert<OXAnyMap>();
    EXPECT_EQ(keysOf(text), (std::vector<std::string>{"description", "name", "type"}));
    EXPECT_EQ(text.at("type"), OXAny("string"));
}

TEST(TTSNodeTypeDescription, EqualsTheExpectedRecordEntryByEntryAndAsAWhole)
{
    const NodeTypeInfo actual = SherpaTTSNode::getNodeTypeInfo();
    const NodeTypeInfo expected = expectedTTSNodeTypeInfo();

    expectSameEntries(actual.configuration, expected.configuration, "configuration");
    expectSameEntries(actual.properties, expected.properties, "properties");
    expectSameEntries(actual.actions, expected.actions, "actions");
    expectSameEntries(actual.events, expected.events, "events");
    EXPECT_EQ(toText(actual), toText(expected));
    EXPECT_TRUE(actual == expected) << toText(actual);
}

TEST(TTSNodeTypeDescription, EveryCallBuildsAnEqualIndependentRecord)
{
    NodeTypeInfo first = SherpaTTSNode::getNodeTypeInfo();
    const NodeTypeInfo second = SherpaTTSNode::getNodeTypeInfo();
    EXPECT_TRUE(first == second);

    // Changing one record leaves the next one built untouched (nothing cached).
    first.actions.remove("synthesize");
    first.categories.clear();
    const NodeTypeInfo third = SherpaTTSNode::getNodeTypeInfo();
    EXPECT_TRUE(third == second);
    EXPECT_TRUE(third.actions.hasKey("synthesize"));
}

TEST(NodeTypeInfoFQTypeName, InsertsTheDotWhateverTheParts)
{
    NodeTypeInfo info;
    EXPECT_EQ(info.getFQTypeName(), ".");
    info.typeName = "TTS";
    EXPECT_EQ(info.getFQTypeName(), ".TTS");
    info.nodeNamespace = "Sherpa";
    info.typeName = "";
    EXPECT_EQ(info.getFQTypeName(), "Sherpa.");
    // Neither part is validated or escaped.
    info.nodeNamespace = "a.b";
    info.typeName = " c.d ";
    EXPECT_EQ(info.getFQTypeName(), "a.b. c.d ");
}
