#pragma once

// How ombrix-inspect shows what a plug-in offers: as text for people (in the spirit of
// gst-inspect-1.0) and as JSON for scripts. Both show the same things: each extension,
// its node types, and for each type its display name, description, categories,
// configuration, properties, actions (with their parameters) and events (with their data).

#include "host/NodeTypeInfo.h"

#include <ostream>
#include <string>
#include <vector>

namespace ombrix::inspect {

struct ExtensionDescription {
    std::string name;
    std::string description;
    std::vector<NodeTypeInfo> nodeTypes;
};

struct PluginDescription {
    std::string path;
    std::vector<ExtensionDescription> extensions;
};

void printText(std::ostream& out, const PluginDescription& plugin);

/**
 * One JSON object:
 *   {"plugin": PATH, "extensions": [{"name", "description", "nodeTypes": [{"type"
 *   (namespace.typeName), "namespace", "typeName", "displayName", "description",
 *   "categories": [...], "configuration", "properties", "actions", "events"}]}]}
 * where the last four are the description's maps as they are (maps as objects, strings,
 * booleans and numbers as such, an empty value as null).
 */
void printJson(std::ostream& out, const PluginDescription& plugin);

} // namespace ombrix::inspect
