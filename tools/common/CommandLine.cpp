#include "CommandLine.h"

#include "ToolCommon.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>

namespace ombrix::tools {

namespace {

// Long option ids as getopt_long returns them: above every character value.
constexpr int kLongOnlyBase = 0x10000;

const OptionSpec* findShort(const std::vector<OptionSpec>& options, int c)
{
    for (const auto& entry : options) {
        if (entry.shortName != 0 && entry.shortName == c) {
            return &entry;
        }
    }
    return nullptr;
}

// A long option as written on the command line, without "=value".
std::string writtenName(const char* argument)
{
    const char* equals = std::strchr(argument, '=');
    return equals ? std::string(argument, equals) : std::string(argument);
}

} // namespace

std::vector<std::string> parseCommandLine(int argc, char** argv, const std::vector<OptionSpec>& options,
    const std::function<void(const ParsedOption&)>& handle, std::size_t* firstAfterDoubleDash)
{
    // getopt permutes argv; the original order tells which operands followed "--".
    const std::vector<char*> original(argv, argv + argc);
    std::vector<const char*> values; // option values, which may be "--" themselves
    std::string shortOptions = ":"; // ':' for a missing value, '?' for the rest; no messages
    std::vector<option> longOptions;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const OptionSpec& entry = options[i];
        const int hasArg = entry.argument == OptionSpec::Argument::None ? no_argument
            : entry.argument == OptionSpec::Argument::Required          ? required_argument
                                                                        : optional_argument;
        if (entry.shortName != 0) {
            shortOptions += entry.shortName;
            // A short option's optional value must be attached ("-xVALUE"); the programs
            // give optional values to long options only.
            if (entry.argument == OptionSpec::Argument::Required) {
                shortOptions += ':';
            } else if (entry.argument == OptionSpec::Argument::Optional) {
                shortOptions += "::";
            }
        }
        if (entry.longName) {
            longOptions.push_back({entry.longName, hasArg, nullptr, kLongOnlyBase + static_cast<int>(i)});
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    optind = 0; // 0 resets GNU getopt completely (also its permutation state)
    opterr = 0;
    auto nameOf = [&](int value) {
        if (value >= kLongOnlyBase) {
            return std::string("--") + options[static_cast<std::size_t>(value - kLongOnlyBase)].longName;
        }
        return std::string("-") + static_cast<char>(value);
    };
    for (;;) {
        int longIndex = -1;
        const int c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), &longIndex);
        if (c == -1) {
            break;
        }
        if (c == '?') {
            if (optopt >= kLongOnlyBase) {
                throw UsageError("option " + nameOf(optopt) + " takes no value");
            }
            if (optopt == 0) {
                // An unknown or ambiguous long option; getopt has moved past it.
                throw UsageError("unknown option " + writtenName(argv[optind - 1]));
            }
            throw UsageError("unknown option " + nameOf(optopt));
        }
        if (c == ':') {
            throw UsageError("option " + nameOf(optopt) + " needs a value");
        }
        const OptionSpec* entry = c >= kLongOnlyBase ? &options[static_cast<std::size_t>(c - kLongOnlyBase)]
                                                     : findShort(options, c);
        if (!entry) {
            throw UsageError("unknown option " + nameOf(c));
        }
        ParsedOption parsed;
        parsed.id = entry->id;
        parsed.name = nameOf(c);
        parsed.hasValue = optarg != nullptr;
        parsed.value = optarg ? optarg : "";
        if (optarg) {
            values.push_back(optarg);
        }
        handle(parsed);
    }
    std::vector<std::string> operands;
    for (int i = optind; i < argc; ++i) {
        operands.emplace_back(argv[i]);
    }
    if (firstAfterDoubleDash) {
        *firstAfterDoubleDash = operands.size();
        // The "--" getopt stopped at sits just before the operands.
        const char* dashes = optind > 0 && optind <= argc ? argv[optind - 1] : nullptr;
        if (dashes && std::strcmp(dashes, "--") == 0
            && std::find(values.begin(), values.end(), dashes) == values.end()) {
            const auto position = [&](const char* argument) {
                return std::find(original.begin(), original.end(), argument) - original.begin();
            };
            const auto dashesAt = position(dashes);
            for (std::size_t i = 0; i < operands.size(); ++i) {
                if (position(argv[optind + static_cast<int>(i)]) > dashesAt) {
                    *firstAfterDoubleDash = i;
                    break;
                }
            }
        }
    }
    return operands;
}

} // namespace ombrix::tools
