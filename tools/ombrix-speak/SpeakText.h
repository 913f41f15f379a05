#pragma once

// Text helpers of the speak session.

#include <cstddef>
#include <string>
#include <vector>

namespace ombrix::speak {

/// `text` for the timeline: quoted (ombrix::tools::jsonString), and when longer than
/// kTimelineTextBytes, its beginning and end around " ... " with the full length after
/// the quotes: "The quick brown ... the river." (412 bytes). Never cuts a UTF-8 sequence.
constexpr std::size_t kTimelineTextBytes = 80;
std::string timelineText(const std::string& text);

/// The text without whitespace and asterisks (which the node does not speak), for checking
/// that the pieces the node reported cover the whole text.
std::string spokenCharacters(const std::string& text);

/// Streaming tokens: each word with the whitespace that follows it (leading whitespace
/// goes with the first word), so that the tokens joined give the text back exactly.
std::vector<std::string> splitIntoTokens(const std::string& text);

/// Largest text file -f/--input-file reads: hours of speech, far below what would exhaust
/// the engine's memory.
constexpr std::size_t kMaxInputFileBytes = 8u << 20;

/**
 * The text of `path` ("-": standard input), as standard input is read without -f: the
 * bytes unchanged (not checked for UTF-8; the node takes them as they are), without the
 * line ends at the end. tools::ToolError (kExitInput) naming the file when it cannot be
 * read, is larger than kMaxInputFileBytes or holds no text. Stops reading within 64 KiB
 * past the limit.
 */
std::string readInputFile(const std::string& path);

} // namespace ombrix::speak
