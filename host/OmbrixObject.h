#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "EventEmitter.h"
#include "OXAny.h"
#include "OmbrixExport.h"
#include "Result.h"

namespace ombrix {

// Base of every host object: a name, values, and declared actions and events.
class OMBRIX_SDK_API OmbrixObject : public EventEmitter {
public:
    using ActionHandler = std::function<Result<OXAny>(const OXAnyMap& params)>;

    explicit OmbrixObject(const std::string& name);
    ~OmbrixObject() override;

    const std::string& getObjectName() const;

    // Stores or reads a named value of this object. getValue of an unknown
    // key is an error result naming the key.
    virtual Result<OXAny> setValue(const std::string& key, const OXAny& value);
    virtual Result<OXAny> getValue(const std::string& key);

    // Runs the handler registered for name. Names without a handler (or with
    // an empty one) give an error result naming the action.
    virtual Result<OXAny> callAction(const std::string& name, const OXAnyMap& params);

    // Declares an action or event with its description map. Declaring a name
    // again replaces its description (and handler).
    void registerAction(const std::string& name, const OXAnyMap& description, ActionHandler handler);
    void registerEvent(const std::string& name, const OXAnyMap& description);

    bool hasAction(const std::string& name) const;
    bool hasEvent(const std::string& name) const;
    // name -> description map, in name order.
    OXAnyMap getActions() const;
    OXAnyMap getEvents() const;

private:
    struct ActionEntry {
        OXAnyMap description;
        ActionHandler handler;
    };

    std::string objectName;
    mutable std::mutex declarationsMutex;
    std::map<std::string, OXAny> values;
    std::map<std::string, ActionEntry> actions;
    std::map<std::string, OXAnyMap> events;
};

} // namespace ombrix
