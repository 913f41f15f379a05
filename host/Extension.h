#pragma once

#include <memory>
#include <string>

#include "NodeFactory.h"
#include "OmbrixObject.h"

namespace ombrix {

// A plug-in's entry object, registered with the ExtensionManager.
class OMBRIX_SDK_API Extension : public OmbrixObject {
public:
    using OmbrixObject::OmbrixObject;
    ~Extension() override;

    // Defaults: ignore the configuration, change nothing, succeed.
    virtual Result<OXAny> initialize(const OXAnyMap& config)
    {
        (void)config;
        return Result<OXAny>::success();
    }
    virtual Result<OXAny> deinitialize() { return Result<OXAny>::success(); }

    virtual std::string getName() = 0;
    virtual std::string getDescription() = 0;
    virtual std::shared_ptr<NodeFactory> getNodeFactory() = 0;
};

} // namespace ombrix
