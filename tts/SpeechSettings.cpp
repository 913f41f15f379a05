#include "tts/SpeechSettings.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace ombrix::extensions::sherpa {

namespace {

/// The whole of `text` as a number of type T (std::from_chars: no leading spaces or '+').
template <typename T>
std::optional<T> parseWhole(const std::string& text)
{
    T parsed{};
    const char* const end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, parsed);
    if (text.empty() || error != std::errc() || last != end) {
        return std::nullopt;
    }
    return parsed;
}

/// The value as a double when it is a number or a string holding one; nullopt otherwise.
std::optional<double> numberOf(const OXAny& value)
{
    switch (value.getType()) {
    case OXAny::Type::Int:
        return static_cast<double>(value.convert<std::int64_t>());
    case OXAny::Type::Float:
        return value.convert<double>();
    case OXAny::Type::String:
        return parseWhole<double>(value.convert<std::string>());
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<int32_t> parseSpeakerId(const OXAny& value)
{
    std::optional<std::int64_t> whole;
    if (value.getType() == OXAny::Type::Int) {
        whole = value.convert<std::int64_t>();
    } else if (value.getType() == OXAny::Type::String) {
        whole = parseWhole<std::int64_t>(value.convert<std::string>());
    } else if (value.getType() == OXAny::Type::Float) {
        const double number = value.convert<double>();
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 1e18) {
            whole = static_cast<std::int64_t>(number);
        }
    }
    if (!whole || *whole < 0 || *whole > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(*whole);
}

std::optional<float> parseSpeechSpeed(const OXAny& value)
{
    const std::optional<double> number = numberOf(value);
    // NaN fails both comparisons; infinities fail one of them.
    if (!number || !(*number >= kMinimumSpeechSpeed && *number <= kMaximumSpeechSpeed)) {
        return std::nullopt;
    }
    return static_cast<float>(*number);
}

std::string describeSettingValue(const OXAny& value)
{
    switch (value.getType()) {
    case OXAny::Type::String: {
        // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "'" + text.
        std::string quoted(1, '\'');
        quoted += value.convert<std::string>();
        quoted += '\'';
        return quoted;
    }
    case OXAny::Type::Int:
        return std::to_string(value.convert<std::int64_t>());
    case OXAny::Type::Float:
        return std::to_string(value.convert<double>());
    default:
        return std::string("a value of type ") + OXAny::typeName(value.getType());
    }
}

} // namespace ombrix::extensions::sherpa
