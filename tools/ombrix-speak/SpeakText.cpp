#include "SpeakText.h"

#include "tools/common/ToolCommon.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace ombrix::speak {

std::string spokenCharacters(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '*') {
            out += c;
        }
    }
    return out;
}

std::vector<std::string> splitIntoTokens(const std::string& text)
{
    auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::vector<std::string> tokens;
    std::string current;
    bool inTrailingSpace = false;
    bool seenWord = false;
    for (const char c : text) {
        if (isSpace(c)) {
            inTrailingSpace = seenWord;
        } else if (inTrailingSpace) {
            tokens.push_back(current);
            current.clear();
            inTrailingSpace = false;
        } else {
            seenWord = true;
        }
        current += c;
    }
    if (!current.empty()) {
        tokens.push_back(current);
    }
    return tokens;
}

namespace {

// Bytes of the beginning and of the end a shortened text keeps.
constexpr std::size_t kShortenedHeadBytes = 56;
constexpr std::size_t kShortenedTailBytes = 20;

bool isContinuationByte(char c)
{
    return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u;
}

} // namespace

std::string timelineText(const std::string& text)
{
    if (text.size() <= kTimelineTextBytes) {
        return ombrix::tools::jsonString(text);
    }
    std::size_t headEnd = kShortenedHeadBytes;
    while (headEnd > 0 && isContinuationByte(text[headEnd])) {
        --headEnd;
    }
    std::size_t tailBegin = text.size() - kShortenedTailBytes;
    while (tailBegin < text.size() && isContinuationByte(text[tailBegin])) {
        ++tailBegin;
    }
    return ombrix::tools::jsonString(text.substr(0, headEnd) + " ... " + text.substr(tailBegin)) + " ("
        + std::to_string(text.size()) + " bytes)";
}

std::string readInputFile(const std::string& path)
{
    const bool standardInput = path == "-";
    const std::string name = standardInput ? std::string("standard input") : path;
    struct Closer {
        bool owned;
        void operator()(std::FILE* file) const
        {
            if (owned) {
                std::fclose(file);
            }
        }
    };
    std::unique_ptr<std::FILE, Closer> file(
        standardInput ? stdin : std::fopen(path.c_str(), "rbe"), Closer{!standardInput});
    if (!file) {
        throw tools::ToolError(tools::kExitInput, "cannot read " + name + ": " + tools::systemReason(errno));
    }
    std::string text;
    char chunk[65536];
    for (;;) {
        const std::size_t read = std::fread(chunk, 1, sizeof chunk, file.get());
        text.append(chunk, read);
        if (text.size() > kMaxInputFileBytes) {
            throw tools::ToolError(tools::kExitInput,
                name + " holds more than " + std::to_string(kMaxInputFileBytes)
                    + " bytes of text, more than ombrix-speak reads; split it into parts");
        }
        if (read < sizeof chunk) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        throw tools::ToolError(
            tools::kExitInput, "cannot read " + name + ": " + tools::systemReason(errno != 0 ? errno : EIO));
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    if (text.empty()) {
        throw tools::ToolError(tools::kExitInput, "no text in " + name);
    }
    return text;
}

} // namespace ombrix::speak
