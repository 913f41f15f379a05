#include "models/ModelFileInspection.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using namespace ombrix::extensions::sherpa;

const fs::path kFixtures = OMBRIX_FIXTURES_DIR;
const fs::path kDefaultVoice = fs::path(OMBRIX_BUILD_DIR) / "share" / "files" / "en_GB"
    / "vits-piper-en_GB-southern_english_female-low"
    / "en_GB-southern_english_female-low.with_runtime_opt.ort";

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ModelFileInspection, ReadsMetadataAndOutputSizeFromOnnxAndOrtFiles)
{
    std::string problem;
    const auto onnxVoice = readModelFileInfo((kFixtures / "voice-en" / "model.onnx").string(), problem);
    ASSERT_TRUE(onnxVoice) << problem;
    EXPECT_EQ(onnxVoice->format, ModelFileFormat::Onnx);
    EXPECT_EQ(onnxVoice->metadataValue("sample_rate"), "16000");
    EXPECT_EQ(onnxVoice->metadataValue("voice"), "en-us");
    EXPECT_EQ(onnxVoice->metadataValue("no such key"), std::nullopt);

    const auto ortVoice = readModelFileInfo(kDefaultVoice.string(), problem);
    ASSERT_TRUE(ortVoice) << problem;
    EXPECT_EQ(ortVoice->format, ModelFileFormat::Ort);
    EXPECT_EQ(ortVoice->metadataValue("comment"), "piper");
    EXPECT_EQ(ortVoice->metadataValue("voice"), "en-gb-x-rp");
    // The voice's output length is symbolic: no size.
    EXPECT_EQ(modelOutputSize(*ortVoice), std::nullopt);

    for (const char* name : {"model.onnx", "model.ort"}) {
        const auto recognizer = readModelFileInfo((kFixtures / "asr" / name).string(), problem);
        ASSERT_TRUE(recognizer) << problem;
        EXPECT_EQ(recognizer->metadataValue("T"), "45") << name;
        EXPECT_EQ(modelOutputSize(*recognizer), 3) << name; // <blk>, A, B
    }
    EXPECT_TRUE(hasOrtFileName("x/model.ORT"));
    EXPECT_FALSE(hasOrtFileName("model.ort.onnx"));
}

TEST(ModelFileInspection, DamagedModelFilesNeverMakeTheReaderLeaveTheFile)
{
    // Cuts and flipped bytes spread over both formats: each read ends in a model or a
    // problem naming the file (sanitizer builds prove no byte outside it is read).
    constexpr std::size_t kVariantsPerFormat = 400;
    std::string pattern = (fs::temp_directory_path() / "ombrix-inspect-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string path = pattern + ".onnx";
    fs::rename(pattern, path);
    for (const fs::path& source : {kFixtures / "asr" / "model.onnx", kFixtures / "asr" / "model.ort"}) {
        const std::string original = readFile(source);
        const std::string target = source.extension() == ".ort" ? pattern + ".ort" : path;
        const std::size_t step = original.size() / kVariantsPerFormat + 1;
        for (std::size_t variant = 0; variant < original.size(); variant += step) {
            const bool cut = (variant / step) % 2 == 0;
            std::string damaged = cut ? original.substr(0, variant) : original;
            if (!cut) {
                damaged[variant] = static_cast<char>(~damaged[variant]);
            }
            std::ofstream(target, std::ios::binary | std::ios::trunc) << damaged;
            std::string problem;
            const auto info = readModelFileInfo(target, problem);
            if (!info) {
                ASSERT_TRUE(problem.starts_with(target)) << problem;
            }
            const std::string recognizerProblem = checkRecognizerModelFile(target);
            ASSERT_TRUE(recognizerProblem.empty() || recognizerProblem.starts_with(target))
                << recognizerProblem;
        }
        fs::remove(target);
    }
}

TEST(ModelFileInspection, AcceptsTheGoodFilesAsTheLibraryReadsThem)
{
    EXPECT_EQ(checkVoiceModelFile((kFixtures / "voice-en" / "model.onnx").string()), "");
    EXPECT_EQ(checkVoiceModelFile(kDefaultVoice.string()), "");
    EXPECT_EQ(checkVoiceTokensFile((kFixtures / "voice-de" / "tokens.txt").string()), "");
    EXPECT_EQ(checkEspeakDataDirectory((kFixtures / "voice-de" / "espeak-ng-data").string()), "");
    EXPECT_EQ(checkEspeakDataDirectory("/usr/lib/x86_64-linux-gnu/espeak-ng-data"), "");
    EXPECT_EQ(checkRecognizerModelFile((kFixtures / "asr" / "model.ort").string()), "");
    EXPECT_EQ(checkGraphFileHeader((kFixtures / "asr" / "HLG-only-a.fst").string()), "");

    // A recogniser's tokens may end lines with CR and use <eps> as the blank.
    const fs::path tokens
        = fs::temp_directory_path() / ("ombrix-tokens-" + std::to_string(::getpid()) + ".txt");
    std::ofstream(tokens, std::ios::binary | std::ios::trunc) << "<eps> 0\r\nA 1\r\nB 2\r\n";
    std::string problem;
    const auto read = readRecognizerTokens(tokens.string(), problem);
    fs::remove(tokens);
    ASSERT_TRUE(read) << problem;
    EXPECT_EQ(read->ids, (std::set<int64_t>{0, 1, 2}));
}

TEST(ModelFileInspection, TokensThatAreNotStrictUtf8AreRefusedByBothTokenReaders)
{
    const fs::path tokens
        = fs::temp_directory_path() / ("ombrix-utf8-tokens-" + std::to_string(::getpid()) + ".txt");
    const std::string voiceTokens = readFile(kFixtures / "voice-en" / "tokens.txt");
    // A surrogate (U+D800), an overlong '/', a value past U+10FFFF, a cut sequence.
    for (const std::string bad : {"\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xe2\x82"}) {
        SCOPED_TRACE(::testing::PrintToString(bad));
        std::ofstream(tokens, std::ios::binary | std::ios::trunc) << voiceTokens << bad << " 500\n";
        EXPECT_NE(
            checkVoiceTokensFile(tokens.string()).find(": the symbol is not valid UTF-8"), std::string::npos);

        std::ofstream(tokens, std::ios::binary | std::ios::trunc) << "<blk> 0\nA" << bad << " 1\nB 2\n";
        std::string problem;
        EXPECT_FALSE(readRecognizerTokens(tokens.string(), problem));
        EXPECT_EQ(problem, tokens.string() + ": line 2: the symbol is not valid UTF-8");
    }
    // The largest code point and one just below the surrogates are symbols like any other.
    std::ofstream(tokens, std::ios::binary | std::ios::trunc)
        << "<blk> 0\n\xf4\x8f\xbf\xbf 1\n\xed\x9f\xbf 2\n";
    std::string problem;
    const auto read = readRecognizerTokens(tokens.string(), problem);
    fs::remove(tokens);
    ASSERT_TRUE(read) << problem;
    EXPECT_EQ(read->ids, (std::set<int64_t>{0, 1, 2}));
}

} // namespace
