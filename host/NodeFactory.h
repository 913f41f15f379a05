#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Node.h"
#include "NodeTypeInfo.h"
#include "OmbrixExport.h"

namespace ombrix {

// Creates nodes by fully qualified type name ("<namespace>.<type>").
class OMBRIX_SDK_API NodeFactory {
public:
    using CreateFunction = std::function<Node*(const OXAnyMap& config)>;

    NodeFactory();
    virtual ~NodeFactory();
    NodeFactory(const NodeFactory&) = delete;
    NodeFactory& operator=(const NodeFactory&) = delete;

    virtual std::string getNodeTypePrefix();
    // Registered types, in registration order.
    virtual std::vector<NodeTypeInfo> getNodeTypes();
    // A new node of the type, owned by the caller; null for a type this
    // factory did not register. Exceptions of the creation function pass through.
    virtual std::unique_ptr<Node> createNode(const std::string& type, const OXAnyMap& config);

    std::optional<NodeTypeInfo> findNodeType(const std::string& type) const;

protected:
    // Keeps the description and the function; a type registered again replaces
    // the earlier registration.
    void registerNode(const NodeTypeInfo& info, CreateFunction create);

private:
    struct Registration {
        NodeTypeInfo info;
        CreateFunction create;
    };

    mutable std::mutex registrationsMutex;
    std::vector<Registration> registrations;
};

} // namespace ombrix
