#include "ExpectedDescription.h"

#include <sstream>

namespace ombrix::testing {

namespace {

OXAnyMap parameter(const char* name, const char* description, const char* type, bool isOptional)
{
    return OXAnyMap{
        {"name", OXAny(std::string(name))},
        {"description", OXAny(std::string(description))},
        {"type", OXAny(std::string(type))},
        {"isOptional", OXAny(isOptional)},
    };
}

std::string pad(int indent)
{
    return std::string(static_cast<std::size_t>(indent) * 2, ' ');
}

} // namespace

NodeTypeInfo expectedTTSNodeTypeInfo()
{
    NodeTypeInfo info;
    info.nodeNamespace = "Sherpa";
    info.typeName = "TTS";
    info.displayName = "Sherpa Text-to-Speech";
    info.description = "A text-to-speech node using the Sherpa library.";
    info.categories = {"Voice", "AI"};

    OXAnyMap synthesize;
    synthesize.set("description", OXAny("Synthesizes text to speech."));
    OXAnyMap synthesizeParameters;
    synthesizeParameters.set("text", OXAny(parameter("text", "The text to synthesize.", "string", false)));
    synthesize.set("parameters", OXAny(synthesizeParameters));

    OXAnyMap append;
    append.set("description",
        OXAny("Appends streaming text to the synthesis buffer. Synthesizes at sentence boundaries."));
    OXAnyMap appendParameters;
    appendParameters.set("token", OXAny(parameter("token", "The token text to append.", "string", false)));
    appendParameters.set(
        "isFinal", OXAny(parameter("isFinal", "True if this is the final token.", "boolean", true)));
    append.set("parameters", OXAny(appendParameters));

    OXAnyMap clear;
    clear.set("description", OXAny("Clears the streaming text buffer without synthesizing."));

    info.actions.set("synthesize", OXAny(synthesize));
    info.actions.set("appendStreamingText", OXAny(append));
    info.actions.set("clearStreamingBuffer", OXAny(clear));

    OXAnyMap finished;
    finished.set("description", OXAny("Emitted when the synthesized audio has finished playing."));

    OXAnyMap textData;
    textData.set("name", OXAny("text"));
    textData.set("type", OXAny("string"));
    textData.set("description", OXAny("The text being synthesized."));
    OXAnyMap data;
    data.set("text", OXAny(textData));
    OXAnyMap started;
    started.set("name", OXAny("synthesisStarted"));
    started.set("description", OXAny("Emitted when synthesis of a text segment begins."));
    started.set("data", OXAny(data));

    info.events.set("finished", OXAny(finished));
    info.events.set("synthesisStarted", OXAny(started));
    return info;
}

std::string toText(const OXAny& value, int indent)
{
    std::ostringstream out;
    switch (value.getType()) {
    case OXAny::Type::Empty:
        out << "<empty>";
        break;
    case OXAny::Type::Bool:
        out << "bool " << (value.convert<bool>() ? "true" : "false");
        break;
    case OXAny::Type::Int:
        out << "int " << value.convert<std::int64_t>();
        break;
    case OXAny::Type::Float:
        out << "float " << value.convert<double>();
        break;
    case OXAny::Type::String:
        out << "string \"" << value.convert<std::string>() << '"';
        break;
    case OXAny::Type::Map:
        out << toText(value.convert<OXAnyMap>(), indent);
        break;
    }
    return out.str();
}

std::string toText(const OXAnyMap& map, int indent)
{
    if (map.empty()) {
        return "map {}";
    }
    std::ostringstream out;
    out << "map {\n";
    for (const auto& [key, value] : map) {
        out << pad(indent + 1) << key << ": " << toText(value, indent + 1) << '\n';
    }
    out << pad(indent) << '}';
    return out.str();
}

std::string toText(const NodeTypeInfo& info)
{
    std::ostringstream out;
    out << "nodeNamespace: \"" << info.nodeNamespace << "\"\n";
    out << "typeName: \"" << info.typeName << "\"\n";
    out << "displayName: \"" << info.displayName << "\"\n";
    out << "description: \"" << info.description << "\"\n";
    out << "categories: [";
    for (std::size_t i = 0; i < info.categories.size(); ++i) {
        out << (i == 0 ? "" : ", ") << '"' << info.categories[i] << '"';
    }
    out << "]\n";
    out << "configuration: " << toText(info.configuration) << '\n';
    out << "properties: " << toText(info.properties) << '\n';
    out << "actions: " << toText(info.actions) << '\n';
    out << "events: " << toText(info.events) << '\n';
    return out.str();
}

} // namespace ombrix::testing
