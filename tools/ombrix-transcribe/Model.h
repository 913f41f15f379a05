#pragma once

// The model files ombrix-transcribe loads, and the node's log lines while it runs.

#include "TranscribeOptions.h"

#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/Logger.h"

namespace ombrix::transcribe {

struct ModelFiles {
    std::string model;
    std::string tokens;
    std::string graph;
};

/// The files --model, --tokens and --graph name, else the node's default files. Throws
/// tools::ToolError (kExitNoModel) naming every place looked at when a default file is
/// missing.
ModelFiles findModelFiles(const Options& options);

// The node's log lines: shown from the chosen level on (except while the node is being
// built when explicit files were named: its default load is not what was asked for), and
// the warnings and errors kept for the message of a failed load.
class LogCollector {
public:
    explicit LogCollector(LogLevel shownFrom);
    ~LogCollector() { ombrix::Logger::setSink({}); }
    LogCollector(const LogCollector&) = delete;
    LogCollector& operator=(const LogCollector&) = delete;

    void setMuted(bool value)
    {
        std::lock_guard<std::mutex> lock(mutex);
        muted = value;
    }
    std::vector<std::string> takeProblems()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(problems, {});
    }
    /// While held, lines to be shown are kept; release() shows them, drop() forgets them
    /// (when a message about the same failure says it all).
    void hold()
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = true;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& line : held) {
            std::fputs(line.c_str(), stderr);
        }
        held.clear();
        holding = false;
    }
    void drop()
    {
        std::lock_guard<std::mutex> lock(mutex);
        held.clear();
        holding = false;
    }

private:
    void take(LogLevel level, const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (level >= LogLevel::Warning && !muted) {
            problems.push_back(line);
        }
        if (level >= shownFrom && !muted) {
            std::string shown
                = std::string(kProgramName) + ": [" + ombrix::Logger::levelName(level) + "] " + line + "\n";
            if (holding) {
                held.push_back(std::move(shown));
            } else {
                std::fputs(shown.c_str(), stderr);
            }
        }
    }

    std::mutex mutex;
    const LogLevel shownFrom;
    bool muted = false;
    bool holding = false;
    std::vector<std::string> held;
    std::vector<std::string> problems;
};
} // namespace ombrix::transcribe
