#include "host/EventEmitter.h"

namespace ombrix {

namespace {
const std::string kAnyEventName = "*";
}

// The listener list is copy-on-write: writers build a new list under the lock
// and swap it in; emitEvent only copies the shared pointer under the lock and
// walks its snapshot unlocked, so listeners may add or remove listeners (the
// change applies from the next emission) and emitting never allocates.

EventEmitter::EventEmitter()
    : listeners(std::make_shared<const EntryList>())
{
}

EventEmitter::~EventEmitter() = default;

EventEmitter::ListenerId EventEmitter::addEventListener(const std::string& name, Listener listener)
{
    std::lock_guard<std::mutex> lock(listenersMutex);
    auto updated = std::make_shared<EntryList>(*listeners);
    const ListenerId id = nextId++;
    updated->push_back(Entry{id, name, std::move(listener)});
    listeners = std::move(updated);
    return id;
}

bool EventEmitter::removeEventListener(ListenerId id)
{
    std::lock_guard<std::mutex> lock(listenersMutex);
    auto updated = std::make_shared<EntryList>();
    updated->reserve(listeners->size());
    bool found = false;
    for (const Entry& entry : *listeners) {
        if (entry.id == id) {
            found = true;
        } else {
            updated->push_back(entry);
        }
    }
    if (found) {
        listeners = std::move(updated);
    }
    return found;
}

void EventEmitter::removeAllEventListeners()
{
    auto empty = std::make_shared<const EntryList>();
    std::lock_guard<std::mutex> lock(listenersMutex);
    listeners = std::move(empty);
}

void EventEmitter::emitEvent(const std::string& name, const OXAny& data)
{
    std::shared_ptr<const EntryList> snapshot;
    {
        std::lock_guard<std::mutex> lock(listenersMutex);
        snapshot = listeners;
    }
    for (const Entry& entry : *snapshot) {
        if (entry.listener && (entry.name == name || entry.name == kAnyEventName)) {
            entry.listener(name, data);
        }
    }
}

} // namespace ombrix
