// What ombrix-transcribe writes.

#include "TranscribeOutput.h"

#include <cstdio>

namespace ombrix::transcribe {

std::string jsonNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string joinText(const std::string& first, const std::string& second)
{
    if (first.empty()) {
        return second;
    }
    return second.empty() ? first : first + " " + second;
}
} // namespace ombrix::transcribe
