#include "host/OmbrixObject.h"

namespace ombrix {

OmbrixObject::OmbrixObject(const std::string& name)
    : objectName(name)
{
}

OmbrixObject::~OmbrixObject() = default;

const std::string& OmbrixObject::getObjectName() const
{
    return objectName;
}

Result<OXAny> OmbrixObject::setValue(const std::string& key, const OXAny& value)
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    values.insert_or_assign(key, value);
    return Result<OXAny>::success(value);
}

Result<OXAny> OmbrixObject::getValue(const std::string& key)
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    const auto it = values.find(key);
    if (it == values.end()) {
        return Result<OXAny>::error(objectName + ": no value '" + key + "'");
    }
    return Result<OXAny>::success(it->second);
}

Result<OXAny> OmbrixObject::callAction(const std::string& name, const OXAnyMap& params)
{
    ActionHandler handler;
    {
        std::lock_guard<std::mutex> lock(declarationsMutex);
        const auto it = actions.find(name);
        if (it != actions.end()) {
            handler = it->second.handler;
        }
    }
    // The handler runs unlocked: it may declare, call or read anything on this object.
    if (!handler) {
        return Result<OXAny>::error(objectName + ": unknown action '" + name + "'");
    }
    return handler(params);
}

void OmbrixObject::registerAction(const std::string& name, const OXAnyMap& description, ActionHandler handler)
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    actions.insert_or_assign(name, ActionEntry{description, std::move(handler)});
}

void OmbrixObject::registerEvent(const std::string& name, const OXAnyMap& description)
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    events.insert_or_assign(name, description);
}

bool OmbrixObject::hasAction(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    return actions.find(name) != actions.end();
}

bool OmbrixObject::hasEvent(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    return events.find(name) != events.end();
}

OXAnyMap OmbrixObject::getActions() const
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    OXAnyMap result;
    for (const auto& [name, entry] : actions) {
        result.set(name, OXAny(entry.description));
    }
    return result;
}

OXAnyMap OmbrixObject::getEvents() const
{
    std::lock_guard<std::mutex> lock(declarationsMutex);
    OXAnyMap result;
    for (const auto& [name, description] : events) {
        result.set(name, OXAny(description));
    }
    return result;
}

} // namespace ombrix
