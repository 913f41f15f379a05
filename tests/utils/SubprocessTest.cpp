#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>

using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;

TEST(Subprocess, CapturesBothStreamsAndTheExitStatus)
{
    SubprocessOptions options;
    options.arguments = {"-c", "printf out; printf err >&2; exit 3"};
    const auto result = runSubprocess("/bin/sh", options);
    EXPECT_TRUE(result.started);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(result.standardOutput, "out");
    EXPECT_EQ(result.standardError, "err");

    options.arguments = {"-c", "kill -TERM $$"};
    const auto killed = runSubprocess("/bin/sh", options);
    EXPECT_FALSE(killed.exited);
    EXPECT_EQ(killed.signal, SIGTERM);
}

TEST(Subprocess, AppliesEnvironmentWorkingDirectoryAndInput)
{
    ::setenv("OMBRIX_SUBPROCESS_TEST_REMOVED", "still here", 1);
    SubprocessOptions options;
    options.arguments = {"-c",
        "printf '%s|%s|%s|' \"$OMBRIX_SUBPROCESS_TEST_SET\" "
        "\"${OMBRIX_SUBPROCESS_TEST_REMOVED-unset}\" \"$(pwd)\"; cat"};
    options.environment["OMBRIX_SUBPROCESS_TEST_SET"] = "value";
    options.environment["OMBRIX_SUBPROCESS_TEST_REMOVED"] = std::nullopt;
    options.workingDirectory = "/tmp";
    // Larger than a pipe buffer, so input and output must be pumped together.
    const std::string input(200000, 'x');
    options.standardInput = input;
    const auto result = runSubprocess("/bin/sh", options);
    ::unsetenv("OMBRIX_SUBPROCESS_TEST_REMOVED");
    ASSERT_TRUE(result.succeeded()) << result.describe();
    EXPECT_EQ(
        result.standardOutput, "value|unset|" + std::filesystem::canonical("/tmp").string() + "|" + input);
}

TEST(Subprocess, ReportsProgramsThatCannotStartAndKillsOnTimeout)
{
    const auto missing = runSubprocess("/nonexistent/program");
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.spawnError, ENOENT);

    SubprocessOptions options;
    options.arguments = {"-c", "exec sleep 600"};
    options.timeout = std::chrono::milliseconds(200);
    const auto hung = runSubprocess("/bin/sh", options);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_FALSE(hung.exited);
    EXPECT_EQ(hung.signal, SIGKILL);
}
