// The installation as a user gets it: `cmake --install` of this build tree into a scratch
// prefix, used from there (and from wherever it is moved) with a clean environment;
// scripts/install-voice.sh filling in the voice from a local archive; and the host
// program shown in README.md built against a moved installation with its CMake package
// configuration and with its pkg-config files; every shell command README.md shows, run
// against an installation; the manual pages and the notices an installation ships.

#include "SpeakToolSupport.h"
#include "TestSignals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
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

// A directory of links to every program of /usr/bin and /bin except Node.js and npm: the
// PATH of a machine that has no Node.js.
const fs::path& pathWithoutNode()
{
    static ScratchDirectory directory;
    static const bool filled = [] {
        for (const char* system : {"/usr/bin", "/bin"}) {
            for (const auto& entry : fs::directory_iterator(system)) {
                const std::string name = entry.path().filename().string();
                std::error_code ignored;
                if (name.rfind("node", 0) != 0 && name.rfind("npm", 0) != 0 && name.rfind("npx", 0) != 0
                    && name != "corepack") {
                    fs::create_symlink(entry.path(), directory.path() / name, ignored);
                }
            }
        }
        return true;
    }();
    (void)filled;
    return directory.path();
}

// Runs the voice installer from the source tree, on a PATH without Node.js.
SubprocessResult installVoice(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all = {std::string(OMBRIX_SOURCE_DIR) + "/scripts/install-voice.sh"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    SubprocessOptions options = withArguments(all);
    options.environment["PATH"] = pathWithoutNode().string();
    return runSubprocess("/bin/bash", options);
}

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The verdicts the installers stored in the prefix's store.
std::size_t storedVerdicts(const fs::path& prefix)
{
    const fs::path store = prefix / "var" / "lib" / "ombrix-sherpa" / "verdicts";
    std::size_t count = 0;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(store, ignored)) {
        count += entry.path().extension() == ".verdict" ? 1 : 0;
    }
    return count;
}

// Puts a script in place of the installation's checker that notes each run in `log` and
// runs the real one: how a test sees whether a program had its files checked.
void recordCheckerRuns(const fs::path& prefix, const fs::path& log)
{
    const fs::path checker = prefix / "lib" / "ombrix-sherpa-check";
    const fs::path real = prefix / "lib" / "ombrix-sherpa-check.real";
    if (!fs::exists(real)) {
        fs::rename(checker, real);
    }
    std::ofstream(checker) << "#!/bin/sh\necho \"$*\" >> '" << log.string() << "'\nexec '" << real.string()
                           << "' \"$@\"\n";
    fs::permissions(checker,
        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec);
}

// Runs an installed program as a user's first start after the installation: verdicts
// persist (the test suite otherwise turns that off), with an empty per-user store.
SubprocessResult runFirstStart(const fs::path& program, const std::vector<std::string>& arguments,
    const fs::path& workingDirectory, const fs::path& cacheHome)
{
    SubprocessOptions options = withArguments(arguments);
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    options.environment["OMBRIX_SHERPA_PERSIST_VERDICTS"] = std::nullopt;
    options.environment["XDG_CACHE_HOME"] = cacheHome.string();
    options.workingDirectory = workingDirectory.string();
    return runSubprocess(program.string(), options);
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

    // The installed voice speaks (the ORT conversion gives the ONNX model's samples), as
    // the default voice at the first start after the installation without a check.
    const fs::path checkerLog = scratch.path() / "checker-runs.log";
    recordCheckerRuns(prefix, checkerLog);
    const std::string text = "Good morning.";
    const auto run = runFirstStart(
        prefix / "bin" / "ombrix-speak", {"-o", "out.wav", text}, scratch.path(), scratch.path() / "cache");
    ASSERT_TRUE(run.succeeded()) << run.describe();
    EXPECT_FALSE(fs::exists(checkerLog)) << readFile(checkerLog);
    EXPECT_EQ(run.standardError.find("synthetic test voice"), std::string::npos);
    expectSpoken(scratch.path() / "out.wav", run.standardError, fixtureVoice(), text);
}

// An archive with the published name and file list of a sherpa-onnx piper voice
// (vits-piper-<lang>_<REGION>-<name>-<quality>/: the ONNX model, its .onnx.json, tokens.txt,
// MODEL_CARD and espeak-ng-data/), made from the synthetic voice `voice`.
fs::path makePublishedVoiceArchive(
    const fs::path& directory, const std::string& voiceName, const VoicePaths& voice, int sampleRate)
{
    const std::string stem = voiceName.substr(std::string("vits-piper-").size());
    const fs::path stage = directory / ("stage-" + voiceName);
    const fs::path top = stage / voiceName;
    fs::create_directories(top);
    fs::copy_file(voice.model, top / (stem + ".onnx"));
    fs::copy_file(voice.tokens, top / "tokens.txt");
    fs::copy(voice.dataDir, top / "espeak-ng-data", fs::copy_options::recursive);
    std::ofstream(top / (stem + ".onnx.json"))
        << "{\n  \"audio\": {\n    \"sample_rate\": " << sampleRate
        << ",\n    \"quality\": \"low\"\n  },\n  \"num_speakers\": 1,\n  \"language\": {\n    \"code\": \""
        << stem.substr(0, stem.find('-')) << "\"\n  }\n}\n";
    std::ofstream(top / "MODEL_CARD") << "# Model card for " << stem << "\n\n* License: CC0 1.0 Universal\n";
    const fs::path archive = directory / (voiceName + ".tar.bz2");
    const auto tar
        = runSubprocess("tar", withArguments({"-cjf", archive.string(), "-C", stage.string(), voiceName}));
    if (!tar.succeeded()) {
        ADD_FAILURE() << "tar: " << tar.describe();
    }
    return archive;
}

TEST(InstallVoiceScript, InstallsAnyPublishedPiperVoiceListsItAndSpeaksItByName)
{
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "prefix";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    fs::remove_all(prefix / "share" / "files");
    const fs::path files = prefix / "share" / "files";
    const std::string english = "vits-piper-en_US-amy-low";
    const std::string german = "vits-piper-de_DE-thorsten-low";
    const fs::path fixtures = OMBRIX_FIXTURES_DIR;
    const VoicePaths germanFixture = {(fixtures / "voice-de" / "model.onnx").string(),
        (fixtures / "voice-de" / "tokens.txt").string(), (fixtures / "voice-de" / "espeak-ng-data").string()};

    const auto amy = installVoice({"--prefix", prefix.string(), "--archive",
        makePublishedVoiceArchive(scratch.path(), english, fixtureVoice(), 16000).string()});
    ASSERT_TRUE(amy.succeeded()) << amy.describe();
    const fs::path amyDirectory = files / "voices" / english;
    EXPECT_EQ(readFile(amyDirectory / "en_US-amy-low.with_runtime_opt.ort").substr(4, 4), "ORTM");
    for (const char* kept : {"tokens.txt", "en_US-amy-low.onnx.json", "MODEL_CARD", "VOICE-SOURCE.txt"}) {
        EXPECT_TRUE(fs::is_regular_file(amyDirectory / kept)) << kept;
    }
    const std::string manifest = readFile(amyDirectory / "voice.json");
    for (const char* field :
        {"\"name\": \"vits-piper-en_US-amy-low\"", "\"language\": \"en_US\"", "\"sample_rate\": 16000",
            "\"speakers\": 1", "\"licence\": \"CC0 1.0 Universal\"", "\"size\": "}) {
        EXPECT_NE(manifest.find(field), std::string::npos) << field << " in\n" << manifest;
    }
    // Not the default English voice, and not asked to be: the default place stays empty.
    EXPECT_FALSE(fs::exists(files / "en_GB"));
    // Checked before it was moved into place, and its verdict stored for the first start.
    EXPECT_NE(amy.standardOutput.find("checking " + english), std::string::npos) << amy.standardOutput;
    EXPECT_GE(storedVerdicts(prefix), 1u);

    // The German voice as the default German voice: both places, one shared phoneme tree
    // covering both languages.
    const auto thorsten = installVoice({"--prefix", prefix.string(), "--as-default", "--archive",
        makePublishedVoiceArchive(scratch.path(), german, germanFixture, 16000).string()});
    ASSERT_TRUE(thorsten.succeeded()) << thorsten.describe();
    EXPECT_TRUE(fs::is_regular_file(
        files / "de_DE" / "vits-piper-de_DE-quorvane-low" / "de_DE-quorvane-low.with_runtime_opt.ort"));
    EXPECT_TRUE(fs::is_regular_file(files / "espeak-ng-data" / "en_dict"));
    EXPECT_TRUE(fs::is_regular_file(files / "espeak-ng-data" / "de_dict"));

    const auto listed = installVoice({"--prefix", prefix.string(), "--list"});
    ASSERT_TRUE(listed.succeeded()) << listed.describe();
    EXPECT_EQ(listed.standardOutput,
        german + "\tde_DE\t16000 Hz\t1 speaker(s)\n" + english + "\ten_US\t16000 Hz\t1 speaker(s)\n");
    const fs::path speak = prefix / "bin" / "ombrix-speak";
    const auto voices = runInstalled(speak, {"--list-voices"}, scratch.path());
    ASSERT_TRUE(voices.succeeded()) << voices.describe();
    EXPECT_EQ(voices.standardOutput, german + "\tde_DE\t16000 Hz\n" + english + "\ten_US\t16000 Hz\n");

    // Spoken by name, each with its own model's samples, at the first start after the
    // installation without a check: the installer's verdicts serve.
    const fs::path checkerLog = scratch.path() / "checker-runs.log";
    recordCheckerRuns(prefix, checkerLog);
    const std::string text = "Good morning.";
    const auto byName = runFirstStart(
        speak, {"--voice", english, "-o", "amy.wav", text}, scratch.path(), scratch.path() / "c1");
    ASSERT_TRUE(byName.succeeded()) << byName.describe();
    expectSpoken(scratch.path() / "amy.wav", byName.standardError, fixtureVoice(), text);
    const std::string germanText = "Guten Morgen.";
    const auto inGerman = runFirstStart(
        speak, {"--voice", german, "-o", "thorsten.wav", germanText}, scratch.path(), scratch.path() / "c2");
    ASSERT_TRUE(inGerman.succeeded()) << inGerman.describe();
    expectSpoken(scratch.path() / "thorsten.wav", inGerman.standardError, germanFixture, germanText);
    EXPECT_FALSE(fs::exists(checkerLog)) << readFile(checkerLog);
    // Without the installation's store the same start checks the files.
    fs::remove_all(prefix / "var" / "lib" / "ombrix-sherpa" / "verdicts");
    const auto cleared = runFirstStart(
        speak, {"--voice", english, "-o", "amy2.wav", text}, scratch.path(), scratch.path() / "c3");
    ASSERT_TRUE(cleared.succeeded()) << cleared.describe();
    EXPECT_NE(readFile(checkerLog).find("tts"), std::string::npos) << "the files were not checked";
    fs::rename(prefix / "lib" / "ombrix-sherpa-check.real", prefix / "lib" / "ombrix-sherpa-check");
    // Installed again, so that a refused archive below has verdicts to leave alone.
    ASSERT_TRUE(installVoice(
        {"--prefix", prefix.string(), "--archive", (scratch.path() / (english + ".tar.bz2")).string()})
                    .succeeded());
    EXPECT_GE(storedVerdicts(prefix), 1u);

    // An unknown name lists what is there.
    const auto unknown
        = runInstalled(speak, {"--voice", "vits-piper-fr_FR-nobody-low", "hi"}, scratch.path());
    EXPECT_EQ(unknown.exitCode, 3) << unknown.describe();
    EXPECT_NE(unknown.standardError.find("  " + english), std::string::npos) << unknown.standardError;

    // An archive of another kind is refused with what is supported, and nothing changes.
    const fs::path other = scratch.path() / "stage-other" / "vits-coqui-en-ljspeech";
    fs::create_directories(other);
    std::ofstream(other / "model.onnx") << "not a piper voice";
    const fs::path otherArchive = scratch.path() / "vits-coqui-en-ljspeech.tar.bz2";
    ASSERT_TRUE(runSubprocess("tar",
        withArguments(
            {"-cjf", otherArchive.string(), "-C", other.parent_path().string(), other.filename().string()}))
                    .succeeded());
    const std::size_t verdictsBefore = storedVerdicts(prefix);
    const auto refused = installVoice({"--prefix", prefix.string(), "--archive", otherArchive.string()});
    EXPECT_FALSE(refused.succeeded());
    EXPECT_NE(refused.standardError.find("vits-piper-<lang>_<REGION>-<name>-<quality>"), std::string::npos)
        << refused.standardError;
    EXPECT_FALSE(fs::exists(files / "voices" / "vits-coqui-en-ljspeech"));
    EXPECT_EQ(storedVerdicts(prefix), verdictsBefore) << "a refused archive left a verdict";

    // A published name and layout whose voice the checker refuses (a tokens file that
    // would end the process): not installed, no verdict.
    const fs::path bad = fs::path(OMBRIX_FIXTURES_DIR) / "broken" / "tts-tokens-duplicate";
    const VoicePaths badVoice
        = {(bad / "model.onnx").string(), (bad / "tokens.txt").string(), fixtureVoice().dataDir};
    const auto badInstall = installVoice({"--prefix", prefix.string(), "--archive",
        makePublishedVoiceArchive(scratch.path(), "vits-piper-fr_FR-broken-low", badVoice, 16000).string()});
    EXPECT_FALSE(badInstall.succeeded());
    EXPECT_NE(badInstall.standardError.find("the model checker refused"), std::string::npos)
        << badInstall.standardError;
    EXPECT_FALSE(fs::exists(files / "voices" / "vits-piper-fr_FR-broken-low"));
    EXPECT_EQ(storedVerdicts(prefix), verdictsBefore) << "a refused voice left a verdict";
}

// Runs the recogniser installer from the source tree, on a PATH without Node.js.
SubprocessResult installModel(const std::vector<std::string>& arguments)
{
    std::vector<std::string> all = {std::string(OMBRIX_SOURCE_DIR) + "/scripts/install-model.sh"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    SubprocessOptions options = withArguments(all);
    options.environment["PATH"] = pathWithoutNode().string();
    return runSubprocess("/bin/bash", options);
}

// An archive named and laid out like a published streaming Zipformer2 CTC recogniser (the
// int8 and float models, HLG.fst, tokens.txt, bpe.model, test_wavs/), holding `files`
// (relative name to the file it copies) in its directory `name`.
fs::path makeRecogniserArchive(const fs::path& directory, const std::string& name,
    const std::vector<std::pair<std::string, fs::path>>& files)
{
    const fs::path top = directory / ("stage-" + name) / name;
    fs::create_directories(top / "test_wavs");
    for (const auto& [relative, source] : files) {
        fs::copy_file(source, top / relative);
    }
    std::ofstream(top / "bpe.model") << "sentencepiece model\n";
    std::ofstream(top / "test_wavs" / "0.wav") << "RIFF";
    const fs::path archive = directory / (name + ".tar.bz2");
    const auto tar = runSubprocess(
        "tar", withArguments({"-cjf", archive.string(), "-C", top.parent_path().string(), name}));
    if (!tar.succeeded()) {
        ADD_FAILURE() << "tar: " << tar.describe();
    }
    return archive;
}

TEST(InstallModelScript, InstallsAPublishedCtcRecogniserThatTranscribesWithoutOptionsAndRefusesOtherKinds)
{
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "prefix";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    fs::remove_all(prefix / "share" / "files");
    const fs::path files = prefix / "share" / "files";
    const fs::path asr = fs::path(OMBRIX_FIXTURES_DIR) / "asr";
    const std::string stem = "ctc-epoch-30-avg-3-chunk-16-left-128";
    const std::string name = "sherpa-onnx-streaming-zipformer-ctc-small-2024-03-18";
    const fs::path archive = makeRecogniserArchive(scratch.path(), name,
        {{stem + ".int8.onnx", asr / "model.onnx"}, {stem + ".onnx", asr / "model.onnx"},
            {"tokens.txt", asr / "tokens.txt"}, {"HLG.fst", asr / "HLG.fst"}});

    const auto installed = installModel({"--prefix", prefix.string(), "--archive", archive.string()});
    ASSERT_TRUE(installed.succeeded()) << installed.describe();
    const fs::path model = files / (stem + ".int8.with_runtime_opt.ort");
    EXPECT_EQ(readFile(model).substr(4, 4), "ORTM");
    EXPECT_EQ(readFile(files / "HLG.fst"), readFile(asr / "HLG.fst"));
    EXPECT_EQ(readFile(files / "tokens.txt"), readFile(asr / "tokens.txt"));

    // ombrix-transcribe of the installation needs no model options now.
    const fs::path wav = scratch.path() / "bursts.wav";
    {
        const std::vector<float> bursts = makeToneBursts("A_B_A", 16000, 0.0);
        WavWriter writer;
        ASSERT_TRUE(writer.open(wav.string(), 16000, 1));
        float* channel = const_cast<float*>(bursts.data());
        ASSERT_TRUE(writer.write(
            AudioBuffer<float>(&channel, 1, static_cast<unsigned>(bursts.size()), false, 16000)));
        ASSERT_TRUE(writer.close());
    }
    // Its first start after the installation: the installer's verdict spares the check.
    EXPECT_EQ(storedVerdicts(prefix), 1u);
    const fs::path checkerLog = scratch.path() / "checker-runs.log";
    recordCheckerRuns(prefix, checkerLog);
    const auto transcribed = runFirstStart(
        prefix / "bin" / "ombrix-transcribe", {wav.string()}, scratch.path(), scratch.path() / "cache");
    ASSERT_TRUE(transcribed.succeeded()) << transcribed.describe();
    EXPECT_NE(transcribed.standardOutput.find("ABA\n"), std::string::npos) << transcribed.standardOutput;
    EXPECT_FALSE(fs::exists(checkerLog)) << readFile(checkerLog);
    fs::rename(prefix / "lib" / "ombrix-sherpa-check.real", prefix / "lib" / "ombrix-sherpa-check");

    // Installed already: kept unless --replace is given.
    const std::string before = readFile(files / "STT-MODEL-SOURCE.txt");
    const auto again = installModel({"--prefix", prefix.string(), "--archive", archive.string()});
    EXPECT_EQ(again.exitCode, 4);
    EXPECT_NE(again.standardError.find("--replace"), std::string::npos) << again.standardError;
    EXPECT_EQ(readFile(files / "STT-MODEL-SOURCE.txt"), before);

    // Usage errors and --version as every program of the installation has them.
    const auto usage = installModel({"--prefix", prefix.string(), "--no-such-option"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.standardError.find("--help"), std::string::npos) << usage.standardError;
    EXPECT_EQ(installModel({"--prefix", prefix.string()}).exitCode, 2);
    const auto version = installModel({"--version"});
    EXPECT_EQ(version.exitCode, 0) << version.describe();
    EXPECT_NE(version.standardOutput.find(std::string(" ") + OMBRIX_PROJECT_VERSION), std::string::npos)
        << version.standardOutput;

    // A transducer archive is refused with what is supported, and nothing changes.
    const fs::path transducer
        = makeRecogniserArchive(scratch.path(), "sherpa-onnx-streaming-zipformer-en-2023-06-26",
            {{"encoder-epoch-99-avg-1.onnx", asr / "model.onnx"},
                {"decoder-epoch-99-avg-1.onnx", asr / "model.onnx"},
                {"joiner-epoch-99-avg-1.onnx", asr / "model.onnx"}, {"tokens.txt", asr / "tokens.txt"}});
    const auto refused
        = installModel({"--prefix", prefix.string(), "--replace", "--archive", transducer.string()});
    EXPECT_EQ(refused.exitCode, 4);
    EXPECT_NE(refused.standardError.find("sherpa-onnx streaming Zipformer2 CTC archives"), std::string::npos)
        << refused.standardError;
    EXPECT_EQ(readFile(files / "STT-MODEL-SOURCE.txt"), before);

    // A CTC archive whose graph the checker refuses (a label the model cannot emit): the
    // installed recogniser is put back, and no verdict is added.
    const fs::path bad = fs::path(OMBRIX_FIXTURES_DIR) / "broken" / "asr-graph-unknown-label";
    const fs::path badArchive
        = makeRecogniserArchive(scratch.path(), "sherpa-onnx-streaming-zipformer-ctc-broken-2024-01-01",
            {{stem + ".int8.onnx", bad / "model.onnx"}, {"tokens.txt", bad / "tokens.txt"},
                {"HLG.fst", bad / "HLG.fst"}});
    const auto checkedOut
        = installModel({"--prefix", prefix.string(), "--replace", "--archive", badArchive.string()});
    EXPECT_EQ(checkedOut.exitCode, 5);
    EXPECT_NE(checkedOut.standardError.find("the model checker refused"), std::string::npos)
        << checkedOut.standardError;
    EXPECT_EQ(readFile(files / "STT-MODEL-SOURCE.txt"), before);
    EXPECT_EQ(readFile(files / "HLG.fst"), readFile(asr / "HLG.fst"));
    EXPECT_EQ(storedVerdicts(prefix), 1u);
    std::vector<std::string> leftovers;
    for (const auto& entry : fs::directory_iterator(files)) {
        leftovers.push_back(entry.path().filename().string());
    }
    std::sort(leftovers.begin(), leftovers.end());
    EXPECT_EQ(leftovers,
        (std::vector<std::string>{
            "HLG.fst", "STT-MODEL-SOURCE.txt", stem + ".int8.with_runtime_opt.ort", "tokens.txt"}));
}

// A fenced block of README.md: the first ```<language> block after the marker line
// "<!-- <marker> -->". Empty when there is none.
std::string readmeBlock(const std::string& marker, const std::string& language)
{
    const std::string readme = readFile(fs::path(OMBRIX_SOURCE_DIR) / "README.md");
    const std::string markerLine = "<!-- " + marker + " -->\n";
    const std::string fence = "```" + language + "\n";
    const std::size_t at = readme.find(markerLine);
    const std::size_t begin = at == std::string::npos ? at : readme.find(fence, at);
    const std::size_t end = begin == std::string::npos ? begin : readme.find("\n```", begin + fence.size());
    if (end == std::string::npos) {
        return {};
    }
    return readme.substr(begin + fence.size(), end + 1 - begin - fence.size());
}

std::vector<std::string> splitWords(const std::string& text)
{
    std::vector<std::string> words;
    std::istringstream stream(text);
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

// The value after "-- <label>: " in CMake's configure output.
std::string cmakeStatusValue(const std::string& output, const std::string& label)
{
    const std::string key = "-- " + label + ": ";
    const std::size_t at = output.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const std::size_t begin = at + key.size();
    return output.substr(begin, output.find('\n', begin) - begin);
}

// A sanitizer build: the host program carries the sanitizer of the libraries it links,
// with the run-time options (suppressions for the prebuilt libraries) the test programs
// compile in, given here through the environment.
void addSanitizerEnvironment(SubprocessOptions& options)
{
    const std::string suppressions = OMBRIX_SANITIZER_SUPPRESSIONS_DIR;
    options.environment["ASAN_OPTIONS"] = "detect_leaks=1:detect_stack_use_after_return=0";
    options.environment["LSAN_OPTIONS"] = "suppressions=" + suppressions + "/lsan.supp:print_suppressions=0";
    options.environment["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1";
    options.environment["TSAN_OPTIONS"] = "suppressions=" + suppressions + "/tsan.supp:halt_on_error=1";
}

// Runs a host program built from the README: no LD_LIBRARY_PATH, in `workingDirectory`,
// which is outside the installation, with the SDK's log level variable set to `logLevel`
// (unset when empty).
SubprocessResult runHostProgram(const fs::path& program, const std::vector<std::string>& arguments,
    const fs::path& workingDirectory, const std::string& logLevel)
{
    SubprocessOptions options = withArguments(arguments);
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    options.environment["OMBRIX_LOG_LEVEL"]
        = logLevel.empty() ? std::nullopt : std::optional<std::string>(logLevel);
    options.workingDirectory = workingDirectory.string();
    addSanitizerEnvironment(options);
    return runSubprocess(program.string(), options);
}

// How many lines of `text` the SDK's stderr sink wrote at `level` ("[level] ...").
std::size_t logLinesAt(const std::string& text, const std::string& level)
{
    std::size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        count += line.rfind("[" + level + "] ", 0) == 0 ? 1 : 0;
    }
    return count;
}

// The SDK's log lines ("[level] ...") of `text` as the README shows them: the installation
// `prefix` written as /opt/ombrix, the first-synthesis timestamp as <time>.
std::string readmeLogLines(const std::string& text, const fs::path& prefix)
{
    std::string lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (line.empty() || line[0] != '[' || line.rfind("[trace] ", 0) == 0
            || line.rfind("[debug] ", 0) == 0) {
            continue;
        }
        for (const std::string& path : {fs::canonical(prefix).string(), prefix.string()}) {
            for (std::size_t at = line.find(path); at != std::string::npos; at = line.find(path, at)) {
                line.replace(at, path.size(), "/opt/ombrix");
            }
        }
        const std::string stamp = "timestamp=";
        const std::size_t at = line.find(stamp);
        if (at != std::string::npos) {
            const std::size_t digits = line.find_first_not_of("0123456789", at + stamp.size());
            line.replace(at + stamp.size(), digits - at - stamp.size(), "<time>");
        }
        lines += line + "\n";
    }
    return lines;
}

// Checks what the README's host program does, built as `program`: with a voice that does
// not exist it stops with an error and writes nothing; with the installed test voice it
// writes hello.wav with speech in it and succeeds. Along the way, OMBRIX_LOG_LEVEL sets
// what the SDK logs.
void expectHostProgramSpeaks(
    const fs::path& program, const fs::path& plugin, const fs::path& prefix, const fs::path& workingDirectory)
{
    ASSERT_TRUE(fs::is_regular_file(program)) << program;
    const auto needed = runSubprocess("readelf", withArguments({"-d", "-W", program.string()}));
    EXPECT_NE(needed.standardOutput.find("Shared library: [libOmbrixSDK.so]"), std::string::npos)
        << needed.standardOutput;

    const VoicePaths voice = defaultVoiceBelow(prefix);
    fs::create_directories(workingDirectory);
    const std::vector<std::string> missingVoice
        = {plugin.string(), (workingDirectory / "missing.ort").string(), voice.tokens, voice.dataDir};
    const auto refused = runHostProgram(program, missingVoice, workingDirectory, "error");
    EXPECT_EQ(refused.exitCode, 1) << refused.describe();
    EXPECT_NE(refused.standardError.find("cannot load the voice"), std::string::npos)
        << refused.standardError;
    EXPECT_GT(logLinesAt(refused.standardError, "error"), 0u) << refused.standardError;
    EXPECT_EQ(logLinesAt(refused.standardError, "warning") + logLinesAt(refused.standardError, "info"), 0u)
        << refused.standardError;
    EXPECT_FALSE(fs::exists(workingDirectory / "hello.wav"));
    const auto quiet = runHostProgram(program, missingVoice, workingDirectory, "none");
    EXPECT_EQ(quiet.exitCode, 1) << quiet.describe();
    EXPECT_EQ(quiet.standardError.find('['), std::string::npos) << quiet.standardError;
    EXPECT_NE(quiet.standardError.find("cannot load the voice"), std::string::npos) << quiet.standardError;

    // An unknown level is named, and the default (info) holds.
    const auto run = runHostProgram(
        program, {plugin.string(), voice.model, voice.tokens, voice.dataDir}, workingDirectory, "loud");
    ASSERT_TRUE(run.succeeded()) << run.describe() << run.standardError;
    EXPECT_NE(run.standardError.find("OMBRIX_LOG_LEVEL=loud is not a log level"), std::string::npos)
        << run.standardError;
    EXPECT_GT(logLinesAt(run.standardError, "info"), 0u) << run.standardError;

    // It skips the default voice, so a good run at the default level has no error line,
    // and its log is the one the README shows.
    const auto good = runHostProgram(
        program, {plugin.string(), voice.model, voice.tokens, voice.dataDir}, workingDirectory, "");
    ASSERT_TRUE(good.succeeded()) << good.describe() << good.standardError;
    EXPECT_EQ(logLinesAt(good.standardError, "error"), 0u) << good.standardError;
    EXPECT_EQ(readmeLogLines(good.standardError, prefix), readmeBlock("host-log", ""))
        << "README.md's log of the host program differs from what it printed:\n"
        << good.standardError;
    WavData wav;
    std::string error;
    ASSERT_TRUE(readWav((workingDirectory / "hello.wav").string(), wav, &error)) << error;
    ASSERT_EQ(wav.channels.size(), 2u);
    EXPECT_LT(wav.channels[0].size(), static_cast<std::size_t>(30 * kGraphRate)) << "no \"finished\" came";
    EXPECT_GT(energy(wav.channels[0], 0, wav.channels[0].size()), 1.0) << "the host program wrote silence";
}

TEST(InstalledHeaders, TheReadmeHostProgramBuildsWithCMakeAndPkgConfigAgainstAMovedInstallation)
{
    const std::string program = readmeBlock("host-example", "cpp");
    ASSERT_FALSE(program.empty()) << "README.md has no host example block";
    const std::string cmakeLists = readmeBlock("host-example-cmake", "cmake");
    ASSERT_FALSE(cmakeLists.empty()) << "README.md has no CMake block for the host example";

    ScratchDirectory scratch;
    const fs::path installed = scratch.path() / "installed";
    ASSERT_TRUE(cmakeInstall(installed).succeeded());
    ASSERT_TRUE(cmakeInstall(installed, {"--component", "test-voices"}).succeeded());
    const fs::path prefix = scratch.path() / "moved" / "prefix";
    fs::create_directories(prefix.parent_path());
    fs::rename(installed, prefix);
    const fs::path plugin = prefix / "lib" / "libOmbrixSherpa.so";
    const std::string sanitize = OMBRIX_HOST_PROGRAM_SANITIZE;

    // CMake: the README's CMakeLists.txt, finding the moved installation as a package.
    const fs::path project = scratch.path() / "cmake-project";
    fs::create_directories(project);
    std::ofstream(project / "CMakeLists.txt") << cmakeLists;
    std::ofstream(project / "hello-host.cpp") << program;
    const auto configure = runSubprocess(OMBRIX_CMAKE_COMMAND,
        withArguments({"-S", project.string(), "-B", (project / "build").string(),
            "-DCMAKE_PREFIX_PATH=" + prefix.string(),
            "-DCMAKE_CXX_COMPILER=" + std::string(OMBRIX_CXX_COMPILER),
            "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror " + sanitize, "-DCMAKE_EXE_LINKER_FLAGS=" + sanitize}));
    ASSERT_TRUE(configure.succeeded()) << configure.describe() << configure.standardOutput;
    const fs::path cmakePlugin = cmakeStatusValue(configure.standardOutput, "plug-in");
    ASSERT_TRUE(fs::is_regular_file(cmakePlugin)) << configure.standardOutput;
    EXPECT_TRUE(fs::equivalent(cmakePlugin, plugin)) << cmakePlugin;
    const fs::path cmakeModels = cmakeStatusValue(configure.standardOutput, "models");
    ASSERT_TRUE(fs::is_directory(cmakeModels)) << configure.standardOutput;
    EXPECT_TRUE(fs::equivalent(cmakeModels, prefix / "share" / "files")) << cmakeModels;
    const auto build
        = runSubprocess(OMBRIX_CMAKE_COMMAND, withArguments({"--build", (project / "build").string()}));
    ASSERT_TRUE(build.succeeded()) << build.describe() << build.standardOutput;
    expectHostProgramSpeaks(
        project / "build" / "hello-host", cmakePlugin, prefix, scratch.path() / "run-cmake");

    // pkg-config: compile and link flags from ombrix-sdk.pc, the plug-in's path from
    // ombrix-sherpa.pc.
    SubprocessOptions pkgConfig;
    pkgConfig.environment["PKG_CONFIG_PATH"] = (prefix / "lib" / "pkgconfig").string();
    pkgConfig.environment["PKG_CONFIG_LIBDIR"] = (prefix / "lib" / "pkgconfig").string();
    const auto query = [&](const std::vector<std::string>& arguments) {
        pkgConfig.arguments = arguments;
        const auto result = runSubprocess("pkg-config", pkgConfig);
        EXPECT_TRUE(result.succeeded()) << result.describe() << result.standardError;
        return result.standardOutput;
    };
    const std::vector<std::string> flags = splitWords(query({"--cflags", "--libs", "ombrix-sdk"}));
    const std::vector<std::string> libdir = splitWords(query({"--variable=libdir", "ombrix-sdk"}));
    const std::vector<std::string> pkgPlugin = splitWords(query({"--variable=plugin", "ombrix-sherpa"}));
    ASSERT_EQ(libdir.size(), 1u);
    ASSERT_EQ(pkgPlugin.size(), 1u);
    EXPECT_TRUE(fs::equivalent(pkgPlugin[0], plugin)) << pkgPlugin[0];
    const std::vector<std::string> modelDir = splitWords(query({"--variable=modeldir", "ombrix-sherpa"}));
    ASSERT_EQ(modelDir.size(), 1u);
    EXPECT_TRUE(fs::equivalent(modelDir[0], prefix / "share" / "files")) << modelDir[0];
    query({"--exact-version", OMBRIX_PROJECT_VERSION, "ombrix-sherpa"});
    const fs::path source = scratch.path() / "hello-host.cpp";
    std::ofstream(source) << program;
    const fs::path binary = scratch.path() / "pkg-config-build" / "hello-host";
    fs::create_directories(binary.parent_path());
    std::vector<std::string> compileArguments
        = {"-std=c++20", "-Wall", "-Wextra", "-Werror", source.string(), "-o", binary.string()};
    compileArguments.insert(compileArguments.end(), flags.begin(), flags.end());
    compileArguments.push_back("-Wl,-rpath," + libdir[0]);
    if (!sanitize.empty()) {
        compileArguments.push_back(sanitize);
    }
    const auto compile = runSubprocess(OMBRIX_CXX_COMPILER, withArguments(compileArguments));
    ASSERT_TRUE(compile.succeeded()) << compile.describe();
    expectHostProgramSpeaks(binary, pkgPlugin[0], prefix, scratch.path() / "run-pkg-config");
}

// Runs the README's speech-to-text host program, built as `program` (outside the
// installation), on test tones: with the fixture recogniser it prints the tones' letters;
// with a graph that only the model checker can tell is broken the load is refused (so the
// installation's checker was found); and a checker named by OMBRIX_SHERPA_CHECKER is the
// one used. `installedTool`, when given, is ombrix-transcribe of the installation, run on
// the same tones.
void expectSttHostProgramTranscribes(
    const fs::path& program, const fs::path& workingDirectory, const fs::path& installedTool = {})
{
    ASSERT_TRUE(fs::is_regular_file(program)) << program;
    fs::create_directories(workingDirectory);
    const fs::path tones = workingDirectory / "tones.wav";
    {
        const std::vector<float> samples = makeToneBursts("A_B_A_BB_A", 16000, 0.0);
        float* channel = const_cast<float*>(samples.data());
        WavWriter wav;
        ASSERT_TRUE(wav.open(tones.string(), 16000, 1));
        ASSERT_TRUE(
            wav.write(AudioBuffer<float>(&channel, 1, static_cast<unsigned>(samples.size()), false, 16000)));
        ASSERT_TRUE(wav.close());
    }
    const fs::path fixtures = fs::path(OMBRIX_BUILD_DIR) / "fixtures";
    const auto recogniser = [&](const fs::path& directory) {
        return std::vector<std::string>{tones.string(), (directory / "model.onnx").string(),
            (directory / "tokens.txt").string(), (directory / "HLG.fst").string()};
    };
    const auto run = runHostProgram(program, recogniser(fixtures / "asr"), workingDirectory, "warning");
    ASSERT_TRUE(run.succeeded()) << run.describe();
    EXPECT_EQ(run.standardOutput, "ABABA\n");
    if (!installedTool.empty()) {
        // The installed tool, which compiles the node in too, on the same audio.
        const auto tool = runInstalled(installedTool,
            {"-q", "--model", (fixtures / "asr" / "model.onnx").string(), tones.string()}, workingDirectory);
        ASSERT_TRUE(tool.succeeded()) << tool.describe();
        EXPECT_EQ(tool.standardOutput, "ABABA\n");
    }

    const auto refused = runHostProgram(
        program, recogniser(fixtures / "broken" / "asr-graph-unknown-label"), workingDirectory, "warning");
    EXPECT_EQ(refused.exitCode, 3) << refused.describe();
    // The checker's own finding (OpenFst reads the graph there), not a missing checker.
    EXPECT_NE(refused.standardError.find("stands for token id 9"), std::string::npos)
        << refused.standardError;

    SubprocessOptions withChecker = withArguments(recogniser(fixtures / "asr"));
    withChecker.environment["LD_LIBRARY_PATH"] = std::nullopt;
    // A checker of our own that refuses everything, in its report protocol (fd 3).
    const fs::path checker = workingDirectory / "refusing-checker";
    std::ofstream(checker)
        << "#!/bin/sh\necho 'problem refused by the checker in OMBRIX_SHERPA_CHECKER' >&3\n"
           "exit 1\n";
    fs::permissions(checker, fs::perms::owner_all);
    withChecker.environment["OMBRIX_SHERPA_CHECKER"] = checker.string();
    withChecker.workingDirectory = workingDirectory.string();
    addSanitizerEnvironment(withChecker);
    const auto named = runSubprocess(program.string(), withChecker);
    EXPECT_EQ(named.exitCode, 3) << named.describe();
    EXPECT_NE(named.standardError.find("refused by the checker in OMBRIX_SHERPA_CHECKER"), std::string::npos)
        << named.standardError;
}

TEST(InstalledHeaders, TheSpeechToTextNodeCompilesIntoAHostOfAMovedInstallation)
{
    const std::string program = readmeBlock("stt-host-example", "cpp");
    ASSERT_FALSE(program.empty()) << "README.md has no speech-to-text host example block";
    ScratchDirectory scratch;
    const fs::path installed = scratch.path() / "installed";
    ASSERT_TRUE(cmakeInstall(installed).succeeded());
    const fs::path prefix = scratch.path() / "moved" / "prefix";
    fs::create_directories(prefix.parent_path());
    fs::rename(installed, prefix);
    EXPECT_TRUE(fs::is_regular_file(prefix / "lib" / "libOmbrixSherpaSTT.a"));
    const std::string sanitize = OMBRIX_HOST_PROGRAM_SANITIZE;

    // The header needs nothing but the installation's include directory.
    const fs::path headerOnly = scratch.path() / "header-only.cpp";
    std::ofstream(headerOnly)
        << "#include <ombrix/sherpa/SherpaSTTNode.h>\n"
           "int main() { return sizeof(ombrix::extensions::sherpa::SherpaSTTNode) > 0 ? 0 : 1; }\n";
    const auto syntax = runSubprocess(OMBRIX_CXX_COMPILER,
        withArguments({"-std=c++20", "-Wall", "-Wextra", "-Werror", "-fsyntax-only", "-I",
            (prefix / "include").string(), headerOnly.string()}));
    EXPECT_TRUE(syntax.succeeded()) << syntax.describe();

    // CMake: the component STT of the OmbrixSherpa package, target Ombrix::SherpaSTT.
    const fs::path project = scratch.path() / "cmake-project";
    fs::create_directories(project);
    std::ofstream(project / "CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.25)\n"
           "project(stt_host CXX)\n"
           "find_package(OmbrixSherpa " OMBRIX_PROJECT_VERSION " CONFIG REQUIRED COMPONENTS STT)\n"
           "add_executable(stt-host stt-host.cpp)\n"
           "target_link_libraries(stt-host PRIVATE Ombrix::SherpaSTT)\n";
    std::ofstream(project / "stt-host.cpp") << program;
    std::vector<std::string> configureArguments = {"-S", project.string(), "-B", (project / "build").string(),
        "-DCMAKE_PREFIX_PATH=" + prefix.string(), "-DCMAKE_CXX_COMPILER=" + std::string(OMBRIX_CXX_COMPILER),
        "-DCMAKE_CXX_FLAGS=-Wall -Wextra -Werror " + sanitize, "-DCMAKE_EXE_LINKER_FLAGS=" + sanitize};
    const auto configure = runSubprocess(OMBRIX_CMAKE_COMMAND, withArguments(configureArguments));
    ASSERT_TRUE(configure.succeeded()) << configure.describe() << configure.standardOutput;

    // A component the installation does not have fails with the ones it has.
    const fs::path unknownProject = scratch.path() / "unknown-component";
    fs::create_directories(unknownProject);
    std::ofstream(unknownProject / "CMakeLists.txt")
        << "cmake_minimum_required(VERSION 3.25)\n"
           "project(unknown_component NONE)\n"
           "find_package(OmbrixSherpa CONFIG REQUIRED COMPONENTS STT Speaker)\n";
    const auto unknown = runSubprocess(OMBRIX_CMAKE_COMMAND,
        withArguments({"-S", unknownProject.string(), "-B", (unknownProject / "build").string(),
            "-DCMAKE_PREFIX_PATH=" + prefix.string()}));
    EXPECT_FALSE(unknown.succeeded());
    // CMake wraps the message at spaces.
    std::string reason;
    for (const std::string& word : splitWords(unknown.standardError)) {
        reason += word + " ";
    }
    EXPECT_NE(reason.find("OmbrixSherpa has no component Speaker;"), std::string::npos) << reason;
    EXPECT_NE(reason.find("are: STT "), std::string::npos) << reason;
    const auto build
        = runSubprocess(OMBRIX_CMAKE_COMMAND, withArguments({"--build", (project / "build").string()}));
    ASSERT_TRUE(build.succeeded()) << build.describe() << build.standardOutput;
    expectSttHostProgramTranscribes(
        project / "build" / "stt-host", scratch.path() / "run-cmake", prefix / "bin" / "ombrix-transcribe");

    // pkg-config: ombrix-sherpa-stt, which brings the SDK's flags along.
    SubprocessOptions pkgConfig = withArguments({"--cflags", "--libs", "ombrix-sherpa-stt"});
    pkgConfig.environment["PKG_CONFIG_PATH"] = (prefix / "lib" / "pkgconfig").string();
    pkgConfig.environment["PKG_CONFIG_LIBDIR"] = (prefix / "lib" / "pkgconfig").string();
    const auto flags = runSubprocess("pkg-config", pkgConfig);
    ASSERT_TRUE(flags.succeeded()) << flags.describe();
    const fs::path source = scratch.path() / "stt-host.cpp";
    std::ofstream(source) << program;
    const fs::path binary = scratch.path() / "pkg-config-build" / "stt-host";
    fs::create_directories(binary.parent_path());
    std::vector<std::string> compileArguments
        = {"-std=c++20", "-Wall", "-Wextra", "-Werror", source.string(), "-o", binary.string()};
    for (const std::string& flag : splitWords(flags.standardOutput)) {
        compileArguments.push_back(flag);
    }
    compileArguments.push_back("-Wl,-rpath," + (prefix / "lib").string());
    if (!sanitize.empty()) {
        compileArguments.push_back(sanitize);
    }
    const auto compile = runSubprocess(OMBRIX_CXX_COMPILER, withArguments(compileArguments));
    ASSERT_TRUE(compile.succeeded()) << compile.describe();
    expectSttHostProgramTranscribes(binary, scratch.path() / "run-pkg-config");
}

// A fenced shell block of README.md with the kind its marker line gives it:
// "<!-- commands: run -->" (run by the test below), "ci" (run by .ci/run), "network" or
// "root" (they need what a test does not have; the test runs their programs' --help).
struct ReadmeCommands {
    std::string kind; // empty: the block has no marker
    std::string text;
    std::size_t line = 0;
};

std::vector<ReadmeCommands> readmeShellBlocks()
{
    std::vector<ReadmeCommands> blocks;
    std::istringstream readme(readFile(fs::path(OMBRIX_SOURCE_DIR) / "README.md"));
    std::string previous;
    std::size_t number = 0;
    for (std::string line; std::getline(readme, line);) {
        ++number;
        if (line == "```sh") {
            ReadmeCommands block;
            block.line = number;
            const std::string prefix = "<!-- commands: ";
            if (previous.rfind(prefix, 0) == 0 && previous.size() > prefix.size() + 4) {
                block.kind = previous.substr(prefix.size(), previous.size() - prefix.size() - 4);
            }
            for (std::string body; std::getline(readme, body) && body != "```";) {
                ++number;
                block.text += body + "\n";
            }
            ++number;
            blocks.push_back(block);
        }
        if (!line.empty()) {
            previous = line;
        }
    }
    return blocks;
}

// The commands of a block: continuation lines joined, comments and blank lines dropped.
std::vector<std::string> commandLines(const std::string& text)
{
    std::vector<std::string> commands;
    std::istringstream lines(text);
    std::string command;
    for (std::string line; std::getline(lines, line);) {
        const std::size_t comment = line.find(" #");
        if (comment != std::string::npos) {
            line.erase(comment);
        }
        line.erase(line.find_last_not_of(" \t") + 1);
        line.erase(0, line.find_first_not_of(" \t"));
        if (!line.empty() && line.back() == '\\') {
            command += line.substr(0, line.size() - 1);
            continue;
        }
        command += line;
        if (!command.empty()) {
            commands.push_back(command);
        }
        command.clear();
    }
    return commands;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void writeMonoWav(const fs::path& path, const std::string& bursts)
{
    const std::vector<float> samples = makeToneBursts(bursts, 16000, 0.0);
    float* channel = const_cast<float*>(samples.data());
    WavWriter wav;
    ASSERT_TRUE(wav.open(path.string(), 16000, 1));
    ASSERT_TRUE(
        wav.write(AudioBuffer<float>(&channel, 1, static_cast<unsigned>(samples.size()), false, 16000)));
    ASSERT_TRUE(wav.close());
}

// Every shell command the README shows, as a user would type it: the "run" blocks in
// their order in one shell, against an installation in place of /opt/ombrix, with the
// archives they name made from the synthetic fixtures; "ci" commands must be commands of
// .ci/run; of "network" and "root" commands the program's --help must work. A README block
// without a marker fails, so no command escapes this test.
TEST(InstalledHeaders, EveryCommandOfTheReadmeRunsAgainstAnInstallation)
{
    const std::vector<ReadmeCommands> blocks = readmeShellBlocks();
    ASSERT_FALSE(blocks.empty());
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "opt-ombrix";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    const fs::path work = scratch.path() / "work";
    const fs::path archives = scratch.path() / "archives";
    fs::create_directories(work);
    fs::create_directories(archives);

    std::vector<std::string> ciLines;
    {
        std::istringstream ci(readFile(fs::path(OMBRIX_SOURCE_DIR) / ".ci" / "run"));
        for (std::string line; std::getline(ci, line);) {
            ciLines.push_back(line);
        }
    }
    std::string script = "set -euxo pipefail\n";
    for (const ReadmeCommands& block : blocks) {
        SCOPED_TRACE("README.md line " + std::to_string(block.line));
        const std::string text = replaceAll(block.text, "/opt/ombrix", prefix.string());
        if (block.kind == "run") {
            script += text;
        } else if (block.kind == "ci") {
            for (const std::string& command : commandLines(text)) {
                EXPECT_NE(std::find(ciLines.begin(), ciLines.end(), command), ciLines.end())
                    << "'" << command << "' is not a command of .ci/run";
            }
        } else if (block.kind == "network" || block.kind == "root") {
            for (const std::string& command : commandLines(text)) {
                const std::string program = command.substr(0, command.find(' '));
                const auto help = runInstalled(program, {"--help"}, work);
                EXPECT_EQ(help.exitCode, 0) << command << ": " << help.describe();
                EXPECT_NE(help.standardOutput.find("Usage"), std::string::npos) << help.standardOutput;
            }
        } else {
            ADD_FAILURE() << "a shell block without <!-- commands: run|ci|network|root --> before it";
        }
    }

    // What the run blocks name: the archives, a recording, the host programs' sources.
    const VoicePaths voice = fixtureVoice();
    fs::rename(
        makeVoiceArchive(archives, "default.tar.bz2", true), work / (std::string(kVoiceName) + ".tar.bz2"));
    const std::string amy = "vits-piper-en_US-amy-low";
    fs::rename(makePublishedVoiceArchive(archives, amy, voice, 16000), work / (amy + ".tar.bz2"));
    const fs::path asr = fs::path(OMBRIX_FIXTURES_DIR) / "asr";
    const std::string stem = "ctc-epoch-30-avg-3-chunk-16-left-128";
    const std::string recogniser = "sherpa-onnx-streaming-zipformer-ctc-small-2024-03-18";
    fs::rename(makeRecogniserArchive(archives, recogniser,
                   {{stem + ".int8.onnx", asr / "model.onnx"}, {"tokens.txt", asr / "tokens.txt"},
                       {"HLG.fst", asr / "HLG.fst"}}),
        work / (recogniser + ".tar.bz2"));
    writeMonoWav(work / "speech.wav", "A_B_A");
    std::ofstream(work / "hello-host.cpp") << readmeBlock("host-example", "cpp");
    std::ofstream(work / "CMakeLists.txt") << readmeBlock("host-example-cmake", "cmake");
    std::ofstream(work / "stt-host.cpp") << readmeBlock("stt-host-example", "cpp");

    SubprocessOptions options = withArguments({"-c", script});
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    options.environment["OMBRIX_LOG_LEVEL"] = std::nullopt;
    options.workingDirectory = work.string();
    options.timeout = std::chrono::minutes(10);
    const std::string sanitize = OMBRIX_HOST_PROGRAM_SANITIZE;
    if (!sanitize.empty()) {
        // The host programs link the sanitized libraries, so they carry the sanitizer too.
        const fs::path wrappers = scratch.path() / "wrappers";
        fs::create_directories(wrappers);
        std::ofstream(wrappers / "g++") << "#!/bin/sh\nexec /usr/bin/g++ \"$@\" " << sanitize << "\n";
        fs::permissions(wrappers / "g++", fs::perms::owner_all);
        options.environment["PATH"] = wrappers.string() + ":" + std::getenv("PATH");
        options.environment["CXXFLAGS"] = sanitize;
        options.environment["LDFLAGS"] = sanitize;
        addSanitizerEnvironment(options);
    }
    const auto run = runSubprocess("/bin/bash", options);
    ASSERT_TRUE(run.succeeded()) << run.describe() << "\n" << run.standardError;

    // Every command did its part.
    std::vector<std::string> errors;
    std::istringstream lines(run.standardError);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("[error]", 0) == 0) {
            errors.push_back(line);
        }
    }
    EXPECT_TRUE(errors.empty()) << run.standardError;
    EXPECT_NE(run.standardOutput.find(amy + "\ten_US\t16000 Hz\t1 speaker(s)\n"), std::string::npos)
        << run.standardOutput;
    for (const char* spoken : {"hello.wav", "amy.wav"}) {
        WavData wav;
        std::string error;
        ASSERT_TRUE(readWav((work / spoken).string(), wav, &error)) << spoken << ": " << error;
        EXPECT_GT(energy(wav.channels[0], 0, wav.channels[0].size()), 1.0) << spoken << " is silent";
    }
    // ombrix-transcribe's final line and the speech-to-text host's text.
    std::size_t texts = 0;
    std::istringstream output(run.standardOutput);
    for (std::string line; std::getline(output, line);) {
        texts += line == "ABA" ? 1 : 0;
    }
    EXPECT_EQ(texts, 2u) << run.standardOutput;
    EXPECT_NE(readFile(work / "speech.json").find("\"ABA\""), std::string::npos)
        << readFile(work / "speech.json");
    EXPECT_TRUE(fs::is_regular_file(work / "build" / "hello-host"));
    EXPECT_TRUE(fs::is_regular_file(work / "hello-host"));
    EXPECT_TRUE(fs::is_regular_file(work / "stt-host"));
}

// The pages of share/man/man1, one for each program in bin/, render without a single
// warning of groff or man (all of troff's warnings on, 80 columns); the notices a
// distributor passes on are in share/doc.
TEST(InstalledTool, ManPagesRenderCleanlyAndTheNoticesAreInstalled)
{
    ScratchDirectory scratch;
    const fs::path prefix = scratch.path() / "prefix";
    ASSERT_TRUE(cmakeInstall(prefix).succeeded());
    std::size_t programs = 0;
    for (const auto& entry : fs::directory_iterator(prefix / "bin")) {
        if (!OMBRIX_WITH_MAN_PAGES) {
            break; // configured with OMBRIX_MAN_PAGES=OFF
        }
        ++programs;
        const std::string name = entry.path().filename().string();
        const fs::path page = prefix / "share" / "man" / "man1" / (name + ".1");
        ASSERT_TRUE(fs::is_regular_file(page)) << name << " has no manual page";
        const auto groff = runSubprocess("groff", withArguments({"-man", "-Tutf8", "-ww", page.string()}));
        EXPECT_EQ(groff.exitCode, 0) << groff.describe();
        EXPECT_EQ(groff.standardError, "") << page;
        std::string title = name + "(1)";
        std::transform(
            title.begin(), title.end(), title.begin(), [](unsigned char c) { return std::toupper(c); });
        EXPECT_NE(groff.standardOutput.find(title), std::string::npos) << groff.standardOutput;
        SubprocessOptions man = withArguments({"--warnings=w", "-l", page.string()});
        man.environment["MANPAGER"] = "cat";
        man.environment["PAGER"] = "cat";
        man.environment["MANWIDTH"] = "80";
        const auto shown = runSubprocess("man", man);
        EXPECT_EQ(shown.exitCode, 0) << shown.describe();
        EXPECT_EQ(shown.standardError, "") << page;
        EXPECT_NE(shown.standardOutput.find(name), std::string::npos) << shown.standardOutput;
    }
    EXPECT_EQ(programs, OMBRIX_WITH_MAN_PAGES ? 5u : 0u)
        << "ombrix-speak, -transcribe, -inspect, -install-voice, -install-model";

    const fs::path doc = prefix / "share" / "doc" / "OmbrixSherpa";
    for (const char* notice : {"LICENSE", "THIRD-PARTY-NOTICES", "ONNXRUNTIME-NOTICES"}) {
        EXPECT_TRUE(fs::is_regular_file(doc / notice)) << notice;
    }
    EXPECT_NE(readFile(doc / "ONNXRUNTIME-NOTICES").find("ONNX Runtime 1.27.0"), std::string::npos);
    EXPECT_FALSE(fs::exists(doc / "TEST-VOICES-ESPEAK-NG-DATA")) << "installed without the test voices";
    ASSERT_TRUE(cmakeInstall(prefix, {"--component", "test-voices"}).succeeded());
    const std::string espeak = readFile(doc / "TEST-VOICES-ESPEAK-NG-DATA");
    EXPECT_NE(espeak.find("GPL-3.0-or-later"), std::string::npos) << espeak;
    EXPECT_EQ(espeak.find('@'), std::string::npos) << "unconfigured placeholder in\n" << espeak;
    EXPECT_NE(readFile(fs::path(defaultVoiceBelow(prefix).model).parent_path() / "TEST-VOICE.txt")
                  .find("TEST-VOICES-ESPEAK-NG-DATA"),
        std::string::npos);
}

} // namespace
} // namespace ombrix::testing
