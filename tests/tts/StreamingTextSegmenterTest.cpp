#include "tts/StreamingTextSegmenter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix::extensions::sherpa {
namespace {

/// `text` followed by `fill` up to exactly `length` bytes.
std::string padded(std::string text, std::size_t length, char fill = 'x')
{
    text.resize(length, fill);
    return text;
}

/// `count` words "word " (5 bytes each), no marks.
std::string words(std::size_t count)
{
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += "word ";
    }
    return text;
}

TEST(StreamingSegmentation, ShortTextWaitsUntilTheFinalFlushTakesItWhole)
{
    std::string buffer = "Hello.";
    EXPECT_FALSE(cutStreamingPiece(buffer));
    EXPECT_EQ(buffer, "Hello.");

    buffer += ""; // an empty token marked final
    EXPECT_EQ(takeFinalStreamingPiece(buffer), "Hello.");
    EXPECT_TRUE(buffer.empty());
    EXPECT_FALSE(takeFinalStreamingPiece(buffer)) << "an empty flush queues nothing";

    buffer = " \t\n Hi.\r\n ";
    EXPECT_EQ(takeFinalStreamingPiece(buffer), " \t\n Hi.\r\n ") << "a flush trims nothing";
    EXPECT_TRUE(buffer.empty());

    // 49 bytes are never cut, whatever they hold; 50 are.
    buffer = padded("One. Two! Three? ", 49);
    EXPECT_FALSE(cutStreamingPiece(buffer));
    EXPECT_EQ(buffer.size(), 49u);
    buffer += "y";
    EXPECT_EQ(cutStreamingPiece(buffer), "One. Two! Three?");
    EXPECT_EQ(buffer, padded("", 32) + "y");
}

TEST(StreamingSegmentation, CutsAfterTheLastSentenceEndAndTrimsWhatStays)
{
    const std::string sentences = "The first sentence is here. The second one, too.";
    std::string buffer = sentences + " The third s";
    ASSERT_EQ(buffer.size(), 60u);
    EXPECT_EQ(cutStreamingPiece(buffer), sentences);
    EXPECT_EQ(buffer, "The third s");

    buffer = padded("Is it? Yes! It is", 60) + "?!\t\n \n  Next";
    EXPECT_EQ(cutStreamingPiece(buffer), padded("Is it? Yes! It is", 60) + "?!");
    EXPECT_EQ(buffer, "Next") << "spaces, tabs and line feeds are trimmed";

    buffer = padded("Carriage returns stay", 59) + ".\r\nNext";
    EXPECT_EQ(cutStreamingPiece(buffer), padded("Carriage returns stay", 59) + ".");
    EXPECT_EQ(buffer, "\r\nNext");

    buffer = padded("Only whitespace follows", 59) + ". \t\n ";
    EXPECT_EQ(cutStreamingPiece(buffer), padded("Only whitespace follows", 59) + ".");
    EXPECT_TRUE(buffer.empty());

    // One piece per call, even when a later call could cut again.
    buffer = padded("A.", 60) + "!" + words(40);
    EXPECT_EQ(cutStreamingPiece(buffer), padded("A.", 60) + "!");
    EXPECT_EQ(buffer, words(40));
}

TEST(StreamingSegmentation, RunsOfPeriodsAreNotSentenceEndsButOtherPeriodsAre)
{
    std::string buffer = padded("Well... I think.. maybe", 55);
    EXPECT_FALSE(cutStreamingPiece(buffer));
    EXPECT_EQ(buffer.size(), 55u);

    buffer = padded("Done. Then", 57) + "...";
    EXPECT_EQ(cutStreamingPiece(buffer), "Done.");
    EXPECT_EQ(buffer, padded("Then", 51) + "...");

    buffer = padded("", 52) + "...";
    EXPECT_FALSE(cutStreamingPiece(buffer)) << "an ellipsis at the very end";

    buffer = padded(".", 50);
    EXPECT_EQ(cutStreamingPiece(buffer), ".")
        << "a period at the start only needs its right neighbour to differ";

    buffer = padded("The price rose by", 49, ' ') + "3.5 percent";
    EXPECT_EQ(cutStreamingPiece(buffer), padded("The price rose by", 49, ' ') + "3.");
    EXPECT_EQ(buffer, "5 percent");

    buffer = padded("", 49) + ".";
    EXPECT_EQ(cutStreamingPiece(buffer), padded("", 49) + ".");
    EXPECT_TRUE(buffer.empty());
}

TEST(StreamingSegmentation, ClauseMarksCountFromEightyBytesAndSentenceEndsWin)
{
    std::string buffer = padded("First, second: third; fourth", 79);
    EXPECT_FALSE(cutStreamingPiece(buffer));
    buffer += "z";
    EXPECT_EQ(cutStreamingPiece(buffer), "First, second: third;");
    EXPECT_EQ(buffer, padded("fourth", 57) + "z");

    buffer = padded("A comma", 70) + ", and";
    ASSERT_EQ(buffer.size(), 75u);
    EXPECT_FALSE(cutStreamingPiece(buffer));
    buffer = padded(buffer, 80);
    EXPECT_EQ(cutStreamingPiece(buffer), padded("A comma", 70) + ",");

    buffer = padded("Stop. Then", 70) + ", later, more";
    EXPECT_EQ(cutStreamingPiece(buffer), "Stop.") << "a sentence end anywhere beats a later comma";
}

TEST(StreamingSegmentation, SpacesCountFromHundredFiftyBytesElseTheWholeBufferGoes)
{
    std::string buffer = words(29) + "abcd";
    ASSERT_EQ(buffer.size(), 149u);
    EXPECT_FALSE(cutStreamingPiece(buffer));
    buffer += "e";
    EXPECT_EQ(cutStreamingPiece(buffer), words(29));
    EXPECT_EQ(buffer, "abcde");

    buffer = padded("tabs\tare\tno\tword\tbreaks", 150);
    EXPECT_EQ(cutStreamingPiece(buffer), padded("tabs\tare\tno\tword\tbreaks", 150));
    EXPECT_TRUE(buffer.empty());
}

TEST(StreamingSegmentation, WholeBufferCutLeavesACharacterCutShortForTheNextPiece)
{
    const std::string eAcute = "\xC3\xA9";
    const std::string smile = "\xF0\x9F\x99\x82";
    std::string accents;
    for (int i = 0; i < 75; ++i) {
        accents += eAcute;
    }
    ASSERT_EQ(accents.size(), 150u);

    std::string buffer = accents;
    EXPECT_EQ(cutStreamingPiece(buffer), accents);
    EXPECT_TRUE(buffer.empty());

    for (std::size_t arrived = 1; arrived < smile.size(); ++arrived) {
        SCOPED_TRACE(arrived);
        buffer = accents + smile.substr(0, arrived);
        EXPECT_EQ(cutStreamingPiece(buffer), accents);
        EXPECT_EQ(buffer, smile.substr(0, arrived));
        buffer += smile.substr(arrived);
        EXPECT_EQ(buffer, smile);
    }

    buffer = accents + smile;
    EXPECT_EQ(cutStreamingPiece(buffer), accents + smile) << "a complete character goes with the piece";
}

// ---------------------------------------------------------------------------------------
// Property test: random UTF-8 token streams (tokens may end inside a character) with
// random final flags, fed the way the node feeds them: each token is appended, then
// either flushed (final) or cut at most once.

/// Random UTF-8 text. Some streams leave out the marks, or the marks and the spaces, so
/// that the clause, space and whole-buffer cuts all come up often.
std::string randomText(std::mt19937& random)
{
    static const std::vector<std::string> letters = {"a", "b", "e", "k", "o", "t", "Z", "7", "\t", "\n", "\r",
        "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x99\x82", "\xC3\x9F"};
    static const std::vector<std::string> spaces = {" ", " ", " "};
    static const std::vector<std::string> marks = {".", "..", "...", "!", "?", ",", ":", ";"};

    std::vector<std::string> atoms = letters;
    const int kind = std::uniform_int_distribution<int>(0, 2)(random);
    if (kind <= 1) {
        atoms.insert(atoms.end(), spaces.begin(), spaces.end());
    }
    if (kind == 0) {
        atoms.insert(atoms.end(), marks.begin(), marks.end());
    }
    std::uniform_int_distribution<std::size_t> length(0, 700);
    std::uniform_int_distribution<std::size_t> pick(0, atoms.size() - 1);
    std::string text;
    for (std::size_t target = length(random); text.size() < target;) {
        text += atoms[pick(random)];
    }
    return text;
}

bool isContinuationByte(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

bool endsWithAnyOf(const std::string& piece, std::string_view marks)
{
    return !piece.empty() && marks.find(piece.back()) != std::string_view::npos;
}

TEST(StreamingSegmentation, RandomTokenStreamsLoseOnlyTrimmedBytesAndNeverSplitACharacter)
{
    constexpr int kStreams = 3000;
    for (int seed = 0; seed < kStreams; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(static_cast<std::mt19937::result_type>(seed));
        const std::string input = randomText(random);
        std::uniform_int_distribution<std::size_t> tokenLength(1, 12);
        std::bernoulli_distribution finalFlag(0.04);

        std::string buffer;
        std::size_t appended = 0; // input bytes appended so far
        std::size_t consumed = 0; // input bytes handed out as pieces or trimmed
        while (appended < input.size()) {
            const std::string token = input.substr(appended, tokenLength(random));
            appended += token.size();
            buffer += token;
            const std::string before = buffer;

            if (finalFlag(random)) {
                const auto piece = takeFinalStreamingPiece(buffer);
                ASSERT_TRUE(piece);
                EXPECT_EQ(*piece, before);
                consumed += piece->size();
            } else if (const auto piece = cutStreamingPiece(buffer)) {
                ASSERT_FALSE(piece->empty());
                ASSERT_GE(before.size(), kStreamingMinimumCutBytes);
                if (before.size() < kStreamingMinimumClauseCutBytes) {
                    EXPECT_TRUE(endsWithAnyOf(*piece, ".!?")) << *piece;
                } else if (before.size() < kStreamingMinimumSpaceCutBytes) {
                    EXPECT_TRUE(endsWithAnyOf(*piece, ".!?,:;")) << *piece;
                }
                ASSERT_EQ(input.compare(consumed, piece->size(), *piece), 0) << *piece;
                consumed += piece->size();
                ASSERT_TRUE(consumed == input.size() || !isContinuationByte(input[consumed]))
                    << "cut inside a character after: " << *piece;

                ASSERT_LE(piece->size() + buffer.size(), before.size());
                const std::size_t trimmed = before.size() - piece->size() - buffer.size();
                EXPECT_EQ(input.substr(consumed, trimmed).find_first_not_of(" \t\n"), std::string::npos);
                consumed += trimmed;
                EXPECT_TRUE(
                    buffer.empty() || std::string_view(" \t\n").find(buffer.front()) == std::string::npos);
            } else {
                EXPECT_LT(before.size(), kStreamingMinimumSpaceCutBytes) << "a long buffer is always cut";
                EXPECT_EQ(buffer, before);
            }
            ASSERT_EQ(buffer, input.substr(consumed, appended - consumed));
        }
    }
}

} // namespace
} // namespace ombrix::extensions::sherpa
