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

} // namespace ombrix::speak
