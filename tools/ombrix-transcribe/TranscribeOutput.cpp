// What ombrix-transcribe writes.

#include "TranscribeOutput.h"

#include "tools/common/ToolCommon.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace ombrix::transcribe {

using tools::jsonString;
using tools::validUtf8;

namespace {

constexpr long long kMillisecondsPerSecond = 1000;
/// Columns of a terminal that does not tell its width.
constexpr std::size_t kDefaultColumns = 80;

/// A segment's text on one line: valid UTF-8, line ends as spaces, no space at either end.
std::string lineText(const std::string& text)
{
    std::string line = validUtf8(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\r', ' ');
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(" \t") - first + 1);
}

long long milliseconds(double seconds)
{
    return std::max(0LL, std::llround(seconds * static_cast<double>(kMillisecondsPerSecond)));
}

std::string clockTimeMs(long long ms, char separator)
{
    char text[40];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", ms / 3600000, ms / 60000 % 60,
        ms / 1000 % 60, separator, ms % 1000);
    return text;
}

struct Cue {
    long long start;
    long long end;
    std::string text;
};

/// The segments with text, their times in milliseconds, non-decreasing and each cue at
/// least a millisecond long.
std::vector<Cue> cues(const std::vector<Segment>& segments)
{
    std::vector<Cue> list;
    long long previousEnd = 0;
    for (const Segment& segment : segments) {
        std::string text = lineText(segment.text);
        if (text.empty()) {
            continue;
        }
        const long long start = std::max(previousEnd, milliseconds(segment.start));
        const long long end = std::max(start + 1, milliseconds(segment.end));
        list.push_back({start, end, std::move(text)});
        previousEnd = end;
    }
    return list;
}

/// A cue's text cannot hold the arrow that starts a timing line.
std::string withoutArrow(std::string text)
{
    for (std::size_t at = text.find("-->"); at != std::string::npos; at = text.find("-->", at)) {
        text.replace(at, 3, "->");
    }
    return text;
}

/// The last bytes of `text` that fit `columns`, cut at a character boundary.
std::string tail(const std::string& text, std::size_t columns)
{
    if (text.size() <= columns) {
        return text;
    }
    std::size_t at = text.size() - columns;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
        ++at;
    }
    return "..." + text.substr(at);
}

} // namespace

std::string jsonNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string clockTime(double seconds, char separator)
{
    return clockTimeMs(milliseconds(seconds), separator);
}

std::string formatTxt(const std::vector<Segment>& segments)
{
    std::string out;
    for (const Cue& cue : cues(segments)) {
        out += cue.text + "\n";
    }
    return out;
}

std::string formatSrt(const std::vector<Segment>& segments)
{
    std::string out;
    std::size_t number = 0;
    for (const Cue& cue : cues(segments)) {
        out += std::to_string(++number) + "\n" + clockTimeMs(cue.start, ',') + " --> "
            + clockTimeMs(cue.end, ',') + "\n" + withoutArrow(cue.text) + "\n\n";
    }
    return out;
}

std::string formatVtt(const std::vector<Segment>& segments)
{
    std::string out = "WEBVTT\n\n";
    for (const Cue& cue : cues(segments)) {
        std::string text;
        for (const char c : withoutArrow(cue.text)) {
            if (c == '&') {
                text += "&amp;";
            } else if (c == '<') {
                text += "&lt;";
            } else if (c == '>') {
                text += "&gt;";
            } else {
                text += c;
            }
        }
        out += clockTimeMs(cue.start, '.') + " --> " + clockTimeMs(cue.end, '.') + "\n" + text + "\n\n";
    }
    return out;
}

std::string segmentsJson(const std::vector<Segment>& segments)
{
    std::string out = "[";
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& segment = segments[i];
        out += (i > 0 ? ",{\"start\":" : "{\"start\":") + jsonNumber(segment.start) + ",\"end\":"
            + jsonNumber(segment.end) + ",\"text\":" + jsonString(segment.text) + ",\"tokens\":[";
        for (std::size_t t = 0; t < segment.tokens.size(); ++t) {
            const auto& token = segment.tokens[t];
            out += (t > 0 ? ",{\"text\":" : "{\"text\":") + jsonString(token.text)
                + ",\"time\":" + (token.time ? jsonNumber(*token.time) : std::string("null")) + "}";
        }
        out += "]}";
    }
    return out + "]";
}

LiveOutput::LiveOutput(std::FILE* out, bool enabled)
    : out(out)
    , enabled(enabled)
    , terminal(::isatty(::fileno(out)) == 1)
{
}

void LiveOutput::clearStatus()
{
    if (statusShown) {
        std::fputs("\r\033[K", out);
        statusShown = false;
        statusText.clear();
    }
}

void LiveOutput::update(const std::vector<Segment>& segments, bool final)
{
    if (!enabled) {
        return;
    }
    const std::size_t finished = final ? segments.size() : (segments.empty() ? 0 : segments.size() - 1);
    bool wrote = false;
    for (; printed < finished; ++printed) {
        const Segment& segment = segments[printed];
        const std::string text = lineText(segment.text);
        if (text.empty()) {
            continue;
        }
        clearStatus();
        std::fprintf(out, "%.3f\t%.3f\t%s\n", segment.start, segment.end, text.c_str());
        wrote = true;
    }
    if (terminal) {
        const std::string changing
            = finished < segments.size() ? lineText(segments.back().text) : std::string();
        if (changing != statusText) {
            clearStatus();
            if (!changing.empty()) {
                winsize size{};
                std::size_t columns = kDefaultColumns;
                if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
                    columns = size.ws_col;
                }
                // Where a finished segment has its end, dots: the end is not known yet.
                char start[32];
                std::snprintf(start, sizeof start, "%.3f\t...\t", segments.back().start);
                // The times take two tab stops of 8 columns, "..." 3 more columns before the
                // text's tail, and one column stays free for the cursor.
                const std::size_t room = columns > 24 ? columns - 20 : 4;
                std::fprintf(out, "%s%s", start, tail(changing, room).c_str());
                statusShown = true;
                statusText = changing;
            }
            wrote = true;
        }
    }
    if (wrote) {
        std::fflush(out);
    }
}

} // namespace ombrix::transcribe
