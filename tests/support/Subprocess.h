#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ombrix::testing {

/// How to start a program with runSubprocess().
struct SubprocessOptions {
    /// argv[1..]; argv[0] is the program as given.
    std::vector<std::string> arguments;
    /// Changes to the inherited environment: a value sets the variable, std::nullopt
    /// removes it. Everything else is inherited from this process.
    std::map<std::string, std::optional<std::string>> environment;
    /// Directory the child starts in; empty keeps this process's working directory.
    std::string workingDirectory;
    /// Text written to the child's standard input (then closed). Empty: stdin is /dev/null.
    std::string standardInput;
    /// The child is killed with SIGKILL when it runs longer than this. A safety net
    /// against hanging tests, not a measurement: keep it generous.
    std::chrono::milliseconds timeout{std::chrono::minutes(5)};
};

/// What a finished child did.
struct SubprocessResult {
    bool started = false; ///< false when the program could not be spawned (see spawnError)
    int spawnError = 0; ///< errno-style code from posix_spawn when !started
    bool exited = false; ///< terminated normally; exitCode is valid
    int exitCode = -1;
    int signal = 0; ///< terminating signal when it did not exit normally
    bool timedOut = false; ///< killed because options.timeout passed
    std::string standardOutput;
    std::string standardError;

    /// Exited normally with status 0.
    bool succeeded() const { return exited && exitCode == 0; }
    /// One line for assertion messages: status plus the captured stderr.
    std::string describe() const;
};

/**
 * Runs `program` (a path; without a '/' it is looked up in PATH) with posix_spawn,
 * captures its standard output and error in full, waits for it and returns how it ended.
 * Blocks the calling thread; safe to call from several threads at once (the pipes are
 * close-on-exec, so concurrent children do not inherit each other's ends).
 */
SubprocessResult runSubprocess(const std::string& program, const SubprocessOptions& options = {});

} // namespace ombrix::testing
