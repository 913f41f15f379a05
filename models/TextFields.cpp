#include "models/TextFields.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace ombrix::extensions::sherpa::model_files {

namespace {

constexpr char32_t kLastCodePoint = 0x10ffff;
constexpr char32_t kFirstSurrogate = 0xd800;
constexpr char32_t kLastSurrogate = 0xdfff;

} // namespace

bool isStreamSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isStreamSpace(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !isStreamSpace(line[i])) {
            ++i;
        }
        if (i > start) {
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::optional<int64_t> parseTokenId(std::string_view field)
{
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
    }
    int32_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) {
        return std::nullopt;
    }
    return value;
}

namespace {

/// strtol in base 10 on a C string: leading blanks, a sign, digits (saturating at the
/// 64-bit limits as glibc does); `end` is where the digits stopped (the start when there
/// were none).
int64_t parseLong(std::string_view text, std::size_t& end)
{
    std::size_t i = 0;
    while (i < text.size() && isStreamSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    const std::size_t digits = i;
    uint64_t value = 0;
    constexpr uint64_t kLimit = uint64_t{1} << 63; // |INT64_MIN|
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = std::min(kLimit, value * 10 + static_cast<uint64_t>(text[i] - '0'));
    }
    if (i == digits) {
        end = 0;
        return 0;
    }
    end = i;
    if (negative) {
        return value >= kLimit ? INT64_MIN : -static_cast<int64_t>(value);
    }
    return value >= kLimit ? INT64_MAX : static_cast<int64_t>(value);
}

/// A metadata value as onnxruntime hands it to the library: a C string, so it ends at the
/// first NUL.
std::string_view asCString(std::string_view text)
{
    return text.substr(0, text.find('\0'));
}

} // namespace

int64_t atoiValue(std::string_view text)
{
    std::size_t end = 0;
    // glibc's atoi is (int) strtol: the 64-bit result wrapped to 32 bits.
    return static_cast<int32_t>(
        static_cast<uint32_t>(static_cast<uint64_t>(parseLong(asCString(text), end))));
}

std::optional<std::vector<int32_t>> splitIntegerList(std::string_view text)
{
    std::vector<int32_t> items;
    text = asCString(text);
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        if (item.empty()) {
            continue; // empty items are omitted
        }
        std::size_t end = 0;
        const int64_t value = parseLong(item, end);
        // Nothing may follow the number, not even a blank, and it must fit an int32_t.
        if (end == 0 || end != item.size() || value < INT32_MIN || value > INT32_MAX) {
            return std::nullopt;
        }
        items.push_back(static_cast<int32_t>(value));
    }
    return items;
}

std::optional<std::u32string> decodeUtf8(std::string_view text)
{
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        std::size_t length = 0;
        char32_t code = 0;
        if (lead < 0x80u) {
            length = 1;
            code = lead;
        } else if ((lead & 0xe0u) == 0xc0u) {
            length = 2;
            code = lead & 0x1fu;
        } else if ((lead & 0xf0u) == 0xe0u) {
            length = 3;
            code = lead & 0x0fu;
        } else if ((lead & 0xf8u) == 0xf0u) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xc0u) != 0x80u) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3fu);
        }
        static constexpr std::array<char32_t, 5> kSmallestOfLength{0, 0, 0x80, 0x800, 0x10000};
        // Overlong forms, UTF-16 surrogates (ED A0 80 ... ED BF BF) and values beyond
        // U+10FFFF are not UTF-8.
        if (code < kSmallestOfLength[length] || code > kLastCodePoint
            || (code >= kFirstSurrogate && code <= kLastSurrogate)) {
            return std::nullopt;
        }
        out.push_back(code);
        i += length;
    }
    return out;
}

std::string lineAt(std::size_t index)
{
    return "line " + std::to_string(index + 1);
}

} // namespace ombrix::extensions::sherpa::model_files
