// The installation as a user gets it: `cmake --install` of this build tree into a scratch
// prefix, used from there (and from wherever it is moved) with a clean environment;
// scripts/install-voice.sh filling in the voice from a local archive; and the host
// program shown in README.md built against the installed headers.

#include "SpeakToolSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kGraphRate = 48000;
// Largest difference allowed between the file and the reference: 16-bit quantisation
// (3e-5), and the resampler's pre-ringing, which is missing from the file when a piece is
// ready before the graph's first block (1.4e-3 for the synthetic voice, whose pieces all
// begin with the same burst). The blockwise resampler otherwise matches a one-shot
// conversion exactly; a lost, repeated or misplaced block differs by 0.1 or more.
constexpr double kResampledTolerance = 2e-3;
constexpr std::size_t kProbeFrames = 4800;
constexpr const char* kVoiceName = "vits-piper-en_GB-southern_english_female-low";

const std::vector<std::string> kInstalledLibraries
    = {"libOmbrixSherpa.so", "libOmbrixSDK.so", "libsherpa-onnx-c-api.so", "libonnxruntime.so"};

SubprocessResult cmakeInstall(const fs::path& prefix, const std::vector<std::string>& extra = {})
{
    std::vector<std::string> arguments = {"--install", OMBRIX_BUILD_DIR, "--prefix", prefix.string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return runSubprocess(OMBRIX_CMAKE_COMMAND, withArguments(arguments));
}

// Runs a program of an installation the way a user would: no LD_LIBRARY_PATH, started
// from an unrelated directory.
SubprocessResult runInstalled(
    const fs::path& program, const std::vector<std::string>& arguments, const fs::path& workingDirectory)
{
    SubprocessOptions options = withArguments(arguments);
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    options.workingDirectory = workingDirectory.string();
    return runSubprocess(program.string(), options);
}

SubprocessResult installVoice(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all = {std::string(OMBRIX_SOURCE_DIR) + "/scripts/install-voice.sh"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return runSubprocess("/bin/bash", withArguments(all));
}

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// Checks that `wavPath` holds the engine's samples for `text` spoken with `voice`.
void expectSpoken(
    const fs::path& wavPath, const std::string& status, const VoicePaths& voice, const std::string& text)
{
    WavData wav;
    std::string error;
    ASSERT_TRUE(readWav(wavPath.string(), wav, &error)) << error;
    ASSERT_EQ(wav.sampleRate, kGraphRate);
    ASSERT_EQ(wav.channels.size(), 2u);
    const SpeakTimeline timeline = parseTimeline(status);
    ASSERT_EQ(timeline.pieces.size(), 1u) << status;
    EXPECT_EQ(timeline.pieces[0].end, SpokenPiece::End::Finished);
    const std::vector<float> reference = resampleFrom16k(engineSamples(voice, text), kGraphRate);
    ASSERT_FALSE(reference.empty());
    const auto at = [](double seconds) { return static_cast<std::ptrdiff_t>(seconds * kGraphRate); };
    const Placement placement
        = placeReference(wav.channels[0], reference, at(timeline.pieces[0].startedSeconds - 0.05),
            at(timeline.pieces[0].playingSeconds + 0.05), 0, reference.size(), kProbeFrames);
    EXPECT_LT(placement.maxError, kResampledTolerance) << "offset " << placement.offset;
}

// Lines "library: <path>" that the program printed for --show-libraries.
std::vector<std::string> listedLibraries(const std::string& standardOutput)
{
    std::vector<std::string> paths;
    std::istringstream lines(standardOutput);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("library: ", 0) == 0) {
            paths.push_back(line.substr(9));
        }
    }
    return paths;
}

TEST(InstalledTool, SpeaksFromAMovedPrefixWithoutLibraryPath)
{
    ScratchDirectory scratch;
    const fs::path installed = scratch.path() / "installed";
    const auto install = cmakeInstall(installed);
    ASSERT_TRUE(install.succeeded()) << install.describe() << install.standardOutput;
    const auto voices = cmakeInstall(installed, {"--component", "test-voices"});
    ASSERT_TRUE(voices.succeeded()) << voices.describe() << voices.standardOutput;

    for (const auto& library : kInstalledLibraries) {
        EXPECT_TRUE(fs::is_regular_file(installed / "lib" / library)) << library;
    }
    EXPECT_TRUE(fs::is_regular_file(installed / "bin" / "ombrix-speak"));
    EXPECT_TRUE(fs::is_regular_file(installed / "include" / "ombrix" / "Ombrix.h"));
    EXPECT_TRUE(fs::is_regular_file(installed / "include" / "ombrix" / "GraphRunner.h"));
    const VoicePaths installedVoice = defaultVoiceBelow(installed);
    EXPECT_TRUE(fs::is_regular_file(installedVoice.model));
    EXPECT_TRUE(fs::is_regular_file(fs::path(installedVoice.model).parent_path() / "TEST-VOICE.txt"));
    EXPECT_TRUE(fs::is_directory(installed / "share" / "files" / "de_DE" / "vits-piper-de_DE-quorvane-low"));

    // Everything must be found relative to the program, wherever the prefix ends up.
    const fs::path moved = scratch.path() / "elsewhere" / "prefix";
    fs::create_directories(moved.parent_path());
    fs::rename(installed, moved);
    const fs::path movedReal = fs::canonical(moved);
    const fs::path work = scratch.path() / "work";
    fs::create_directories(work);
    const std::string text = "Hello there.";
    const auto run
        = runInstalled(moved / "bin" / "ombrix-speak", {"--show-libraries", "-o", "out.wav", text}, work);
    ASSERT_TRUE(run.succeeded()) << run.describe();
    EXPECT_NE(run.standardError.find("plug-in: " + (movedReal / "lib" / "libOmbrixSherpa.so").string()),
        std::string::npos)
        << run.standardError;
    EXPECT_NE(run.standardError.find("synthetic test voice"), std::string::npos);
    const std::vector<std::string> libraries = listedLibraries(run.standardError);
    EXPECT_EQ(libraries.size(), kInstalledLibraries.size()) << run.standardError;
    for (const auto& library : libraries) {
        EXPECT_EQ(fs::path(library).parent_path(), movedReal / "lib")
            << library << " was loaded from outside";
    }
    expectSpoken(work / "out.wav", run.standardError, defaultVoiceBelow(moved), text);
}

TEST(InstalledTool, StopsWithAClearMessageWhenTheInstallationHasNoUsableVoice)
{
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "bare";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    fs::remove_all(prefix / "share");
    const fs::path tool = prefix / "bin" / "ombrix-speak";

    // Nothing there: the message names the exact file looked for and how to get a voice.
    const auto missing = runInstalled(tool, {"-o", "out.wav", "Hello."}, scratch.path());
    EXPECT_EQ(missing.exitCode, 3) << missing.describe();
    const std::string expectedPath = defaultVoiceBelow(fs::canonical(prefix)).model;
    EXPECT_NE(missing.standardError.find(expectedPath), std::string::npos) << missing.standardError;
    const fs::path installer = fs::canonical(prefix) / "bin" / "ombrix-install-voice";
    EXPECT_NE(missing.standardError.find(installer.string() + " --prefix " + fs::canonical(prefix).string()),
        std::string::npos)
        << missing.standardError;
    EXPECT_TRUE(fs::is_regular_file(installer));
    EXPECT_NE(missing.standardError.find("--model"), std::string::npos);
    EXPECT_FALSE(fs::exists(scratch.path() / "out.wav"));

    // All three parts there, but phoneme data the engine refuses: the node cannot load
    // the voice and drops the text, and the program ends at once instead of waiting.
    const VoicePaths broken = defaultVoiceBelow(prefix);
    const VoicePaths good = defaultVoiceBelow(OMBRIX_BUILD_DIR);
    fs::create_directories(broken.dataDir);
    fs::copy_file(good.model, broken.model);
    fs::copy_file(good.tokens, broken.tokens);
    const auto refused = runInstalled(tool, {"-o", "out.wav", "Hello."}, scratch.path());
    EXPECT_EQ(refused.exitCode, 3) << refused.describe();
    EXPECT_NE(refused.standardError.find("has no voice loaded and dropped the text"), std::string::npos)
        << refused.standardError;
}

// An archive laid out like the published one, made from the synthetic voice in its ONNX form.
fs::path makeVoiceArchive(const fs::path& directory, const std::string& name, bool withTokens)
{
    const VoicePaths voice = fixtureVoice();
    const fs::path stage = directory / ("stage-" + name);
    const fs::path top = stage / kVoiceName;
    fs::create_directories(top);
    fs::copy_file(voice.model, top / "en_GB-southern_english_female-low.onnx");
    if (withTokens) {
        fs::copy_file(voice.tokens, top / "tokens.txt");
    }
    fs::copy(voice.dataDir, top / "espeak-ng-data", fs::copy_options::recursive);
    const fs::path archive = directory / name;
    const auto tar
        = runSubprocess("tar", withArguments({"-cjf", archive.string(), "-C", stage.string(), kVoiceName}));
    if (!tar.succeeded()) {
        ADD_FAILURE() << "tar: " << tar.describe();
    }
    return archive;
}

TEST(InstallVoiceScript, InstallsAnArchivedVoiceAndNeverHalfOfOne)
{
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "prefix";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    const fs::path voiceDirectory = prefix / "share" / "files" / "en_GB" / kVoiceName;

    // No way to download: a clear message, and nothing installed.
    const auto offline
        = installVoice({"--prefix", prefix.string(), "--url", "http://127.0.0.1:1/voice.tar.bz2"});
    EXPECT_FALSE(offline.succeeded());
    EXPECT_NE(
        offline.standardError.find("cannot download http://127.0.0.1:1/voice.tar.bz2"), std::string::npos)
        << offline.standardError;
    EXPECT_NE(offline.standardError.find("--archive"), std::string::npos);
    EXPECT_FALSE(fs::exists(voiceDirectory));

    const fs::path archive = makeVoiceArchive(scratch.path(), "voice.tar.bz2", true);
    const auto installed = installVoice({"--prefix", prefix.string(), "--archive", archive.string()});
    ASSERT_TRUE(installed.succeeded()) << installed.describe();
    const std::string model
        = readFile(voiceDirectory / "en_GB-southern_english_female-low.with_runtime_opt.ort");
    ASSERT_GE(model.size(), 8u);
    EXPECT_EQ(model.substr(4, 4), "ORTM") << "the model was not converted to ORT format";
    EXPECT_EQ(readFile(voiceDirectory / "tokens.txt"), readFile(fixtureVoice().tokens));
    EXPECT_TRUE(fs::is_regular_file(voiceDirectory / "espeak-ng-data" / "phondata"));
    EXPECT_NE(readFile(voiceDirectory / "VOICE-SOURCE.txt").find(archive.string()), std::string::npos);

    // The test voices never replace a voice installed this way.
    const auto testVoices = cmakeInstall(prefix, {"--component", "test-voices"});
    ASSERT_TRUE(testVoices.succeeded()) << testVoices.describe();
    EXPECT_NE(testVoices.standardOutput.find("Keeping the voice"), std::string::npos)
        << testVoices.standardOutput;
    EXPECT_FALSE(fs::exists(voiceDirectory / "TEST-VOICE.txt"));
    EXPECT_EQ(readFile(voiceDirectory / "en_GB-southern_english_female-low.with_runtime_opt.ort"), model);

    // A broken archive fails and leaves the installed voice as it was.
    const std::string source = readFile(voiceDirectory / "VOICE-SOURCE.txt");
    const fs::path broken = makeVoiceArchive(scratch.path(), "broken.tar.bz2", false);
    const auto refused = installVoice({"--prefix", prefix.string(), "--archive", broken.string()});
    EXPECT_FALSE(refused.succeeded());
    EXPECT_NE(refused.standardError.find("tokens.txt"), std::string::npos) << refused.standardError;
    EXPECT_EQ(readFile(voiceDirectory / "VOICE-SOURCE.txt"), source);
    std::vector<std::string> leftovers;
    for (const auto& entry : fs::directory_iterator(voiceDirectory.parent_path())) {
        leftovers.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(leftovers, std::vector<std::string>{kVoiceName}) << "staging directories were left behind";

    // A build tree is refused: its default voices are the tests' synthetic ones.
    const fs::path buildTree = scratch.path() / "build-like";
    fs::create_directories(buildTree);
    std::ofstream(buildTree / "CMakeCache.txt") << "# a build tree\n";
    const auto intoBuild = installVoice({"--prefix", buildTree.string(), "--archive", archive.string()});
    EXPECT_FALSE(intoBuild.succeeded());
    EXPECT_NE(intoBuild.standardError.find("build tree"), std::string::npos) << intoBuild.standardError;
    EXPECT_FALSE(fs::exists(buildTree / "share"));

    // The installed voice speaks (the ORT conversion gives the ONNX model's samples).
    const std::string text = "Good morning.";
    const auto run = runInstalled(prefix / "bin" / "ombrix-speak", {"-o", "out.wav", text}, scratch.path());
    ASSERT_TRUE(run.succeeded()) << run.describe();
    EXPECT_EQ(run.standardError.find("synthetic test voice"), std::string::npos);
    expectSpoken(scratch.path() / "out.wav", run.standardError, fixtureVoice(), text);
}

// The host program in README.md, between its host-example markers, compiled against the
// installed headers and library only.
std::string readmeHostProgram()
{
    const std::string readme = readFile(fs::path(OMBRIX_SOURCE_DIR) / "README.md");
    const std::string marker = "<!-- host-example -->";
    const std::string fence = "```cpp\n";
    const std::size_t at = readme.find(marker);
    const std::size_t begin = at == std::string::npos ? at : readme.find(fence, at);
    const std::size_t end = begin == std::string::npos ? begin : readme.find("```", begin + fence.size());
    if (end == std::string::npos) {
        return {};
    }
    return readme.substr(begin + fence.size(), end - begin - fence.size());
}

TEST(InstalledHeaders, TheReadmeHostProgramBuildsAgainstAnInstallationAndSpeaks)
{
    const std::string program = readmeHostProgram();
    ASSERT_FALSE(program.empty()) << "README.md has no host example block";
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "prefix";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    ASSERT_TRUE(cmakeInstall(prefix, {"--component", "test-voices"}).succeeded());
    const fs::path source = scratch.path() / "host.cpp";
    std::ofstream(source) << program;
    const fs::path binary = prefix / "bin" / "hello-host";
    std::vector<std::string> compileArguments
        = {"-std=c++20", "-Wall", "-Werror", "-I", (prefix / "include").string(), source.string(), "-o",
            binary.string(), "-L", (prefix / "lib").string(), "-lOmbrixSDK", "-Wl,-rpath,$ORIGIN/../lib"};
    if (const std::string sanitize = OMBRIX_HOST_PROGRAM_SANITIZE; !sanitize.empty()) {
        // A sanitizer build: the program takes the sanitizer (and its suppressions for
        // the prebuilt libraries) of the libraries it links.
        compileArguments.insert(compileArguments.end(),
            {sanitize, std::string(OMBRIX_SOURCE_DIR) + "/tests/sanitizers/SanitizerDefaults.cpp",
                std::string("-DOMBRIX_SANITIZER_SUPPRESSIONS_DIR=\"") + OMBRIX_SANITIZER_SUPPRESSIONS_DIR
                    + "\""});
    }
    const auto compile = runSubprocess(OMBRIX_CXX_COMPILER, withArguments(compileArguments));
    ASSERT_TRUE(compile.succeeded()) << compile.describe();

    const auto run = runInstalled(binary, {(prefix / "lib" / "libOmbrixSherpa.so").string()}, scratch.path());
    ASSERT_TRUE(run.succeeded()) << run.describe();
    WavData wav;
    std::string error;
    ASSERT_TRUE(readWav((scratch.path() / "hello.wav").string(), wav, &error)) << error;
    ASSERT_FALSE(wav.channels.empty());
    EXPECT_GT(energy(wav.channels[0], 0, wav.channels[0].size()), 1.0) << "the host program wrote silence";
}

} // namespace
} // namespace ombrix::testing
