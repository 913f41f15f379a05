#pragma once

// What ombrix-transcribe writes: numbers and texts as it prints them.

#include <string>

namespace ombrix::transcribe {

/// `value` as a JSON number (6 significant digits).
std::string jsonNumber(double value);

struct TimedText {
    double seconds;
    std::string text;
};

/// The two texts joined with a space (none when one is empty).
std::string joinText(const std::string& first, const std::string& second);

} // namespace ombrix::transcribe
