// Node scenarios that need a fresh process: tts_node_probe copied to a bare location (no
// default voice next to it), with its own TMPDIR. Long phoneme-data paths matter only to
// the first engine of a process, which is why each case starts a new one.

#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace ombrix::testing {
namespace {

constexpr std::size_t kLongDataPathBytes = 300;
/// "Hello world. How are you?": 58 tokens of 200 samples with the synthetic voice.
constexpr std::size_t kTwoSentencesSamples = 11600;

class ScratchDirectory {
public:
    ScratchDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "ombrix-tts-node-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = fs::canonical(pattern);
    }
    ~ScratchDirectory() { fs::remove_all(path); }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    fs::path path;
};

struct ProbeOutput {
    SubprocessResult result;
    std::string loaded;
    std::string espeak;
    std::string samples;
    std::string refused;
    std::vector<std::string> log; // "<level>|<line>"

    long indexOf(const std::string& substring, long from = 0) const
    {
        for (std::size_t i = static_cast<std::size_t>(from); i < log.size(); ++i) {
            if (log[i].find(substring) != std::string::npos) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
    bool contains(const std::string& substring) const { return indexOf(substring) >= 0; }
};

/// Copies the probe to <scratch>/bare/bin (no share/files beside it) and runs it there.
/// The model checker is installed beside it in bare/lib, as in a real installation (a
/// link, so that the checker still finds the sherpa-onnx libraries beside its target).
ProbeOutput runProbe(const ScratchDirectory& scratch, const std::vector<std::string>& arguments,
    const std::optional<std::string>& temporaryDirectory)
{
    const fs::path program = scratch.path / "bare" / "bin" / "tts_node_probe";
    fs::create_directories(program.parent_path());
    fs::copy_file(OMBRIX_TTS_NODE_PROBE, program, fs::copy_options::overwrite_existing);
    const fs::path checker = scratch.path / "bare" / "lib" / "ombrix-sherpa-check";
    fs::create_directories(checker.parent_path());
    if (!fs::exists(fs::symlink_status(checker))) {
        fs::create_symlink(fs::path(OMBRIX_LIB_DIR) / "ombrix-sherpa-check", checker);
    }

    SubprocessOptions options;
    options.arguments = arguments;
    options.environment["LD_LIBRARY_PATH"] = std::string(OMBRIX_LIB_DIR);
    options.environment["TMPDIR"] = temporaryDirectory;
    options.environment["ESPEAK_DATA_PATH"] = std::nullopt;

    ProbeOutput output;
    output.result = runSubprocess(program.string(), options);
    std::istringstream lines(output.result.standardOutput);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("log=")) {
            output.log.push_back(line.substr(4));
        } else if (line.starts_with("loaded=")) {
            output.loaded = line.substr(7);
        } else if (line.starts_with("espeak=")) {
            output.espeak = line.substr(7);
        } else if (line.starts_with("refused=")) {
            output.refused = line.substr(8);
        } else if (line.starts_with("samples=")) {
            output.samples = line.substr(8);
        }
    }
    return output;
}

/// A data directory reached through a path of exactly `length` bytes: long directory
/// names below the scratch directory, ending in a link to the fixture voice's data.
std::string makeLongDataPath(const ScratchDirectory& scratch, std::size_t length)
{
    const std::string leaf = "/espeak-ng-data";
    std::string path = (scratch.path / "long").string();
    constexpr std::size_t kMaxComponent = 120;
    while (path.size() + leaf.size() < length) {
        const std::size_t room = length - leaf.size() - path.size() - 1; // minus the "/"
        path += "/" + std::string(std::min(room, kMaxComponent), 'd');
    }
    fs::create_directories(path);
    path += leaf;
    fs::create_directory_symlink(std::string(OMBRIX_FIXTURES_DIR) + "/voice-en/espeak-ng-data", path);
    if (path.size() != length) {
        throw std::runtime_error("long path has the wrong length");
    }
    return path;
}

std::vector<std::string> voiceArguments(const std::string& dataPath)
{
    const std::string voice = std::string(OMBRIX_FIXTURES_DIR) + "/voice-en";
    return {"load-and-speak", voice + "/model.onnx", voice + "/tokens.txt", dataPath};
}

TEST(SherpaTTSNodeProcess, WithoutADefaultVoiceTheNodeRunsAndRejectsItsConfiguredText)
{
    ScratchDirectory scratch;
    const ProbeOutput probe = runProbe(scratch, {"construct-and-speak"}, scratch.path.string());
    ASSERT_TRUE(probe.result.succeeded()) << probe.result.describe();

    const std::string voiceDir
        = (scratch.path / "bare/share/files/en_GB/vits-piper-en_GB-southern_english_female-low").string();
    const std::vector<std::string> attempt = {
        "debug|[SherpaTTSNode] Attempting to load TTS model for language: en",
        "debug|[SherpaTTSNode] Model path: " + voiceDir
            + "/en_GB-southern_english_female-low.with_runtime_opt.ort",
        "debug|[SherpaTTSNode] Tokens path: " + voiceDir + "/tokens.txt",
        "debug|[SherpaTTSNode] Data dir path: " + voiceDir + "/espeak-ng-data",
        "error|[SherpaTTSNode] Model file does not exist at path: " + voiceDir
            + "/en_GB-southern_english_female-low.with_runtime_opt.ort",
    };
    ASSERT_GE(probe.log.size(), attempt.size());
    EXPECT_EQ(std::vector<std::string>(probe.log.begin(), probe.log.begin() + attempt.size()), attempt);
    EXPECT_FALSE(probe.contains("loadModel called"));

    // The configured text reached the worker, which had no engine for it.
    const long rejected
        = probe.indexOf("error|[SherpaTTSNode] synthesize is called but TTS instance is not initialized.");
    EXPECT_GT(rejected, probe.indexOf("debug|[SherpaTTSNode] synthesize called, tts=null, this="));

    const std::vector<std::string> teardown = {
        "info|[SherpaTTSNode] Destructor called",
        "info|[SherpaTTSNode] Destructor called - starting cleanup",
        "info|[SherpaTTSNode] Cleaning up resources...",
        "info|[SherpaTTSNode] Clearing atomic pointers",
        "info|[SherpaTTSNode] Clearing 0 generated audio items",
        "info|[SherpaTTSNode] Cleanup completed",
        "info|[SherpaTTSNode] Destructor completed",
    };
    ASSERT_GE(probe.log.size(), teardown.size());
    EXPECT_EQ(std::vector<std::string>(probe.log.end() - teardown.size(), probe.log.end()), teardown);
}

TEST(SherpaTTSNodeProcess, LongPhonemeDataPathLoadsThroughTheShortLink)
{
    ScratchDirectory scratch;
    const fs::path temporary = scratch.path / "tmp";
    fs::create_directories(temporary);
    const std::string dataPath = makeLongDataPath(scratch, kLongDataPathBytes);

    const ProbeOutput probe = runProbe(scratch, voiceArguments(dataPath), temporary.string());
    ASSERT_TRUE(probe.result.succeeded()) << probe.result.describe();
    EXPECT_EQ(probe.loaded, "1");
    EXPECT_EQ(probe.samples, std::to_string(kTwoSentencesSamples));

    const long line
        = probe.indexOf("info|[SherpaTTSNode] espeak-ng-data path is 300 chars (exceeds espeak-ng's "
                        "255-byte limit); using short symlink: ");
    ASSERT_GE(line, 0);
    const std::string link = probe.log[line].substr(probe.log[line].rfind(' ') + 1);
    EXPECT_EQ(fs::path(link).parent_path(), temporary);
    EXPECT_TRUE(fs::path(link).filename().string().starts_with("ox-espeak-"));
    EXPECT_EQ(probe.espeak, link);
    EXPECT_EQ(fs::read_symlink(link).string(), dataPath);
}

TEST(SherpaTTSNodeProcess, LongPhonemeDataPathWithoutAUsableLinkIsRefusedAndTheProcessLives)
{
    for (const std::optional<std::string>& temporary :
        {std::optional<std::string>("/nonexistent/ombrix-tmp"), std::optional<std::string>()}) {
        SCOPED_TRACE(temporary ? "TMPDIR=" + *temporary : "TMPDIR unset");
        ScratchDirectory scratch;
        const std::string dataPath = makeLongDataPath(scratch, kLongDataPathBytes);

        const ProbeOutput probe = runProbe(scratch, voiceArguments(dataPath), temporary);
        // espeak-ng given this path would have ended the process with status 1.
        ASSERT_TRUE(probe.result.succeeded()) << probe.result.describe();
        EXPECT_EQ(probe.loaded, "0");
        EXPECT_TRUE(probe.contains(temporary
                ? "warning|[SherpaTTSNode] Could not create short espeak-ng-data symlink ("
                : "warning|[SherpaTTSNode] espeak-ng-data path is too long and TMPDIR is unset"));
        const long refused = probe.indexOf("error|[SherpaTTSNode] espeak-ng-data path is 300 bytes long and "
                                           "no short symlink could be used for it");
        ASSERT_GE(refused, 0) << probe.result.standardOutput;
        EXPECT_EQ(probe.indexOf("error|[SherpaTTSNode] Failed to create Sherpa Offline TTS.", refused),
            refused + 1);
        EXPECT_EQ(
            probe.indexOf("error|[SherpaTTSNode] Check that the model files exist and are valid", refused),
            refused + 2);
        EXPECT_FALSE(probe.contains("Calling SherpaOnnxCreateOfflineTts"));
        // Refused or not, the variable holds the path this load used.
        EXPECT_EQ(probe.espeak, dataPath);
    }
}

TEST(SherpaTTSNodeProcess, BadPhonemeDataAsTheFirstEngineIsRefusedAndAGoodVoiceStillSpeaks)
{
    // Handed to the first engine of a process, each of these directories makes espeak-ng
    // end it or read outside its tables (often only on a later text): each is refused with
    // the file and the structural fault, before any library call.
    const std::vector<std::pair<std::string, std::string>> cases{
        {"tts-bad-espeak-data", "phondata: has data version 0x20746f6e"},
        {"tts-espeak-phontab-cut", "phontab: table 51 starts past the end of the file"},
        {"tts-espeak-phonindex-cut", "phonindex: the instruction 0x6a06 at word 491 runs past the end"},
        {"tts-espeak-phondata-cut", "phondata: spectrum at byte 412552 (named by phonindex word 9420) ends"},
        {"tts-espeak-intonations-cut", "intonations: has no tune 's4', which the voice file"},
        {"tts-espeak-program-past-end",
            "phontab: table 1 'base1': the program of phoneme '@' starts at "
            "phonindex word 19634, past its end (19534 words)"},
    };
    for (const auto& [name, fault] : cases) {
        SCOPED_TRACE(name);
        ScratchDirectory scratch;
        const std::string broken = std::string(OMBRIX_FIXTURES_DIR) + "/broken/" + name;
        std::vector<std::string> arguments = {
            "refuse-then-speak", broken + "/model.onnx", broken + "/tokens.txt", broken + "/espeak-ng-data"};
        const std::vector<std::string> good
            = voiceArguments(std::string(OMBRIX_FIXTURES_DIR) + "/voice-en/espeak-ng-data");
        arguments.insert(arguments.end(), good.begin() + 1, good.end());

        const ProbeOutput probe = runProbe(scratch, arguments, scratch.path.string());
        ASSERT_TRUE(probe.result.succeeded()) << probe.result.describe();
        EXPECT_EQ(probe.refused, "1");
        const long rejected = probe.indexOf(
            "error|[SherpaTTSNode] Model files rejected: " + broken + "/espeak-ng-data/" + fault);
        ASSERT_GE(rejected, 0) << probe.result.standardOutput;
        const long failed
            = probe.indexOf("error|[SherpaTTSNode] Failed to create Sherpa Offline TTS.", rejected);
        EXPECT_EQ(failed, rejected + 1);
        EXPECT_EQ(
            probe.indexOf("error|[SherpaTTSNode] Check that the model files exist and are valid", failed),
            failed + 1);
        // The bad directory never reached espeak-ng: the one engine made is the good
        // voice's, and it speaks in full.
        const auto creations = std::count_if(probe.log.begin(), probe.log.end(), [](const std::string& line) {
            return line.find("Calling SherpaOnnxCreateOfflineTts") != std::string::npos;
        });
        EXPECT_EQ(creations, 1);
        EXPECT_GT(probe.indexOf("Calling SherpaOnnxCreateOfflineTts"), failed);
        EXPECT_EQ(probe.loaded, "1");
        EXPECT_EQ(probe.samples, std::to_string(kTwoSentencesSamples));
        EXPECT_EQ(probe.espeak, std::string(OMBRIX_FIXTURES_DIR) + "/voice-en/espeak-ng-data");
    }
}

} // namespace
} // namespace ombrix::testing
