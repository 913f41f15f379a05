#include "models/ModelFileInspection.h"
#include "models/EspeakDataCheck.h"
#include "models/ModelMetadataChecks.h"
#include "models/ModelTextChecks.h"
#include "models/TextFields.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

const fs::path kDebianEspeakData = "/usr/lib/x86_64-linux-gnu/espeak-ng-data";

model_files::Bytes bytesOf(const std::string& data)
{
    return {reinterpret_cast<const uint8_t*>(data.data()), data.size()};
}

TEST(ModelFileInspection, EveryDebianDictionaryPassesAndEveryCutOfEnDictIsRefused)
{
    std::size_t dictionaries = 0;
    for (const auto& entry : fs::directory_iterator(kDebianEspeakData)) {
        if (entry.path().filename().string().ends_with("_dict")) {
            ++dictionaries;
            const auto fault = model_files::findDictionaryFault(bytesOf(readFile(entry.path())));
            EXPECT_FALSE(fault) << entry.path() << ": " << *fault;
        }
    }
    EXPECT_GE(dictionaries, 100u); // 1.51 has 112

    const std::string english = readFile(kDebianEspeakData / "en_dict");
    ASSERT_GT(english.size(), 100000u);
    for (std::size_t size = 0; size < english.size(); size += 1024) {
        EXPECT_TRUE(model_files::findDictionaryFault(bytesOf(english.substr(0, size)))) << size;
    }
    // Damage that keeps the size: the rules offset moved into the chains, an entry's
    // phoneme string left unterminated, a rule group that does not start as one.
    std::string shortRules = english;
    shortRules[4] = 0;
    shortRules[5] = 0x10;
    shortRules[6] = 0;
    shortRules[7] = 0;
    EXPECT_NE(model_files::findDictionaryFault(bytesOf(shortRules)).value_or("").find("runs into the rules"),
        std::string::npos);
    std::string badRules = english;
    int32_t rules = 0;
    std::memcpy(&rules, english.data() + 4, sizeof rules);
    badRules[static_cast<std::size_t>(rules)] = 'x';
    EXPECT_NE(model_files::findDictionaryFault(bytesOf(badRules)).value_or("").find("bad rules data"),
        std::string::npos);
    std::string unterminated = english;
    std::size_t entry = 8;
    while (english[entry] == 0) {
        ++entry; // the first non-empty hash chain
    }
    const std::size_t length = static_cast<uint8_t>(english[entry]);
    const std::size_t phonemes = entry + 2 + (static_cast<uint8_t>(english[entry + 1]) & 0x3f);
    std::fill(unterminated.begin() + static_cast<std::ptrdiff_t>(phonemes),
        unterminated.begin() + static_cast<std::ptrdiff_t>(entry + length), 'a');
    EXPECT_NE(
        model_files::findDictionaryFault(bytesOf(unterminated)).value_or("").find("does not end inside it"),
        std::string::npos);
}

TEST(ModelFileInspection, DataDirectoriesWithADamagedDictionaryOrAnEndlessProgramAreRefused)
{
    const fs::path broken = kFixtures / "broken";
    const auto problem = [&](const char* name) {
        return checkEspeakDataDirectory((broken / name / "espeak-ng-data").string());
    };
    const fs::path cut = broken / "tts-espeak-dict-cut" / "espeak-ng-data" / "en_dict";
    EXPECT_TRUE(problem("tts-espeak-dict-cut").starts_with(cut.string() + ": "))
        << problem("tts-espeak-dict-cut");
    const fs::path empty = broken / "tts-espeak-dict-empty" / "espeak-ng-data" / "de_dict";
    EXPECT_EQ(problem("tts-espeak-dict-empty").rfind(empty.string(), 0), 0u)
        << problem("tts-espeak-dict-empty");

    // One byte changed: a Jump of offset 0, which Debian's full data never has.
    const fs::path jump = broken / "tts-espeak-jump-to-itself" / "espeak-ng-data";
    const std::string good = readFile(kDebianEspeakData / "phonindex");
    const std::string bad = readFile(jump / "phonindex");
    ASSERT_EQ(good.size(), bad.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < good.size(); ++i) {
        changed += good[i] != bad[i] ? 1 : 0;
    }
    EXPECT_EQ(changed, 1u);
    const std::string jumpProblem = problem("tts-espeak-jump-to-itself");
    EXPECT_TRUE(jumpProblem.starts_with((jump / "phonindex").string() + ": ")) << jumpProblem;
    EXPECT_NE(jumpProblem.find("goes to itself"), std::string::npos) << jumpProblem;
}

TEST(ModelFileInspection, RecognizerTokensNeedDistinctSymbolsAndTheBlankAtZero)
{
    const fs::path tokens
        = fs::temp_directory_path() / ("ombrix-asr-tokens-" + std::to_string(::getpid()) + ".txt");
    const auto read = [&](const std::string& text) {
        std::ofstream(tokens, std::ios::binary | std::ios::trunc) << text;
        std::string problem;
        readRecognizerTokens(tokens.string(), problem);
        return problem;
    };
    EXPECT_EQ(read("<blk> 0\nA 1\nA 2\n"), tokens.string() + ": line 3 repeats the symbol 'A' of line 2");
    EXPECT_EQ(read("<blk> 0\n1\n2\n"), tokens.string() + ": line 3 repeats the symbol ' ' of line 2");
    EXPECT_EQ(read("<pad> 0\nA 1\n"), tokens.string() + ": has no blank symbol (<blk>, <eps> or <blank>)");
    EXPECT_NE(read("A 0\n<blk> 1\nB 2\n").find("has the blank symbol <blk> at id 1"), std::string::npos);
    // The library prefers <blk> to <eps>: only its id counts.
    EXPECT_EQ(read("<blk> 0\n<eps> 1\nB 2\n"), "");
    fs::remove(tokens);

    // A voice's CRLF tokens are refused with the reason.
    EXPECT_NE(model_files::checkVoiceTokensText("t", "_ 0\r\n^ 1\r\n$ 2\r\n").find("lose the space symbol"),
        std::string::npos);
}

TEST(ModelFileInspection, MetadataNumbersAreReadAsTheLibraryReadsThem)
{
    using model_files::atoiValue;
    using model_files::splitIntegerList;
    EXPECT_EQ(splitIntegerList("8"), (std::vector<int32_t>{8}));
    EXPECT_EQ(splitIntegerList(" 8,+4,,-2"), (std::vector<int32_t>{8, 4, -2}));
    EXPECT_EQ(splitIntegerList(std::string("8\0x", 3)), (std::vector<int32_t>{8}));
    for (const std::string_view bad : {"8 ", "8, ,8", "0x8", "four", "8;8", "2147483648", "-"}) {
        EXPECT_FALSE(splitIntegerList(bad)) << bad;
    }
    EXPECT_EQ(atoiValue("45 "), 45);
    EXPECT_EQ(atoiValue("  -3x"), -3);
    EXPECT_EQ(atoiValue("x"), 0);
    EXPECT_EQ(atoiValue("4294967297"), 1); // strtol's value wrapped to an int

    ModelFileInfo info;
    info.metadata = {{"encoder_dims", "8"}, {"query_head_dims", "2"}, {"value_head_dims", "2"},
        {"num_heads", "2 "}, {"num_encoder_layers", "1"}, {"cnn_module_kernels", "3"},
        {"left_context_len", "4"}, {"T", "45 "}, {"decode_chunk_len", "32"}};
    EXPECT_EQ(model_files::recognizerMetadataProblem("m", info, true),
        "m: the model metadata num_heads '2 ' is not a list of integers as sherpa-onnx reads it");
    info.metadata[3].second = "2";
    EXPECT_EQ(model_files::recognizerMetadataProblem("m", info, true), "");
    info.metadata[7].second = "4294967296"; // 0 to the library
    EXPECT_NE(model_files::recognizerMetadataProblem("m", info, true).find("not a positive length"),
        std::string::npos);
    info.metadata[7].second = std::string("\0"
                                          "45",
        3); // empty to the library
    EXPECT_EQ(model_files::recognizerMetadataProblem("m", info, true), "m: the model metadata has no 'T'");
}

} // namespace
