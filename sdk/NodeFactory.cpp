#include "host/NodeFactory.h"

namespace ombrix {

NodeFactory::NodeFactory() = default;

NodeFactory::~NodeFactory() = default;

// A factory that does not say otherwise has no common prefix.
std::string NodeFactory::getNodeTypePrefix()
{
    return {};
}

std::vector<NodeTypeInfo> NodeFactory::getNodeTypes()
{
    std::lock_guard<std::mutex> lock(registrationsMutex);
    std::vector<NodeTypeInfo> types;
    types.reserve(registrations.size());
    for (const Registration& registration : registrations) {
        types.push_back(registration.info);
    }
    return types;
}

std::unique_ptr<Node> NodeFactory::createNode(const std::string& type, const OXAnyMap& config)
{
    CreateFunction create;
    {
        std::lock_guard<std::mutex> lock(registrationsMutex);
        for (const Registration& registration : registrations) {
            if (registration.info.getFQTypeName() == type) {
                create = registration.create;
                break;
            }
        }
    }
    if (!create) {
        return nullptr;
    }
    // The node's constructor runs unlocked; it may well ask this factory things.
    return std::unique_ptr<Node>(create(config));
}

std::optional<NodeTypeInfo> NodeFactory::findNodeType(const std::string& type) const
{
    std::lock_guard<std::mutex> lock(registrationsMutex);
    for (const Registration& registration : registrations) {
        if (registration.info.getFQTypeName() == type) {
            return registration.info;
        }
    }
    return std::nullopt;
}

void NodeFactory::registerNode(const NodeTypeInfo& info, CreateFunction create)
{
    const std::string name = info.getFQTypeName();
    std::lock_guard<std::mutex> lock(registrationsMutex);
    for (Registration& registration : registrations) {
        if (registration.info.getFQTypeName() == name) {
            registration = Registration{info, std::move(create)};
            return;
        }
    }
    registrations.push_back(Registration{info, std::move(create)});
}

} // namespace ombrix
