// Streaming-text segmentation through a real text-to-speech node: random token streams
// with random final flags, clears, and playback that starts and ends, driven through the
// node's own appendStreamingText, clearStreamingBuffer and audio-thread end of playback.
//
// The node has no voice and its synthesis worker is stopped, so every piece it cuts stays
// in its text queue, where it is collected after each operation. Playback is simulated
// with an empty audio item that the fuzzer publishes and later marks finished before
// pulling one block (the audio thread then cuts buffered text).
//
// Checked after every operation, against the bytes that went in:
//  - pieces + what stays buffered == input, minus only spaces, tabs and line feeds right
//    after a cut (a carriage return is never removed);
//  - no piece is empty; at most one piece per operation; a final flush takes the whole
//    buffer and empties it; nothing is cut from a buffer under 50 bytes except by a final
//    flush; nothing is cut while audio plays except by a final flush;
//  - the cut lies where the rule puts it (a small independent statement of the rule below:
//    last sentence end; from 80 bytes last clause mark; from 150 bytes last space, or the
//    whole buffer without an unfinished UTF-8 character at its end).

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "host/Logger.h"
#include "host/OXAny.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"

namespace {

using ombrix::AudioBuffer;
using ombrix::AudioBus;
using ombrix::OXAnyMap;
using ombrix::extensions::sherpa::SherpaTTSNode;
using Internals = SherpaTTSNode::Internals;

constexpr std::size_t kMinimumCut = 50;
constexpr std::size_t kClauseCut = 80;
constexpr std::size_t kSpaceCut = 150;
constexpr std::size_t kMaxOperations = 400;
constexpr unsigned kBlockFrames = 160;

constexpr std::array<const char*, 26> kTokens = {".", "...", "!", "?", ",", ";", ":", " ", "  ", "\t", "\n",
    "\r", "\r\n", " word", "Hello", " world.", " 3.5", "e.g.", "\xC3\xA9", "\xC3", "\xA9", "\xE2\x80\x94",
    "\xF0\x9F\x98", "\x80", " the quick brown fox jumps over the lazy dog", "averyveryveryverylongword"};

[[noreturn]] void fail(const std::string& what, const std::string& input)
{
    std::fprintf(stderr, "streaming segmentation invariant broken: %s\n  buffer before: \"%s\"\n",
        what.c_str(), input.c_str());
    std::abort();
}

bool isTrimmed(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// ---- the cutting rule, stated independently ---------------------------------------------

bool sentenceEndAt(std::string_view text, std::size_t i)
{
    if (text[i] == '!' || text[i] == '?') {
        return true;
    }
    if (text[i] != '.') {
        return false;
    }
    const bool before = i > 0 && text[i - 1] == '.';
    const bool after = i + 1 < text.size() && text[i + 1] == '.';
    return !before && !after;
}

/// Length of the text without a UTF-8 character whose last bytes are missing at its end.
std::size_t completeLength(std::string_view text)
{
    std::size_t continuation = 0;
    for (std::size_t i = text.size(); i-- > 0 && continuation < 3;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) {
            ++continuation;
            continue;
        }
        std::size_t needed = 1;
        if ((byte & 0xE0) == 0xC0) {
            needed = 2;
        } else if ((byte & 0xF0) == 0xE0) {
            needed = 3;
        } else if ((byte & 0xF8) == 0xF0) {
            needed = 4;
        }
        return needed > continuation + 1 ? i : text.size();
    }
    return text.size();
}

/// Where the rule cuts `text`, or nothing.
std::optional<std::size_t> expectedCut(std::string_view text)
{
    if (text.size() < kMinimumCut) {
        return std::nullopt;
    }
    for (std::size_t i = text.size(); i-- > 0;) {
        if (sentenceEndAt(text, i)) {
            return i + 1;
        }
    }
    if (text.size() >= kClauseCut) {
        const std::size_t i = text.find_last_of(",:;");
        if (i != std::string_view::npos) {
            return i + 1;
        }
    }
    if (text.size() >= kSpaceCut) {
        const std::size_t i = text.find_last_of(' ');
        if (i != std::string_view::npos) {
            return i + 1;
        }
        return completeLength(text);
    }
    return std::nullopt;
}

// ---- the node under test ---------------------------------------------------------------

struct Harness {
    Harness()
        : node(OXAnyMap())
        , internals(node.getInternalsForTesting())
        , idleItem(std::vector<float>())
    {
        idleItem.markComplete(); // an empty item whose generation is over
        // Stop the worker so that cut pieces stay in the queue for inspection.
        {
            std::lock_guard<std::mutex> lock(internals.queueMutex);
            internals.stopRequested = true;
        }
        internals.queueCondition.notify_all();
        if (internals.workerThread.joinable()) {
            internals.workerThread.join();
        }
        channels[0] = samples.data();
        buffer = AudioBuffer<float>(channels.data(), 1, kBlockFrames, true, 16000);
        bus.setBuffer(&buffer);
    }

    ~Harness() { reset(); }

    void reset()
    {
        node.clearStreamingBuffer();
        takePieces();
        internals.playingAudio.store(nullptr);
        internals.latestAudio.store(nullptr);
        internals.audioIsPlaying.store(false);
        idleItem.isFinished.store(false);
    }

    std::vector<std::string> takePieces()
    {
        std::lock_guard<std::mutex> lock(internals.queueMutex);
        std::vector<std::string> pieces;
        for (const auto& queued : internals.textQueue) {
            pieces.push_back(queued.text);
        }
        internals.textQueue.clear();
        return pieces;
    }

    std::string buffered()
    {
        std::lock_guard<std::mutex> lock(internals.streamingMutex);
        return internals.streamingBuffer;
    }

    bool playing() const
    {
        return internals.audioIsPlaying.load() && internals.latestAudio.load() != nullptr;
    }

    /// An item starts playing (as far as the streaming path can tell).
    void startPlayback()
    {
        idleItem.isFinished.store(false);
        internals.latestAudio.store(&idleItem);
        internals.playingAudio.store(&idleItem);
        internals.audioIsPlaying.store(true);
    }

    /// The playing item has ended: the audio thread's next block reports it and cuts
    /// buffered text. Returns false when nothing was playing.
    bool endPlayback()
    {
        if (internals.playingAudio.load() != &idleItem) {
            return false;
        }
        idleItem.isFinished.store(true);
        internals.audioIsPlaying.store(false);
        internals.generateAudio(bus);
        internals.latestAudio.store(nullptr);
        idleItem.isFinished.store(false);
        if (internals.playingAudio.load() != nullptr) {
            fail("the finished item is still playing after a block", "");
        }
        return true;
    }

    SherpaTTSNode node;
    Internals& internals;
    Internals::GeneratedAudio idleItem;
    std::array<float, kBlockFrames> samples{};
    std::array<float*, 1> channels{};
    AudioBuffer<float> buffer;
    AudioBus bus;
};

Harness* harness = nullptr;

/// Checks one application of the rule to `before`, which left `pieces` and `after`.
void checkCut(const std::string& before, const std::vector<std::string>& pieces, const std::string& after)
{
    const std::optional<std::size_t> cut = expectedCut(before);
    if (pieces.empty()) {
        if (cut) {
            fail("no piece although the rule cuts at " + std::to_string(*cut), before);
        }
        if (after != before) {
            fail("the buffer changed without a cut", before);
        }
        return;
    }
    if (pieces.size() > 1) {
        fail("more than one piece from one cut", before);
    }
    const std::string& piece = pieces.front();
    if (piece.empty()) {
        fail("an empty piece", before);
    }
    if (before.size() < kMinimumCut) {
        fail("a cut from a buffer under 50 bytes", before);
    }
    if (before.compare(0, piece.size(), piece) != 0) {
        fail("the piece is not the start of the buffer", before);
    }
    if (!cut || *cut != piece.size()) {
        fail("cut at " + std::to_string(piece.size()) + ", the rule says "
                + (cut ? std::to_string(*cut) : std::string("no cut")),
            before);
    }
    const std::string rest = before.substr(piece.size());
    if (after.size() > rest.size() || rest.compare(rest.size() - after.size(), after.size(), after) != 0) {
        fail("what stays is not the end of the buffer", before);
    }
    for (std::size_t i = 0; i < rest.size() - after.size(); ++i) {
        if (!isTrimmed(rest[i])) {
            fail("a byte other than space, tab or line feed was dropped after the cut", before);
        }
    }
    if (!after.empty() && isTrimmed(after.front())) {
        fail("what stays after a cut starts with a space, tab or line feed", before);
    }
}

std::string nextToken(FuzzedDataProvider& data)
{
    switch (data.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
        return data.ConsumeRandomLengthString(24);
    case 1:
        return std::string(data.ConsumeIntegralInRange<std::size_t>(0, 200),
            data.ConsumeBool() ? 'x' : static_cast<char>(data.ConsumeIntegral<std::uint8_t>()));
    default:
        return kTokens[data.ConsumeIntegralInRange<std::size_t>(0, kTokens.size() - 1)];
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // Log lines (the node's debug line for every cut after playback) would dominate the
    // run time; nothing here is judged by them.
    ombrix::Logger::setSink([](ombrix::LogLevel, const std::string&) {});
    harness = new Harness(); // lives for the whole process, like the host's node
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    Harness& h = *harness;
    h.reset();
    for (std::size_t step = 0; step < kMaxOperations && data.remaining_bytes() > 0; ++step) {
        const std::string before = h.buffered();
        switch (data.ConsumeIntegralInRange<int>(0, 9)) {
        case 0: { // final flush, possibly with a last token
            const std::string token = data.ConsumeBool() ? nextToken(data) : std::string();
            h.node.appendStreamingText(token, true);
            const std::vector<std::string> pieces = h.takePieces();
            const std::string whole = before + token;
            if (!h.buffered().empty()) {
                fail("a final flush left text in the buffer", whole);
            }
            if (whole.empty() ? !pieces.empty() : (pieces.size() != 1 || pieces.front() != whole)) {
                fail("a final flush did not queue exactly the whole buffer", whole);
            }
            break;
        }
        case 1:
            h.node.clearStreamingBuffer();
            if (!h.buffered().empty() || !h.takePieces().empty()) {
                fail("a clear left text behind or queued some", before);
            }
            break;
        case 2:
            if (!h.playing()) {
                h.startPlayback();
            }
            break;
        case 3: {
            const bool wasPlaying = h.endPlayback();
            const std::vector<std::string> pieces = h.takePieces();
            if (!wasPlaying || before.empty()) {
                if (!pieces.empty() || h.buffered() != before) {
                    fail("a block without the end of playback cut text", before);
                }
            } else {
                checkCut(before, pieces, h.buffered());
            }
            break;
        }
        default: { // a token
            const std::string token = nextToken(data);
            const bool playing = h.playing();
            h.node.appendStreamingText(token, false);
            const std::vector<std::string> pieces = h.takePieces();
            const std::string whole = before + token;
            if (playing) {
                if (!pieces.empty() || h.buffered() != whole) {
                    fail("text was cut while audio played", whole);
                }
            } else {
                checkCut(whole, pieces, h.buffered());
            }
            break;
        }
        }
    }
    return 0;
}
