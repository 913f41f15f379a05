// Runs ModelPathProbe from chosen install locations in a fresh process, so the paths come
// from the real /proc/self/exe of an executable placed there.

#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;

namespace {

const std::string kEnglishVoice = "en_GB/vits-piper-en_GB-southern_english_female-low";
const std::string kGermanVoice = "de_DE/vits-piper-de_DE-quorvane-low";

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "ombrix-probe-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = fs::canonical(pattern); // the kernel reports the resolved path
    }
    ~ScratchDirectory() { fs::remove_all(path); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    fs::path path;
};

fs::path installProbeAt(const fs::path& executable)
{
    fs::create_directories(executable.parent_path());
    fs::copy_file(OMBRIX_MODEL_PATH_PROBE, executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all);
    return executable;
}

using Paths = std::map<std::string, std::string>;

Paths runProbe(const fs::path& program, const std::vector<std::string>& languages = {})
{
    SubprocessOptions options;
    options.arguments = languages;
    const auto result = runSubprocess(program.string(), options);
    EXPECT_TRUE(result.succeeded()) << result.describe();
    Paths paths;
    std::istringstream lines(result.standardOutput);
    std::string line;
    while (std::getline(lines, line)) {
        const auto split = line.find('=');
        if (split != std::string::npos) {
            paths[line.substr(0, split)] = line.substr(split + 1);
        }
    }
    return paths;
}

Paths expectedPaths(const std::string& base)
{
    const std::string files = base + (base.ends_with('/') ? "" : "/") + "share/files/";
    return {
        {"model", files + "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort"},
        {"tokens", files + "tokens.txt"},
        {"graph", files + "HLG.fst"},
        {"tts-model[en]", files + kEnglishVoice + "/en_GB-southern_english_female-low.with_runtime_opt.ort"},
        {"tts-tokens[en]", files + kEnglishVoice + "/tokens.txt"},
        {"tts-data[en]", files + kEnglishVoice + "/espeak-ng-data"},
        {"tts-model[de]", files + kGermanVoice + "/de_DE-quorvane-low.with_runtime_opt.ort"},
        {"tts-tokens[de]", files + kGermanVoice + "/tokens.txt"},
        {"tts-data[de]", files + kGermanVoice + "/espeak-ng-data"},
    };
}

} // namespace

TEST(ModelPathProbe, PathsFollowTheInstalledExecutableWhetherOrNotTheFilesExist)
{
    ScratchDirectory scratch;
    const fs::path app = scratch.path / "opt" / "app";
    const fs::path player = installProbeAt(app / "bin" / "player");

    const Paths beforeFilesExist = runProbe(player);
    EXPECT_EQ(beforeFilesExist, expectedPaths(app.string()));

    fs::create_directories(app / "share" / "files" / kEnglishVoice / "espeak-ng-data");
    for (const char* name : {"tokens.txt", "HLG.fst"}) {
        std::ofstream(app / "share" / "files" / name) << "x";
    }
    EXPECT_EQ(runProbe(player), beforeFilesExist);

    // Unknown languages give empty text-to-speech paths, the speech-to-text ones regardless.
    const Paths unknown = runProbe(player, {"fr", "en_GB", ""});
    EXPECT_EQ(unknown.at("graph"), beforeFilesExist.at("graph"));
    for (const char* language : {"fr", "en_GB", ""}) {
        const std::string key = std::string("[") + language + "]";
        EXPECT_EQ(unknown.at("tts-model" + key), "");
        EXPECT_EQ(unknown.at("tts-tokens" + key), "");
        EXPECT_EQ(unknown.at("tts-data" + key), "");
    }
}

TEST(ModelPathProbe, AStartingSymlinkDoesNotMoveTheBaseDirectory)
{
    ScratchDirectory scratch;
    const fs::path app = scratch.path / "opt" / "app";
    const fs::path player = installProbeAt(app / "bin" / "player");
    fs::create_directories(scratch.path / "usr" / "local" / "bin");
    const fs::path launcher = scratch.path / "usr" / "local" / "bin" / "player";
    fs::create_symlink(player, launcher);

    // /proc/self/exe names the real file, not the link the process was started through.
    EXPECT_EQ(runProbe(launcher), expectedPaths(app.string()));
}

TEST(ModelPathProbe, AnExecutablePathLongerThan1023BytesIsUsedCut)
{
    ScratchDirectory scratch;
    fs::path directory = scratch.path;
    while (directory.string().size() < 1100) {
        directory /= std::string(200, static_cast<char>('a' + directory.string().size() % 26));
    }
    const fs::path player = installProbeAt(directory / "bin" / "player");
    const std::string full = player.string();
    ASSERT_GT(full.size(), 1023u);

    // The probe sees the first 1023 bytes; its base is that text minus two components.
    const std::string cut = full.substr(0, 1023);
    ASSERT_NE(cut.back(), '/');
    const std::string parent = cut.substr(0, cut.rfind('/'));
    const std::string base = parent.substr(0, parent.rfind('/'));
    EXPECT_EQ(runProbe(player, {"en"}).at("tokens"), base + "/share/files/tokens.txt");
}
