#pragma once

// Habits every program under tools/ shares: its exit statuses, the two kinds of failure
// it ends with, the checks of option values, and what --version prints.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ombrix::tools {

// Exit statuses, the same for every program (each lists them in its --help).
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
// No model or voice, or it did not load.
constexpr int kExitNoModel = 3;
// An input that cannot be read or used: the plug-in, an input file.
constexpr int kExitInput = 4;
// Anything that failed while working: output, time limit, the graph.
constexpr int kExitRuntime = 5;

/// A command line that cannot be followed; ends the program with kExitUsage and a hint
/// to --help.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// A failure with the exit status it ends the program with.
class ToolError : public std::runtime_error {
public:
    ToolError(int status, const std::string& message)
        : std::runtime_error(message)
        , exitStatus(status)
    {
    }
    int exitStatus;
};

/// `value` as a whole number in [minimum, maximum]; UsageError naming `option` otherwise.
long parseInteger(const std::string& option, const std::string& value, long minimum, long maximum);
/// `value` as a finite number above 0; UsageError naming `option` otherwise.
double parsePositive(const std::string& option, const std::string& value);
/// yes/no, true/false, on/off, 1/0; UsageError naming `option` otherwise.
bool parseYesNo(const std::string& option, const std::string& value);

/// The version of this project (the same for every program and the plug-in).
const char* projectVersion();

/**
 * The version of the sherpa-onnx library the plug-in at `pluginPath` runs on, asked from
 * the library itself (SherpaOnnxGetVersionStr). A program that links only the SDK loads
 * the plug-in for that (not through the extension manager: nothing gets registered);
 * a program that links sherpa-onnx itself gets its own. Empty with `error` filled when
 * neither works.
 */
std::string loadedSherpaOnnxVersion(const std::string& pluginPath, std::string* error = nullptr);

/// Prints "<program> <version>" and the sherpa-onnx line to `out` for --version.
void printVersion(std::FILE* out, const char* program, const std::string& pluginPath);

/// Status lines (everything but results and errors) on standard error, none with -q.
/// Errors are not status: they are printed whatever -q says.
class Status {
public:
    explicit Status(bool quiet)
        : shown(!quiet)
    {
    }
    bool enabled() const { return shown; }
    void print(const char* format, ...) const __attribute__((format(printf, 2, 3)));

private:
    bool shown;
};

/// The text of `errno` value `error` (strerror), for "cannot ... FILE: reason" lines.
std::string systemReason(int error);

/// `text` with every byte sequence that is not UTF-8 replaced by U+FFFD (one for each
/// maximal ill-formed piece, as Unicode recommends): overlong forms, surrogates, code
/// points above U+10FFFF, stray continuation bytes and cut sequences. Valid text passes
/// unchanged.
std::string validUtf8(std::string_view text);

/// `text` as a JSON string literal: validUtf8(), in double quotes, with quotes,
/// backslashes and control characters escaped. Also how the programs quote a text in
/// their status lines.
std::string jsonString(const std::string& text);

} // namespace ombrix::tools
