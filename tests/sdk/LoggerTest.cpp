#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "host/Logger.h"
#include "support/LogCapture.h"

using ombrix::Logger;
using ombrix::LogLevel;
using ombrix::testing::LogCapture;

TEST(Logger, LevelsFilterAndNamesParse)
{
    std::vector<std::string> seen;
    const LogLevel previousLevel = Logger::getLevel();
    auto previous = Logger::setSink([&](LogLevel level, const std::string& line) {
        seen.push_back(std::string(Logger::levelName(level)) + "|" + line);
    });
    Logger::setLevel(LogLevel::Warning);
    Logger::debug("hidden");
    Logger::info("hidden too");
    Logger::warning("shown");
    Logger::error("also shown");
    Logger::log(LogLevel::None, "never a line");
    Logger::setLevel(LogLevel::None);
    Logger::error("silenced");
    Logger::setLevel(previousLevel);
    Logger::setSink(previous);
    EXPECT_EQ(seen, (std::vector<std::string>{"warning|shown", "error|also shown"}));

    for (LogLevel level : {LogLevel::Trace, LogLevel::Debug, LogLevel::Info, LogLevel::Warning,
             LogLevel::Error, LogLevel::None}) {
        LogLevel parsed = LogLevel::Info;
        ASSERT_TRUE(Logger::parseLevel(Logger::levelName(level), parsed));
        EXPECT_EQ(parsed, level);
    }
    LogLevel untouched = LogLevel::Error;
    EXPECT_FALSE(Logger::parseLevel("verbose", untouched));
    EXPECT_FALSE(Logger::parseLevel("INFO", untouched));
    EXPECT_EQ(untouched, LogLevel::Error);
}

TEST(LogCapture, RecordsLinesFindsThemAndRestoresTheLogger)
{
    const LogLevel levelBefore = Logger::getLevel();
    std::vector<std::string> outer;
    auto saved = Logger::setSink([&](LogLevel, const std::string& line) { outer.push_back(line); });
    {
        LogCapture capture;
        EXPECT_EQ(Logger::getLevel(), LogLevel::Trace);
        Logger::trace("[A] first");
        Logger::info("[B] second");
        Logger::error("[A] third");
        EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[A] first", "[B] second", "[A] third"}));
        EXPECT_EQ(capture.linesAt(LogLevel::Error), (std::vector<std::string>{"[A] third"}));
        EXPECT_TRUE(capture.contains("second"));
        EXPECT_FALSE(capture.contains("fourth"));
        EXPECT_EQ(capture.count("[A]"), 2u);
        EXPECT_EQ(capture.indexOf("[A]"), 0);
        EXPECT_EQ(capture.indexOf("[A]", 1), 2);
        EXPECT_EQ(capture.indexOf("[C]"), -1);
        EXPECT_EQ(capture.entries()[1].level, LogLevel::Info);

        // A line logged by another thread wakes the waiter.
        std::thread writer([] { Logger::info("[worker] done"); });
        EXPECT_TRUE(capture.waitFor("[worker] done", std::chrono::seconds(30)));
        writer.join();
        EXPECT_FALSE(capture.waitFor("never logged", std::chrono::milliseconds(1)));

        capture.clear();
        EXPECT_TRUE(capture.lines().empty());
    }
    // The previous sink and level are back.
    Logger::warning("after");
    EXPECT_EQ(outer, (std::vector<std::string>{"after"}));
    EXPECT_EQ(Logger::getLevel(), levelBefore);
    Logger::setSink(saved);
}
