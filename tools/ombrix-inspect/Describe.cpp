#include "Describe.h"

#include "tools/common/ToolCommon.h"

#include <cmath>
#include <cstdio>

namespace ombrix::inspect {

namespace {

using ombrix::tools::jsonString;

std::string indent(int level)
{
    return std::string(static_cast<std::size_t>(level) * 2, ' ');
}

// ---- text ------------------------------------------------------------------------------

std::string scalarText(const OXAny& value)
{
    switch (value.getType()) {
    case OXAny::Type::Empty:
        return "(empty)";
    case OXAny::Type::Bool:
        return value.convert<bool>() ? "true" : "false";
    case OXAny::Type::Int:
        return std::to_string(value.convert<std::int64_t>());
    case OXAny::Type::Float: {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value.convert<double>());
        return text;
    }
    case OXAny::Type::String:
        return "\"" + value.convert<std::string>() + "\"";
    case OXAny::Type::Map:
        break;
    }
    return {};
}

// Any map, key by key, nested maps indented below their key.
void printMap(std::ostream& out, const OXAnyMap& map, int level)
{
    for (const auto& [key, value] : map) {
        if (value.getType() == OXAny::Type::Map) {
            const OXAnyMap inner = value.convert<OXAnyMap>();
            out << indent(level) << key << ':' << (inner.empty() ? " (empty)" : "") << '\n';
            printMap(out, inner, level + 1);
        } else {
            out << indent(level) << key << ": " << scalarText(value) << '\n';
        }
    }
}

// A string field of a description entry; empty when absent or not a string.
std::string field(const OXAnyMap& entry, const char* key)
{
    if (!entry.hasKey(key) || entry.at(key).getType() != OXAny::Type::String) {
        return {};
    }
    return entry.at(key).convert<std::string>();
}

OXAnyMap mapField(const OXAnyMap& entry, const char* key)
{
    if (!entry.hasKey(key) || entry.at(key).getType() != OXAny::Type::Map) {
        return {};
    }
    return entry.at(key).convert<OXAnyMap>();
}

// Entries that are not the fields shown on their own line, shown as they are.
void printOtherFields(
    std::ostream& out, const OXAnyMap& entry, std::initializer_list<const char*> shown, int level)
{
    OXAnyMap rest = entry;
    for (const char* key : shown) {
        rest.remove(key);
    }
    printMap(out, rest, level);
}

// "name (type, required|optional): description" for an action parameter; "name (type):
// description" for an event's data field.
void printFields(std::ostream& out, const OXAnyMap& fields, bool withOptional, int level)
{
    for (const auto& [key, value] : fields) {
        if (value.getType() != OXAny::Type::Map) {
            out << indent(level) << key << ": " << scalarText(value) << '\n';
            continue;
        }
        const OXAnyMap entry = value.convert<OXAnyMap>();
        const std::string name = field(entry, "name").empty() ? key : field(entry, "name");
        std::string type = field(entry, "type");
        if (type.empty()) {
            type = "untyped";
        }
        out << indent(level) << name << " (" << type;
        if (withOptional) {
            const bool optional = entry.hasKey("isOptional")
                && entry.at("isOptional").getType() == OXAny::Type::Bool
                && entry.at("isOptional").convert<bool>();
            out << (optional ? ", optional" : ", required");
        }
        out << ')';
        if (const std::string description = field(entry, "description"); !description.empty()) {
            out << ": " << description;
        }
        out << '\n';
        printOtherFields(out, entry, {"name", "type", "isOptional", "description"}, level + 1);
    }
}

void printNodeType(std::ostream& out, const NodeTypeInfo& info)
{
    out << '\n' << info.getFQTypeName() << '\n';
    out << "  Display name: " << info.displayName << '\n';
    out << "  Description: " << info.description << '\n';
    out << "  Categories: ";
    for (std::size_t i = 0; i < info.categories.size(); ++i) {
        out << (i ? ", " : "") << info.categories[i];
    }
    out << (info.categories.empty() ? "(none)\n" : "\n");
    out << "  Configuration:" << (info.configuration.empty() ? " (none)" : "") << '\n';
    printMap(out, info.configuration, 2);
    out << "  Properties:" << (info.properties.empty() ? " (none)" : "") << '\n';
    printMap(out, info.properties, 2);

    out << "  Actions:" << (info.actions.empty() ? " (none)" : "") << '\n';
    for (const auto& [name, value] : info.actions) {
        const OXAnyMap action = value.getType() == OXAny::Type::Map ? value.convert<OXAnyMap>() : OXAnyMap{};
        out << "    " << name;
        if (const std::string description = field(action, "description"); !description.empty()) {
            out << ": " << description;
        }
        out << '\n';
        const OXAnyMap parameters = mapField(action, "parameters");
        if (parameters.empty()) {
            out << "      (no parameters)\n";
        }
        printFields(out, parameters, true, 3);
        printOtherFields(out, action, {"description", "parameters"}, 3);
    }

    if (info.getFQTypeName() == "Sherpa.TTS") {
        // Dispatched by the node itself, not declared in its description.
        out << "  The node also answers \"loadModel\" (modelPath, tokensPath, dataPath), \"stop\" "
               "(no parameters) and \"synthesizeWith\" (text, speakerId, speed); see docs/tts-node.md.\n";
    }

    out << "  Events:" << (info.events.empty() ? " (none)" : "") << '\n';
    for (const auto& [name, value] : info.events) {
        const OXAnyMap event = value.getType() == OXAny::Type::Map ? value.convert<OXAnyMap>() : OXAnyMap{};
        out << "    " << name;
        if (const std::string description = field(event, "description"); !description.empty()) {
            out << ": " << description;
        }
        out << '\n';
        const OXAnyMap data = mapField(event, "data");
        if (data.empty()) {
            out << "      (no data)\n";
        }
        printFields(out, data, false, 3);
        // The event's own name is its key; another one would be shown.
        OXAnyMap rest = event;
        if (field(event, "name") == name) {
            rest.remove("name");
        }
        printOtherFields(out, rest, {"description", "data"}, 3);
    }
}

// ---- JSON ------------------------------------------------------------------------------

void printJsonValue(std::ostream& out, const OXAny& value, int level);

void printJsonMap(std::ostream& out, const OXAnyMap& map, int level)
{
    if (map.empty()) {
        out << "{}";
        return;
    }
    out << "{\n";
    bool first = true;
    for (const auto& [key, value] : map) {
        out << (first ? "" : ",\n") << indent(level + 1) << jsonString(key) << ": ";
        printJsonValue(out, value, level + 1);
        first = false;
    }
    out << '\n' << indent(level) << '}';
}

void printJsonValue(std::ostream& out, const OXAny& value, int level)
{
    switch (value.getType()) {
    case OXAny::Type::Empty:
        out << "null";
        break;
    case OXAny::Type::Bool:
        out << (value.convert<bool>() ? "true" : "false");
        break;
    case OXAny::Type::Int:
        out << value.convert<std::int64_t>();
        break;
    case OXAny::Type::Float: {
        const double number = value.convert<double>();
        if (std::isfinite(number)) {
            char text[32];
            std::snprintf(text, sizeof text, "%.17g", number);
            out << text;
        } else {
            out << "null"; // JSON has no infinities or NaN
        }
        break;
    }
    case OXAny::Type::String:
        out << jsonString(value.convert<std::string>());
        break;
    case OXAny::Type::Map:
        printJsonMap(out, value.convert<OXAnyMap>(), level);
        break;
    }
}

} // namespace

void printText(std::ostream& out, const PluginDescription& plugin)
{
    out << "Plug-in: " << plugin.path << '\n';
    if (plugin.extensions.empty()) {
        out << "  (registered no extension)\n";
    }
    for (const auto& extension : plugin.extensions) {
        out << "\nExtension: " << extension.name << '\n';
        out << "  Description: " << extension.description << '\n';
        out << "  Node types: " << extension.nodeTypes.size() << '\n';
        for (const auto& info : extension.nodeTypes) {
            out << "    " << info.getFQTypeName() << ": " << info.displayName << '\n';
        }
        for (const auto& info : extension.nodeTypes) {
            printNodeType(out, info);
        }
    }
}

void printJson(std::ostream& out, const PluginDescription& plugin)
{
    out << "{\n  \"plugin\": " << jsonString(plugin.path) << ",\n  \"extensions\": [";
    for (std::size_t e = 0; e < plugin.extensions.size(); ++e) {
        const ExtensionDescription& extension = plugin.extensions[e];
        out << (e ? ",\n" : "\n") << "    {\n      \"name\": " << jsonString(extension.name)
            << ",\n      \"description\": " << jsonString(extension.description)
            << ",\n      \"nodeTypes\": [";
        for (std::size_t t = 0; t < extension.nodeTypes.size(); ++t) {
            const NodeTypeInfo& info = extension.nodeTypes[t];
            const std::string in = indent(5);
            out << (t ? ",\n" : "\n") << indent(4) << "{\n";
            out << in << "\"type\": " << jsonString(info.getFQTypeName()) << ",\n";
            out << in << "\"namespace\": " << jsonString(info.nodeNamespace) << ",\n";
            out << in << "\"typeName\": " << jsonString(info.typeName) << ",\n";
            out << in << "\"displayName\": " << jsonString(info.displayName) << ",\n";
            out << in << "\"description\": " << jsonString(info.description) << ",\n";
            out << in << "\"categories\": [";
            for (std::size_t c = 0; c < info.categories.size(); ++c) {
                out << (c ? ", " : "") << jsonString(info.categories[c]);
            }
            out << "],\n";
            const std::pair<const char*, const OXAnyMap*> maps[] = {{"configuration", &info.configuration},
                {"properties", &info.properties}, {"actions", &info.actions}, {"events", &info.events}};
            for (std::size_t m = 0; m < std::size(maps); ++m) {
                out << in << jsonString(maps[m].first) << ": ";
                printJsonMap(out, *maps[m].second, 5);
                out << (m + 1 < std::size(maps) ? ",\n" : "\n");
            }
            out << indent(4) << '}';
        }
        out << (extension.nodeTypes.empty() ? "]" : "\n      ]") << "\n    }";
    }
    out << (plugin.extensions.empty() ? "]" : "\n  ]") << "\n}\n";
}

} // namespace ombrix::inspect
