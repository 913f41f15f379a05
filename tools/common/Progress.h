#pragma once

// Progress of long work, paced by wall time whatever the work's own pace: on a terminal
// one line that is rewritten in place a few times per second, elsewhere (a log file, a
// pipe) a full line at most once per interval. Nothing is shown for work that ends within
// the first interval, and nothing at all when disabled (-q).

#include <chrono>
#include <cstdio>
#include <string>

namespace ombrix::tools {

class Progress {
public:
    using Clock = std::chrono::steady_clock;

    /// Rewritten-line period on a terminal, and line period elsewhere.
    static constexpr double kTerminalIntervalSeconds = 0.25;
    static constexpr double kLineIntervalSeconds = 2.0;

    /// Reports to `out` when `enabled`; whether `out` is a terminal is asked once here.
    Progress(std::FILE* out, bool enabled);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// True when a report is due: cheap (one clock read), so callers may ask on every
    /// block and build the line only when it is due.
    bool due() const { return enabled && Clock::now() >= nextReport; }

    /// Shows `line` (no line end) as the current state and schedules the next report.
    void report(const std::string& line);

    /// Ends the rewritten line on a terminal so that whatever follows starts on a line
    /// of its own. Called by the destructor; harmless when nothing was shown.
    void finish();

private:
    std::FILE* out;
    bool enabled;
    bool terminal;
    Clock::duration interval;
    Clock::time_point nextReport;
    bool lineOpen = false;
    std::size_t shownLength = 0;
};

} // namespace ombrix::tools
