#include "host/Logger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace ombrix {

namespace {

constexpr const char* kLevelVariable = "OMBRIX_LOG_LEVEL";

// The level a process starts with: OMBRIX_LOG_LEVEL (trace, debug, info, warning, error
// or none) when it is set, info otherwise. Logger::setLevel changes it later.
LogLevel initialLevel()
{
    LogLevel level = LogLevel::Info;
    const char* name = std::getenv(kLevelVariable);
    if (name != nullptr && *name != '\0' && !Logger::parseLevel(name, level)) {
        std::fprintf(stderr,
            "[warning] %s=%s is not a log level (trace, debug, info, warning, error, none); "
            "logging at info\n",
            kLevelVariable, name);
    }
    return level;
}

struct LoggerState {
    std::mutex mutex;
    Logger::Sink sink; // empty: the stderr sink
    std::atomic<LogLevel> level{initialLevel()};
};

// Never destroyed, so that code running during static destruction (plug-ins
// included) can still log.
LoggerState& state()
{
    static LoggerState* const instance = new LoggerState;
    return *instance;
}

void writeToStderr(LogLevel level, const std::string& line)
{
    // One stdio call per line keeps lines of different processes sharing the
    // stream from interleaving within a line.
    std::fprintf(stderr, "[%s] %s\n", Logger::levelName(level), line.c_str());
}

} // namespace

void Logger::trace(const std::string& line)
{
    log(LogLevel::Trace, line);
}

void Logger::debug(const std::string& line)
{
    log(LogLevel::Debug, line);
}

void Logger::info(const std::string& line)
{
    log(LogLevel::Info, line);
}

void Logger::warning(const std::string& line)
{
    log(LogLevel::Warning, line);
}

void Logger::error(const std::string& line)
{
    log(LogLevel::Error, line);
}

void Logger::log(LogLevel level, const std::string& line)
{
    LoggerState& s = state();
    if (level == LogLevel::None || level < s.level.load(std::memory_order_relaxed)) {
        return;
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sink) {
        s.sink(level, line);
    } else {
        writeToStderr(level, line);
    }
}

Logger::Sink Logger::setSink(Sink sink)
{
    LoggerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    Sink previous = std::move(s.sink);
    s.sink = std::move(sink);
    return previous;
}

void Logger::setLevel(LogLevel level)
{
    state().level.store(level);
}

LogLevel Logger::getLevel()
{
    return state().level.load();
}

const char* Logger::levelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Trace:
        return "trace";
    case LogLevel::Debug:
        return "debug";
    case LogLevel::Info:
        return "info";
    case LogLevel::Warning:
        return "warning";
    case LogLevel::Error:
        return "error";
    case LogLevel::None:
        return "none";
    }
    return "unknown";
}

bool Logger::parseLevel(const std::string& name, LogLevel& level)
{
    static constexpr LogLevel all[] = {
        LogLevel::Trace, LogLevel::Debug, LogLevel::Info, LogLevel::Warning, LogLevel::Error, LogLevel::None};
    for (LogLevel candidate : all) {
        if (name == levelName(candidate)) {
            level = candidate;
            return true;
        }
    }
    return false;
}

} // namespace ombrix
