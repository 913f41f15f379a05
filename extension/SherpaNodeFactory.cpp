#include "extension/SherpaNodeFactory.h"

#include <string>
#include <string_view>
#include <utility>

#include "extension/Vocabulary.h"
#include "tts/SherpaTTSNode.h"

namespace ombrix::extensions::sherpa {

namespace {

constexpr std::string_view sherpaNodeNamespace = "Sherpa";

// Map keys and type names are std::string values of vocabulary constants.
std::string str(std::string_view value)
{
    return std::string(value);
}

OXAnyMap actionParameter(
    const std::string& name, const char* description, std::string_view type, bool isOptional)
{
    return OXAnyMap{
        {str(ACTION_PARAMETER_FIELD_NAME), OXAny(name)},
        {str(ACTION_PARAMETER_FIELD_DESCRIPTION), OXAny(description)},
        {str(ACTION_PARAMETER_FIELD_TYPE), OXAny(str(type))},
        {str(ACTION_PARAMETER_FIELD_IS_OPTIONAL), OXAny(isOptional)},
    };
}

} // namespace

// Part of the factory's unit: the factory is the one that registers it. The
// node's constructor reads the action and event descriptions from here too.
// Builds the whole record anew on every call; nothing is cached.
NodeTypeInfo SherpaTTSNode::getNodeTypeInfo()
{
    NodeTypeInfo info;
    info.nodeNamespace = str(sherpaNodeNamespace);
    info.typeName = "TTS";
    info.displayName = "Sherpa Text-to-Speech";
    info.description = "A text-to-speech node using the Sherpa library.";
    info.categories = {str(NODE_CATEGORY_VOICE), str(NODE_CATEGORY_AI)};
    // configuration and properties stay empty maps.

    const OXAnyMap synthesize{
        {str(ACTION_FIELD_DESCRIPTION), OXAny("Synthesizes text to speech.")},
        {str(ACTION_FIELD_PARAMETERS),
            OXAny(OXAnyMap{
                {"text",
                    OXAny(actionParameter(
                        "text", "The text to synthesize.", ACTION_PARAMETER_TYPE_STRING, false))},
            })},
    };
    const OXAnyMap appendStreamingText{
        {str(ACTION_FIELD_DESCRIPTION),
            OXAny("Appends streaming text to the synthesis buffer. Synthesizes at sentence boundaries.")},
        {str(ACTION_FIELD_PARAMETERS),
            OXAny(OXAnyMap{
                {"token",
                    OXAny(actionParameter(
                        "token", "The token text to append.", ACTION_PARAMETER_TYPE_STRING, false))},
                {"isFinal",
                    OXAny(actionParameter(
                        "isFinal", "True if this is the final token.", ACTION_PARAMETER_TYPE_BOOLEAN, true))},
            })},
    };
    const OXAnyMap clearStreamingBuffer{
        {str(ACTION_FIELD_DESCRIPTION), OXAny("Clears the streaming text buffer without synthesizing.")},
    };
    info.actions = OXAnyMap{
        {"synthesize", OXAny(synthesize)},
        {"appendStreamingText", OXAny(appendStreamingText)},
        {"clearStreamingBuffer", OXAny(clearStreamingBuffer)},
    };

    const OXAnyMap finished{
        {str(EVENT_FIELD_DESCRIPTION), OXAny("Emitted when the synthesized audio has finished playing.")},
    };
    const OXAnyMap synthesisStarted{
        {str(EVENT_FIELD_NAME), OXAny("synthesisStarted")},
        {str(EVENT_FIELD_DESCRIPTION), OXAny("Emitted when synthesis of a text segment begins.")},
        {str(EVENT_FIELD_DATA),
            OXAny(OXAnyMap{
                {"text",
                    OXAny(OXAnyMap{
                        {str(EVENT_DATA_FIELD_NAME), OXAny("text")},
                        {str(EVENT_DATA_FIELD_TYPE), OXAny(str(EVENT_DATA_TYPE_STRING))},
                        {str(EVENT_DATA_FIELD_DESCRIPTION), OXAny("The text being synthesized.")},
                    })},
            })},
    };
    info.events = OXAnyMap{
        {"finished", OXAny(finished)},
        {"synthesisStarted", OXAny(synthesisStarted)},
    };
    return info;
}

SherpaNodeFactory::SherpaNodeFactory()
{
    // Captures nothing, so it may run on any thread and outlive the factory.
    // If the node's constructor throws, the new-expression frees the node's
    // memory and the exception leaves unchanged.
    CreateFunction create = [](const OXAnyMap& config) -> Node* { return new SherpaTTSNode(config); };
    registerNode(SherpaTTSNode::getNodeTypeInfo(), std::move(create));
}

SherpaNodeFactory::~SherpaNodeFactory() = default;

std::string SherpaNodeFactory::getNodeTypePrefix()
{
    return str(sherpaNodeNamespace);
}

} // namespace ombrix::extensions::sherpa
