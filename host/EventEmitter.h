#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OXAny.h"
#include "OmbrixExport.h"

namespace ombrix {

// Named events with listeners. emitEvent calls the listeners of that name
// synchronously, on the calling thread, in the order they were added. Adding
// and removing listeners is thread-safe, also from inside a listener (the
// change applies from the next emission). emitEvent does not allocate; it
// takes the emitter's lock briefly to pick up the current listener list.
// An exception thrown by a listener propagates to the caller of emitEvent and
// skips the remaining listeners.
class OMBRIX_SDK_API EventEmitter {
public:
    using Listener = std::function<void(const std::string& name, const OXAny& data)>;
    using ListenerId = std::uint64_t;

    EventEmitter();
    virtual ~EventEmitter();
    EventEmitter(const EventEmitter&) = delete;
    EventEmitter& operator=(const EventEmitter&) = delete;

    // name "*" listens to every event. Returns an id for removal (never 0).
    ListenerId addEventListener(const std::string& name, Listener listener);
    bool removeEventListener(ListenerId id);
    void removeAllEventListeners();

    void emitEvent(const std::string& name, const OXAny& data);

private:
    struct Entry {
        ListenerId id;
        std::string name;
        Listener listener;
    };
    using EntryList = std::vector<Entry>;

    mutable std::mutex listenersMutex;
    std::shared_ptr<const EntryList> listeners;
    ListenerId nextId = 1;
};

} // namespace ombrix
