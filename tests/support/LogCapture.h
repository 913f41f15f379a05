#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "host/Logger.h"

namespace ombrix::testing {

/// Records every line logged through ombrix::Logger while it lives.
///
/// The constructor installs a recording sink and lowers the level to Trace; the
/// destructor puts the previous sink and level back. Lines are recorded from any
/// thread; every accessor returns a snapshot. Captures do not nest across threads
/// usefully: the innermost one sees the lines.
class LogCapture {
public:
    struct Entry {
        LogLevel level;
        std::string line;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Entry> entries() const;
    std::vector<std::string> lines() const;
    std::vector<std::string> linesAt(LogLevel level) const;

    bool contains(const std::string& substring) const;
    /// Number of lines containing substring.
    std::size_t count(const std::string& substring) const;
    /// Position (in lines()) of the first line at or after `from` that contains
    /// substring, or -1.
    long indexOf(const std::string& substring, std::size_t from = 0) const;

    /// Waits until some line contains substring (also one logged before the
    /// call); false when the timeout passes first.
    bool waitFor(
        const std::string& substring, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    void clear();

private:
    void record(LogLevel level, const std::string& line);
    long indexOfLocked(const std::string& substring, std::size_t from) const;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Entry> recorded;
    Logger::Sink previousSink;
    LogLevel previousLevel;
};

} // namespace ombrix::testing
