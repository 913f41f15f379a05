#pragma once

#include <functional>
#include <string>

#include "OmbrixExport.h"

namespace ombrix {

enum class LogLevel { Trace = 0, Debug, Info, Warning, Error, None };

// Process-wide logger. Each call hands one complete line to the sink, if the
// line's level is at or above the current level. A process starts at the level
// named by the environment variable OMBRIX_LOG_LEVEL (trace, debug, info,
// warning, error, none), or at Info when it is unset. The default
// sink writes "[level] line" to stderr. Thread-safe; the sink is called under
// the logger's lock, so a sink must not log itself.
class OMBRIX_SDK_API Logger {
public:
    using Sink = std::function<void(LogLevel level, const std::string& line)>;

    static void trace(const std::string& line);
    static void debug(const std::string& line);
    static void info(const std::string& line);
    static void warning(const std::string& line);
    static void error(const std::string& line);
    static void log(LogLevel level, const std::string& line);

    // Replaces the sink; an empty function restores the stderr sink.
    // Returns the previous sink (empty when it was the default one).
    static Sink setSink(Sink sink);
    static void setLevel(LogLevel level);
    static LogLevel getLevel();

    // "trace", "debug", "info", "warning", "error", "none".
    static const char* levelName(LogLevel level);
    // Parses the names above; false for anything else.
    static bool parseLevel(const std::string& name, LogLevel& level);
};

} // namespace ombrix
