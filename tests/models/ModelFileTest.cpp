#include "models/ModelFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace mf = ombrix::extensions::sherpa::model_files;

namespace {

const std::string kEnglishVoice = "en_GB/vits-piper-en_GB-southern_english_female-low";
const std::string kGermanVoice = "de_DE/vits-piper-de_DE-quorvane-low";
const std::string kSttModel = "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort";

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "ombrix-modelfile-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~ScratchDirectory() { fs::remove_all(path); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    fs::path path;
};

std::string expectMessage(const char* linkPath, const std::string& language)
{
    try {
        mf::voicePathFromLink(linkPath, language, mf::VoiceFile::Model);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no exception>";
}

} // namespace

TEST(ModelFile, DerivesEveryPathFromTheParentOfTheExecutablesDirectory)
{
    const std::string exe = "/opt/app/bin/player";
    EXPECT_EQ(mf::baseDirectoryFromExecutablePath(exe), fs::path("/opt/app"));
    EXPECT_EQ(mf::speechToTextPath(exe, mf::kSpeechToTextGraphFile), "/opt/app/share/files/HLG.fst");
    EXPECT_EQ(mf::speechToTextPath(exe, mf::kSpeechToTextModelFile), "/opt/app/share/files/" + kSttModel);
    EXPECT_EQ(mf::speechToTextPath(exe, mf::kSpeechToTextTokensFile), "/opt/app/share/files/tokens.txt");

    const mf::VoiceLocation* german = mf::findVoice("de");
    ASSERT_NE(german, nullptr);
    EXPECT_EQ(mf::voicePath(exe, *german, mf::kVoiceDataDirectory),
        "/opt/app/share/files/" + kGermanVoice + "/espeak-ng-data");
    EXPECT_EQ(mf::voicePath(exe, *german, german->modelFile),
        "/opt/app/share/files/" + kGermanVoice + "/de_DE-quorvane-low.with_runtime_opt.ort");
    const mf::VoiceLocation* english = mf::findVoice("en");
    ASSERT_NE(english, nullptr);
    EXPECT_EQ(mf::voicePath(exe, *english, english->modelFile),
        "/opt/app/share/files/" + kEnglishVoice + "/en_GB-southern_english_female-low.with_runtime_opt.ort");
    EXPECT_EQ(mf::voicePath(exe, *english, mf::kVoiceTokensFile),
        "/opt/app/share/files/" + kEnglishVoice + "/tokens.txt");

    // Directly under the root: removing a component from "/" leaves "/".
    EXPECT_EQ(mf::speechToTextPath("/player", mf::kSpeechToTextTokensFile), "/share/files/tokens.txt");
    // Lexical only: ".." and links are kept as written.
    EXPECT_EQ(
        mf::speechToTextPath("/a/../b/bin/x", mf::kSpeechToTextGraphFile), "/a/../b/share/files/HLG.fst");
}

TEST(ModelFile, OnlyTheExactKeysEnAndDeHaveVoicesAndOthersNeverReadTheLink)
{
    const char* unreadable = "/nonexistent/ombrix/exe-link";
    const std::vector<std::string> unknownLanguages{
        "en_GB", "EN", "de-DE", "fr", "", " en", "en ", "e", std::string("en\0", 3)};
    for (const std::string& language : unknownLanguages) {
        EXPECT_EQ(mf::findVoice(language), nullptr) << '"' << language << '"';
        for (const auto file : {mf::VoiceFile::Model, mf::VoiceFile::Tokens, mf::VoiceFile::DataDirectory}) {
            std::string path = "<threw>";
            EXPECT_NO_THROW(path = mf::voicePathFromLink(unreadable, language, file)) << language;
            EXPECT_EQ(path, "") << language;
        }
        EXPECT_EQ(getTTSModelFilePath(language), "");
        EXPECT_EQ(getTTSTokensFilePath(language), "");
        EXPECT_EQ(getTTSDataDirPath(language), "");
    }
    // A known language does read the link, and an unreadable one throws.
    EXPECT_EQ(expectMessage(unreadable, "en"), "Failed to get executable path.");
    EXPECT_EQ(expectMessage(unreadable, "de"), "Failed to get executable path.");
}

TEST(ModelFile, ReadsTheLinkTargetCutToItsFirst1023Bytes)
{
    ScratchDirectory scratch;
    const fs::path shortLink = scratch.path / "short";
    fs::create_symlink("/opt/app/bin/player", shortLink);
    EXPECT_EQ(mf::readExecutableLink(shortLink.c_str()), "/opt/app/bin/player");

    // Link targets need not exist, so any length up to the system limit can be made.
    std::string longTarget = "/";
    while (longTarget.size() < 1500) {
        longTarget += std::string(99, static_cast<char>('a' + longTarget.size() % 26)) + "/";
    }
    longTarget += "bin/player";
    const fs::path longLink = scratch.path / "long";
    fs::create_symlink(longTarget, longLink);
    const std::string text = mf::readExecutableLink(longLink.c_str());
    EXPECT_EQ(text.size(), 1023u);
    EXPECT_EQ(text, longTarget.substr(0, 1023));

    const std::string exactTarget = "/" + std::string(1022, 'x');
    const fs::path exactLink = scratch.path / "exact";
    fs::create_symlink(exactTarget, exactLink);
    EXPECT_EQ(mf::readExecutableLink(exactLink.c_str()), exactTarget) << "1023 bytes fit whole";

    // Not a link, and nothing at all.
    const fs::path plainFile = scratch.path / "plain";
    {
        std::ofstream{plainFile};
    }
    EXPECT_THROW(mf::readExecutableLink(plainFile.c_str()), std::runtime_error);
    EXPECT_THROW(mf::readExecutableLink((scratch.path / "missing").c_str()), std::runtime_error);
}

TEST(ModelFile, PublicFunctionsFollowThisProcesssExecutable)
{
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    const fs::path files = exe.parent_path().parent_path() / "share" / "files";
    EXPECT_EQ(getModelFilePath(), (files / kSttModel).string());
    EXPECT_EQ(getTokensFilePath(), (files / "tokens.txt").string());
    EXPECT_EQ(getGraphFilePath(), (files / "HLG.fst").string());
    EXPECT_EQ(getTTSModelFilePath("en"),
        (files / kEnglishVoice / "en_GB-southern_english_female-low.with_runtime_opt.ort").string());
    EXPECT_EQ(getTTSTokensFilePath("de"), (files / kGermanVoice / "tokens.txt").string());
    EXPECT_EQ(getTTSDataDirPath("en"), (files / kEnglishVoice / "espeak-ng-data").string());
    EXPECT_NE(getTokensFilePath(), getTTSTokensFilePath("en")) << "same leaf name, different directory";
}
