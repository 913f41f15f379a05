#pragma once

// Command lines the way GNU tools read them, through getopt_long: long options with
// "--name value" or "--name=value" (and any unique abbreviation), short options with
// "-x value" or "-xvalue", bundled short flags, "--" ending the options, and operands
// anywhere among the options. Errors come back as UsageError with the option's name.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace ombrix::tools {

struct OptionSpec {
    enum class Argument { None, Required, Optional };

    const char* longName; ///< without the leading "--"
    char shortName; ///< 0: long form only
    Argument argument;
    int id; ///< handed to the handler; any value the program chooses
};

/// What the handler gets for one option on the command line.
struct ParsedOption {
    int id;
    /// How the user wrote it, for messages: "--rate" or "-r".
    std::string name;
    /// The value (empty when the option takes none, or an optional value was not given).
    std::string value;
    bool hasValue;
};

/**
 * Parses `argv` with getopt_long and calls `handle` for each option in order; returns
 * the operands (arguments that are not options, and everything after "--"), in order.
 * A lone "-" is an operand. Throws UsageError for an unknown option, a missing value,
 * a value given to an option that takes none, or an ambiguous abbreviation; exceptions
 * of `handle` pass through. Not reentrant (getopt's state is global). When
 * `firstAfterDoubleDash` is given, it receives the index in the result of the first
 * operand that came after "--" (the result's size when none did), so that a program can
 * take "-" after "--" literally.
 */
std::vector<std::string> parseCommandLine(int argc, char** argv, const std::vector<OptionSpec>& options,
    const std::function<void(const ParsedOption&)>& handle, std::size_t* firstAfterDoubleDash = nullptr);

} // namespace ombrix::tools
