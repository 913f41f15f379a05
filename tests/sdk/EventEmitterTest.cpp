#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/EventEmitter.h"
#include "host/OmbrixObject.h"

using ombrix::EventEmitter;
using ombrix::OmbrixObject;
using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::Result;

TEST(EventEmitter, CallsMatchingListenersInOrderAndWildcardForAll)
{
    EventEmitter emitter;
    std::vector<std::string> calls;
    const auto a = emitter.addEventListener("finished", [&](const std::string& name, const OXAny& data) {
        calls.push_back("a:" + name + ":" + data.convert<std::string>());
    });
    emitter.addEventListener(
        "*", [&](const std::string& name, const OXAny&) { calls.push_back("any:" + name); });
    emitter.addEventListener(
        "finished", [&](const std::string& name, const OXAny&) { calls.push_back("b:" + name); });
    EXPECT_NE(a, 0u);

    emitter.emitEvent("finished", OXAny("x"));
    emitter.emitEvent("synthesisStarted", OXAny("y"));
    EXPECT_EQ(calls,
        (std::vector<std::string>{"a:finished:x", "any:finished", "b:finished", "any:synthesisStarted"}));

    calls.clear();
    EXPECT_TRUE(emitter.removeEventListener(a));
    EXPECT_FALSE(emitter.removeEventListener(a));
    emitter.emitEvent("finished", OXAny("x"));
    EXPECT_EQ(calls, (std::vector<std::string>{"any:finished", "b:finished"}));

    calls.clear();
    emitter.removeAllEventListeners();
    emitter.emitEvent("finished", OXAny("x"));
    EXPECT_TRUE(calls.empty());
}

TEST(EventEmitter, ListenerChangesInsideAListenerApplyFromTheNextEmission)
{
    EventEmitter emitter;
    std::vector<std::string> calls;
    EventEmitter::ListenerId second = 0;
    // The first listener removes the second and adds a third, and removes itself.
    EventEmitter::ListenerId first = 0;
    first = emitter.addEventListener("e", [&](const std::string&, const OXAny&) {
        calls.push_back("first");
        emitter.removeEventListener(second);
        emitter.removeEventListener(first);
        emitter.addEventListener("e", [&](const std::string&, const OXAny&) { calls.push_back("third"); });
    });
    second
        = emitter.addEventListener("e", [&](const std::string&, const OXAny&) { calls.push_back("second"); });

    emitter.emitEvent("e", OXAny());
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
    calls.clear();
    emitter.emitEvent("e", OXAny());
    EXPECT_EQ(calls, (std::vector<std::string>{"third"}));
}

TEST(EventEmitter, ListenerExceptionPropagatesAndSkipsTheRest)
{
    EventEmitter emitter;
    int later = 0;
    emitter.addEventListener(
        "e", [](const std::string&, const OXAny&) { throw std::runtime_error("listener failed"); });
    emitter.addEventListener("e", [&](const std::string&, const OXAny&) { ++later; });
    EXPECT_THROW(emitter.emitEvent("e", OXAny()), std::runtime_error);
    EXPECT_EQ(later, 0);
    // The emitter is still usable: its lock was not left held.
    emitter.addEventListener("other", [&](const std::string&, const OXAny&) { ++later; });
    emitter.emitEvent("other", OXAny());
    EXPECT_EQ(later, 1);
}

TEST(EventEmitter, EmittingWhileAnotherThreadChangesListenersIsSafe)
{
    EventEmitter emitter;
    std::atomic<long> permanentCalls{0};
    emitter.addEventListener("tick", [&](const std::string&, const OXAny&) { ++permanentCalls; });
    constexpr long kEmissions = 20000;
    std::atomic<bool> done{false};
    // The other thread keeps adding and removing a listener; every emission must
    // still reach the permanent one exactly once.
    std::thread churn([&] {
        while (!done.load()) {
            const auto id = emitter.addEventListener("tick", [](const std::string&, const OXAny&) {});
            emitter.removeEventListener(id);
        }
    });
    const OXAny data(OXAnyMap{});
    for (long i = 0; i < kEmissions; ++i) {
        emitter.emitEvent("tick", data);
    }
    done.store(true);
    churn.join();
    EXPECT_EQ(permanentCalls.load(), kEmissions);
}

TEST(OmbrixObject, ActionsEventsAndValues)
{
    OmbrixObject object("extension");
    EXPECT_EQ(object.getObjectName(), "extension");

    object.registerAction("echo", OXAnyMap{{"description", "returns its input"}},
        [](const OXAnyMap& params) { return Result<OXAny>::success(params.at("text")); });
    // Declared without a handler: the object knows it but cannot run it.
    object.registerAction("declaredOnly", OXAnyMap{}, nullptr);
    object.registerEvent("finished", OXAnyMap{{"description", "done"}});

    const auto echoed = object.callAction("echo", OXAnyMap{{"text", "hello"}});
    ASSERT_TRUE(echoed.isSuccess());
    EXPECT_EQ(echoed.getValue().convert<std::string>(), "hello");

    const auto unknown = object.callAction("fly", OXAnyMap{});
    EXPECT_TRUE(unknown.isError());
    EXPECT_NE(unknown.getError().find("fly"), std::string::npos) << unknown.getError();
    EXPECT_THROW((void)unknown.getValue(), std::logic_error);
    EXPECT_TRUE(object.callAction("declaredOnly", OXAnyMap{}).isError());

    EXPECT_TRUE(object.hasAction("echo"));
    EXPECT_TRUE(object.hasEvent("finished"));
    EXPECT_FALSE(object.hasEvent("echo"));
    EXPECT_EQ(object.getActions().size(), 2u);
    EXPECT_EQ(object.getEvents().at("finished").convert<OXAnyMap>().get<std::string>("description"), "done");

    // Declaring again replaces the description and the handler.
    object.registerAction("echo", OXAnyMap{{"description", "v2"}},
        [](const OXAnyMap&) { return Result<OXAny>::success(OXAny("replaced")); });
    EXPECT_EQ(object.callAction("echo", OXAnyMap{}).getValue().convert<std::string>(), "replaced");
    EXPECT_EQ(object.getActions().at("echo").convert<OXAnyMap>().get<std::string>("description"), "v2");

    EXPECT_TRUE(object.setValue("volume", OXAny(0.5)).isSuccess());
    EXPECT_DOUBLE_EQ(object.getValue("volume").getValue().convert<double>(), 0.5);
    const auto missing = object.getValue("pitch");
    EXPECT_TRUE(missing.isError());
    EXPECT_NE(missing.getError().find("pitch"), std::string::npos) << missing.getError();
}
