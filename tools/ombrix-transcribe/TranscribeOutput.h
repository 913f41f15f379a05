#pragma once

// What ombrix-transcribe writes: the live lines on standard output and the transcript
// files (--output-txt, --output-srt, --output-vtt, --output-json). Every text passes
// tools::validUtf8() on the way out, so bytes that are not UTF-8 become U+FFFD.

#include <cstdio>
#include <string>
#include <vector>

#include "ombrix/sherpa/SherpaSTTNode.h"

namespace ombrix::transcribe {

using Segment = extensions::sherpa::SherpaSTTNode::Segment;

/// `value` as a JSON number (6 significant digits).
std::string jsonNumber(double value);

/// `seconds` as HH:MM:SS followed by `separator` and milliseconds (SRT: ',', WebVTT: '.').
std::string clockTime(double seconds, char separator);

/// The transcript formats. Each writes one cue or line per segment with text; times are
/// made non-decreasing and every cue at least a millisecond long.
std::string formatTxt(const std::vector<Segment>& segments);
std::string formatSrt(const std::vector<Segment>& segments);
std::string formatVtt(const std::vector<Segment>& segments);
/// The segments as a JSON array: start, end, text, tokens (text and time, in seconds;
/// time null where the recogniser gave none).
std::string segmentsJson(const std::vector<Segment>& segments);

/**
 * Standard output while transcribing, showing only what is new. Segments are final once
 * a later one exists (the node has restarted decoding after them) or at the end; each is
 * printed once, as "<start><TAB><end><TAB><text>" (seconds). On a terminal the words of
 * the last segment, which may still change, stand in one status line rewritten in place
 * (carriage return and erase to the end of the line), and a finished segment replaces it.
 */
class LiveOutput {
public:
    LiveOutput(std::FILE* out, bool enabled);
    LiveOutput(const LiveOutput&) = delete;
    LiveOutput& operator=(const LiveOutput&) = delete;

    bool isEnabled() const { return enabled; }
    bool isTerminal() const { return terminal; }
    /// The node's segments so far; with `final`, the last one is finished too.
    void update(const std::vector<Segment>& segments, bool final);

private:
    void clearStatus();

    std::FILE* out;
    bool enabled;
    bool terminal;
    std::size_t printed = 0;
    bool statusShown = false;
    std::string statusText;
};

} // namespace ombrix::transcribe
