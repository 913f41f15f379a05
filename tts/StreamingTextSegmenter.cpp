#include "tts/StreamingTextSegmenter.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace ombrix::extensions::sherpa {

namespace {

constexpr char kPeriod = '.';
constexpr std::string_view kSentenceEndMarks = "!?";
constexpr std::string_view kClauseMarks = ",:;";
constexpr std::string_view kWordBreak = " ";
/// Leading bytes removed from what stays in the buffer after a cut (no carriage return).
constexpr const char* kTrimmedAfterCut = " \t\n";

/// A period whose neighbours (where they exist) are not periods.
bool isLonePeriod(std::string_view text, std::size_t index)
{
    const bool periodBefore = index > 0 && text[index - 1] == kPeriod;
    const bool periodAfter = index + 1 < text.size() && text[index + 1] == kPeriod;
    return !periodBefore && !periodAfter;
}

bool isSentenceEnd(std::string_view text, std::size_t index)
{
    const char byte = text[index];
    if (kSentenceEndMarks.find(byte) != std::string_view::npos) {
        return true;
    }
    return byte == kPeriod && isLonePeriod(text, index);
}

/// Position just after the last sentence end, or npos.
std::size_t afterLastSentenceEnd(std::string_view text)
{
    for (std::size_t index = text.size(); index-- > 0;) {
        if (isSentenceEnd(text, index)) {
            return index + 1;
        }
    }
    return std::string_view::npos;
}

/// Position just after the last byte of `bytes`, or npos.
std::size_t afterLastOf(std::string_view text, std::string_view bytes)
{
    const std::size_t index = text.find_last_of(bytes);
    return index == std::string_view::npos ? index : index + 1;
}

constexpr unsigned char kUtf8ContinuationMask = 0xC0;
constexpr unsigned char kUtf8ContinuationBits = 0x80;
constexpr unsigned char kUtf8TwoByteLeadMask = 0xE0, kUtf8TwoByteLead = 0xC0;
constexpr unsigned char kUtf8ThreeByteLeadMask = 0xF0, kUtf8ThreeByteLead = 0xE0;
constexpr unsigned char kUtf8FourByteLeadMask = 0xF8, kUtf8FourByteLead = 0xF0;
constexpr std::size_t kUtf8MaxSequenceBytes = 4;

/// Bytes in the UTF-8 sequence that `lead` starts (1 for ASCII and for bytes that start
/// no sequence, so that text in other encodings passes unchanged).
std::size_t utf8SequenceLength(unsigned char lead)
{
    if ((lead & kUtf8TwoByteLeadMask) == kUtf8TwoByteLead) {
        return 2;
    }
    if ((lead & kUtf8ThreeByteLeadMask) == kUtf8ThreeByteLead) {
        return 3;
    }
    if ((lead & kUtf8FourByteLeadMask) == kUtf8FourByteLead) {
        return 4;
    }
    return 1;
}

/// Length of `text` without a trailing UTF-8 sequence that is still incomplete (a token
/// may end in the middle of a character; its remaining bytes come with the next one).
std::size_t lengthWithoutIncompleteCharacter(std::string_view text)
{
    const std::size_t lookBack = std::min(text.size(), kUtf8MaxSequenceBytes - 1);
    for (std::size_t back = 1; back <= lookBack; ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & kUtf8ContinuationMask) != kUtf8ContinuationBits) {
            return utf8SequenceLength(byte) > back ? text.size() - back : text.size();
        }
    }
    return text.size();
}

/// Where the rule cuts `text`, or npos for no cut.
std::size_t cutPosition(std::string_view text)
{
    const std::size_t length = text.size();
    if (length < kStreamingMinimumCutBytes) {
        return std::string_view::npos;
    }
    if (const std::size_t cut = afterLastSentenceEnd(text); cut != std::string_view::npos) {
        return cut;
    }
    if (length >= kStreamingMinimumClauseCutBytes) {
        if (const std::size_t cut = afterLastOf(text, kClauseMarks); cut != std::string_view::npos) {
            return cut;
        }
    }
    if (length >= kStreamingMinimumSpaceCutBytes) {
        if (const std::size_t cut = afterLastOf(text, kWordBreak); cut != std::string_view::npos) {
            return cut;
        }
        // The whole buffer, except a character whose last bytes have not arrived yet.
        return lengthWithoutIncompleteCharacter(text);
    }
    return std::string_view::npos;
}

} // namespace

std::optional<std::string> cutStreamingPiece(std::string& buffer)
{
    const std::size_t cut = cutPosition(buffer);
    if (cut == std::string_view::npos) {
        return std::nullopt;
    }
    std::string piece = buffer.substr(0, cut);
    const std::size_t keep = buffer.find_first_not_of(kTrimmedAfterCut, cut);
    buffer.erase(0, keep == std::string::npos ? buffer.size() : keep);
    return piece;
}

std::optional<std::string> takeFinalStreamingPiece(std::string& buffer)
{
    if (buffer.empty()) {
        return std::nullopt;
    }
    std::string piece = std::move(buffer);
    buffer.clear();
    return piece;
}

} // namespace ombrix::extensions::sherpa
