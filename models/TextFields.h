#pragma once

// Lines and fields of text files (tokens.txt) and metadata values, split and parsed the
// way sherpa-onnx's own readers (std::getline, std::istream >>, atoi) see them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix::extensions::sherpa::model_files {

/// The character class that std::istream's >> skips in the "C" locale.
bool isStreamSpace(char c);

/// The fields of a line as std::istream's >> reads them.
std::vector<std::string_view> splitFields(std::string_view line);

/// Lines as std::getline yields them: a final newline does not start another line.
std::vector<std::string_view> splitLines(std::string_view text);

/// An integer as std::istream reads one into an int32_t (optional sign, digits, in range).
std::optional<int64_t> parseTokenId(std::string_view field);

/// What sherpa-onnx's atoi makes of a metadata value (read up to its first NUL, as the
/// library gets it): leading blanks, a sign, then as many digits as there are (0 when
/// there are none), wrapped to 32 bits as glibc's atoi wraps strtol's result.
int64_t atoiValue(std::string_view text);

/// A comma-separated integer list as sherpa-onnx's SplitStringToIntegers(value, ",", true)
/// reads it (up to the first NUL): empty items omitted, every other item strtoll in base
/// 10 with nothing after the digits (so "8 " is not a number, " 8" is) and in int32_t
/// range. std::nullopt where the library would call the value invalid and end the process.
std::optional<std::vector<int32_t>> splitIntegerList(std::string_view text);

/// Strict UTF-8 decoding; std::nullopt for malformed input (bad sequences, overlong
/// forms, surrogates, values beyond U+10FFFF).
std::optional<std::u32string> decodeUtf8(std::string_view text);

/// "line N" for the line at `index` (counted from 0).
std::string lineAt(std::size_t index);

} // namespace ombrix::extensions::sherpa::model_files
