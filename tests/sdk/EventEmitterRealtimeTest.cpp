#include <gtest/gtest.h>

#include <string>

#include "host/EventEmitter.h"
#include "support/RealtimeGuard.h"

using ombrix::EventEmitter;
using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::testing::RealtimeScope;

// Nodes emit events on the audio thread: emitting may take the emitter's lock
// once, briefly, but must not allocate, also when listeners were changed.
TEST(EventEmitter, EmitDoesNotAllocateAndLocksOnce)
{
    if (!RealtimeScope::isActive()) {
        GTEST_SKIP() << "allocation and lock counting is unavailable under sanitizers";
    }
    EventEmitter emitter;
    int calls = 0;
    emitter.addEventListener("finished", [&](const std::string&, const OXAny&) { ++calls; });
    emitter.addEventListener("*", [&](const std::string&, const OXAny&) { ++calls; });
    const auto removed
        = emitter.addEventListener("finished", [&](const std::string&, const OXAny&) { ++calls; });
    emitter.removeEventListener(removed);
    const std::string name = "finished";
    const OXAny data(OXAnyMap{{"text", "a sentence long enough to defeat the small-string buffer"}});

    RealtimeScope scope;
    emitter.emitEvent(name, data);
    emitter.emitEvent(name, data);
    EXPECT_EQ(scope.allocations(), 0u);
    EXPECT_EQ(scope.locks(), 2u);
    EXPECT_EQ(calls, 4);
}
