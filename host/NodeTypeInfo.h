#pragma once

#include <string>
#include <vector>

#include "OXAny.h"

namespace ombrix {

// Description of a node type as a factory registers it and the host shows it.
struct NodeTypeInfo {
    std::string nodeNamespace;
    std::string typeName;
    std::string displayName;
    std::string description;
    std::vector<std::string> categories;
    OXAnyMap configuration;
    OXAnyMap properties;
    OXAnyMap actions;
    OXAnyMap events;

    // "<nodeNamespace>.<typeName>"; the dot is always inserted.
    std::string getFQTypeName() const
    {
        std::string name = nodeNamespace;
        name += '.';
        name += typeName;
        return name;
    }

    bool operator==(const NodeTypeInfo&) const = default;
};

} // namespace ombrix
