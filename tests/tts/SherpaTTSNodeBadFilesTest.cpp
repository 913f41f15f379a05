// Voices whose files would make sherpa-onnx end the process: the node refuses every broken
// voice of the fixture corpus without creating an engine, says which file is at fault, and
// stays usable for a good voice. Good voices are checked once per set of files.

#include "TTSNodeTestSupport.h"
#include "support/BrokenCorpus.h"
#include "support/LogCapture.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "models/ModelFileChecker.h"

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;
using namespace extensions::sherpa;

const fs::path kBroken = fs::path(OMBRIX_FIXTURES_DIR) / "broken";
const std::string kRejected = "[SherpaTTSNode] Model files rejected: ";
const std::string kCreateFailed = "[SherpaTTSNode] Failed to create Sherpa Offline TTS.";
const std::string kCheckFiles = "[SherpaTTSNode] Check that the model files exist and are valid";
const std::string kNotInitialised
    = "[SherpaTTSNode] synthesize is called but TTS instance is not initialized.";

/// The file each known voice case has wrong; cases added later must at least name their
/// own directory.
const std::map<std::string, std::string> kFileAtFault{
    {"tts-garbage-model", "model.onnx"},
    {"tts-onnx-named-ort", "model.ort"},
    {"tts-no-metadata", "model.onnx"},
    {"tts-missing-sample-rate", "model.onnx"},
    {"tts-unknown-voice", "model.onnx"},
    {"tts-tokens-crlf", "tokens.txt"},
    {"tts-tokens-blank-line", "tokens.txt"},
    {"tts-tokens-trailing-blank-line", "tokens.txt"},
    {"tts-tokens-no-pad", "tokens.txt"},
    {"tts-tokens-duplicate", "tokens.txt"},
    {"tts-bad-espeak-data", "espeak-ng-data"},
    {"tts-sample-rate-1", "model.onnx"},
    {"tts-espeak-phontab-cut", "espeak-ng-data/phontab"},
    {"tts-espeak-phonindex-cut", "espeak-ng-data/phonindex"},
    {"tts-espeak-phondata-cut", "espeak-ng-data/phondata"},
    {"tts-espeak-intonations-cut", "espeak-ng-data/intonations"},
    {"tts-espeak-program-past-end", "espeak-ng-data/phontab"},
};

struct BrokenVoice {
    std::string name;
    VoiceFiles files;
};

/// Every "tts" case of broken/MANIFEST.txt.
std::vector<BrokenVoice> brokenVoices()
{
    std::vector<BrokenVoice> voices;
    for (const BrokenCase& broken : readBrokenCorpus(kBroken, true)) {
        voices.push_back({broken.name, {broken.model, broken.tokens, broken.third}});
    }
    return voices;
}

bool loadThroughAction(SherpaTTSNode& node, const VoiceFiles& voice)
{
    const Result<OXAny> result = node.callAction("loadModel",
        OXAnyMap{{"modelPath", OXAny(voice.model)}, {"tokensPath", OXAny(voice.tokens)},
            {"dataPath", OXAny(voice.dataDirectory)}});
    if (!result.isSuccess()) {
        throw std::runtime_error("loadModel action failed");
    }
    return result.getValue().convert<bool>();
}

/// Asserts the refusal lines of one failed load, in order and adjacent, with the problem
/// naming `atFault`, and that no engine creation was attempted.
void expectRefused(const LogCapture& log, const std::string& atFault)
{
    const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
    ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
    EXPECT_TRUE(errors[0].starts_with(kRejected)) << errors[0];
    EXPECT_NE(errors[0].find(atFault), std::string::npos) << errors[0];
    EXPECT_EQ(errors[1], kCreateFailed);
    EXPECT_EQ(errors[2], kCheckFiles);
    EXPECT_FALSE(log.contains("Calling SherpaOnnxCreateOfflineTts"));
}

/// The checker found next to this program, with no file checks on either side: what the
/// real library does with the files in the child decides alone.
ModelCheckerOverride libraryOnly()
{
    ModelCheckerOverride result;
    result.inProcessChecks = false;
    result.extraArguments = {"--skip-file-checks"};
    return result;
}

class SherpaTTSNodeBadFiles : public ::testing::Test {
protected:
    void SetUp() override { setModelCheckerOverrideForTesting(std::nullopt); }
    void TearDown() override { setModelCheckerOverrideForTesting(std::nullopt); }

    /// Loads the good fixture voice and has it speak one text.
    static void expectGoodVoiceSpeaks(SherpaTTSNode& node)
    {
        const VoiceFiles good = fixtureVoice("voice-en");
        ASSERT_TRUE(node.loadModel(good.model, good.tokens, good.dataDirectory));
        node.synthesize(kTwoSentences);
        const GeneratedAudio* audio = waitForPublished(node);
        ASSERT_NE(audio, nullptr);
        EXPECT_GT(audio->sampleCount, 0);
    }
};

TEST_F(SherpaTTSNodeBadFiles, EveryBrokenVoiceIsRefusedByNameAndAGoodVoiceLoadsAfterIt)
{
    const std::vector<BrokenVoice> corpus = brokenVoices();
    ASSERT_GE(corpus.size(), kFileAtFault.size()) << "MANIFEST.txt lists fewer voice cases than expected";
    const VoiceFiles good = fixtureVoice("voice-en");
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());

    // First with the usual checks, then with only the real library in the checker deciding,
    // so that a fault the cheap checks would miss still never reaches this process.
    for (const bool libraryDecides : {false, true}) {
        SCOPED_TRACE(libraryDecides ? "library only" : "usual checks");
        setModelCheckerOverrideForTesting(libraryDecides ? std::optional(libraryOnly()) : std::nullopt);
        for (const BrokenVoice& broken : corpus) {
            SCOPED_TRACE(broken.name);
            const auto known = kFileAtFault.find(broken.name);
            const fs::path atFault
                = kBroken / broken.name / (known != kFileAtFault.end() ? known->second : "");
            // The library's own messages name the case directory, not always the file.
            const std::string named = libraryDecides ? (kBroken / broken.name).string() : atFault.string();
            {
                LogCapture log;
                EXPECT_FALSE(
                    node->loadModel(broken.files.model, broken.files.tokens, broken.files.dataDirectory));
                expectRefused(log, named);
                EXPECT_STREQ(std::getenv("ESPEAK_DATA_PATH"), broken.files.dataDirectory.c_str());
                if (!libraryDecides) {
                    EXPECT_TRUE(
                        log.linesAt(LogLevel::Error).front().starts_with(kRejected + atFault.string()));
                }
                node->synthesize("Hello.");
                EXPECT_TRUE(log.waitFor(kNotInitialised));
            }
            ASSERT_TRUE(node->loadModel(good.model, good.tokens, good.dataDirectory));
            {
                LogCapture log;
                EXPECT_FALSE(loadThroughAction(*node, broken.files));
                expectRefused(log, named);
                node->callAction("synthesize", OXAnyMap{{"text", OXAny("Hello.")}});
                EXPECT_TRUE(log.waitFor(kNotInitialised));
            }
            ASSERT_TRUE(loadThroughAction(*node, good));
        }
        expectGoodVoiceSpeaks(*node);
    }
}

TEST_F(SherpaTTSNodeBadFiles, WithACheckerThatCannotStartEveryBrokenVoiceIsStillRefused)
{
    // OMBRIX_SHERPA_CHECKER names a program that ends before it checks anything, as a
    // broken installation would: only the checks in the node's own process stand between
    // the corpus and the engine. Each case loads (and, had it loaded, speaks) in a probe
    // process of its own, so that one that got through ends or hangs only the probe.
    // An espeak-ng voice name that the data does not define: espeak-ng looks voices up by
    // its own rules when the engine first speaks; no structural check can tell.
    const std::set<std::string> kEngineOnly{"tts-unknown-voice"};
    const std::vector<BrokenVoice> corpus = brokenVoices();
    ASSERT_GE(corpus.size(), kFileAtFault.size());
    for (const BrokenVoice& broken : corpus) {
        SCOPED_TRACE(broken.name);
        const auto known = kFileAtFault.find(broken.name);
        const fs::path atFault = kBroken / broken.name / (known != kFileAtFault.end() ? known->second : "");
        if (kEngineOnly.contains(broken.name)) {
            continue;
        }
        SubprocessOptions probe;
        probe.arguments
            = {"load-and-speak", broken.files.model, broken.files.tokens, broken.files.dataDirectory};
        probe.environment[kModelCheckerEnvironmentVariable] = "/bin/false";
        probe.timeout = std::chrono::seconds(60);
        const SubprocessResult run = runSubprocess(OMBRIX_TTS_NODE_PROBE, probe);
        EXPECT_TRUE(run.succeeded()) << run.describe();
        EXPECT_FALSE(run.timedOut);
        EXPECT_NE(run.standardOutput.find("loaded=0\n"), std::string::npos) << run.standardOutput;
        EXPECT_NE(run.standardOutput.find("log=error|" + kRejected + atFault.string()), std::string::npos)
            << run.standardOutput;
        // The node constructed with the default model first; nothing is created after the load.
        const std::size_t load = run.standardOutput.rfind("Loading TTS model from: " + broken.files.model);
        ASSERT_NE(load, std::string::npos) << run.standardOutput;
        EXPECT_EQ(run.standardOutput.find("Calling SherpaOnnxCreateOfflineTts", load), std::string::npos)
            << run.standardOutput;
    }
    // What only a run of the engine shows: the voice loads, fails on its first text with a
    // line saying so, and the process goes on.
    for (const std::string& name : kEngineOnly) {
        const fs::path directory = kBroken / name;
        SubprocessOptions probe;
        probe.arguments = {"load-and-speak", (directory / "model.onnx").string(),
            (directory / "tokens.txt").string(), (directory / "espeak-ng-data").string()};
        probe.environment[kModelCheckerEnvironmentVariable] = "/bin/false";
        probe.timeout = std::chrono::seconds(60);
        const SubprocessResult run = runSubprocess(OMBRIX_TTS_NODE_PROBE, probe);
        EXPECT_TRUE(run.succeeded()) << name << ": " << run.describe();
        EXPECT_NE(run.standardOutput.find("log=error|[SherpaTTSNode] Speech engine failed on the text"),
            std::string::npos)
            << name << ": " << run.standardOutput;
    }
    const VoiceFiles good = fixtureVoice("voice-en");
    SubprocessOptions probe;
    probe.arguments = {"load-and-speak", good.model, good.tokens, good.dataDirectory};
    probe.environment[kModelCheckerEnvironmentVariable] = "/bin/false";
    const SubprocessResult run = runSubprocess(OMBRIX_TTS_NODE_PROBE, probe);
    EXPECT_TRUE(run.succeeded()) << run.describe();
    EXPECT_NE(run.standardOutput.find("loaded=1\n"), std::string::npos) << run.standardOutput;
    EXPECT_NE(run.standardOutput.find("ended before it started checking"), std::string::npos)
        << run.standardOutput;
}

/// The tokens file to replace, between the check and the engine's creation.
std::string swappedTokens;

void replaceSwappedTokens()
{
    // A new file (a new inode) with the same contents, as an update would install it.
    fs::copy_file(swappedTokens, swappedTokens + ".new", fs::copy_options::overwrite_existing);
    fs::rename(swappedTokens + ".new", swappedTokens);
}

TEST_F(SherpaTTSNodeBadFiles, AFileReplacedBetweenTheCheckAndTheEngineIsNotKept)
{
    // The library opens the files by their paths after the check; the node compares their
    // identity once the engine exists and refuses one built from other files.
    std::string scratch = (fs::temp_directory_path() / "ombrix-tts-swap-XXXXXX").string();
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
    const fs::path voice = fs::path(scratch) / "voice";
    fs::copy(fs::path(OMBRIX_FIXTURES_DIR) / "voice-en", voice, fs::copy_options::recursive);
    const VoiceFiles files{(voice / "model.onnx").string(), (voice / "tokens.txt").string(),
        (voice / "espeak-ng-data").string()};
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    swappedTokens = files.tokens;
    SherpaTTSNode::Internals::TestHooks::beforeEngineCreated.store(&replaceSwappedTokens);
    {
        LogCapture log;
        EXPECT_FALSE(node->loadModel(files.model, files.tokens, files.dataDirectory));
        const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
        ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
        EXPECT_EQ(errors[0],
            kRejected + files.tokens
                + ": the file was replaced or changed after it was checked, while the engine read it");
        EXPECT_EQ(errors[1], kCreateFailed);
        EXPECT_EQ(errors[2], kCheckFiles);
        node->synthesize("Hello.");
        EXPECT_TRUE(log.waitFor(kNotInitialised));
    }
    SherpaTTSNode::Internals::TestHooks::beforeEngineCreated.store(nullptr);
    EXPECT_TRUE(node->loadModel(files.model, files.tokens, files.dataDirectory));
    node.reset();
    fs::remove_all(scratch);
}

/// The checked file to replace by `brokenReplacement` between the check and the engine.
std::string brokenTarget;
std::string brokenReplacement;

void replaceByBrokenFile()
{
    fs::copy_file(brokenReplacement, brokenTarget + ".new", fs::copy_options::overwrite_existing);
    fs::rename(brokenTarget + ".new", brokenTarget);
}

/// Loads voices with the model or tokens replaced by broken contents after their check;
/// ends this process with status 0 when every load was refused only for the changed path.
[[noreturn]] void loadVoicesWithBrokenReplacements()
{
    const fs::path defaultVoice = fs::path(OMBRIX_BUILD_DIR) / "share" / "files" / "en_GB"
        / "vits-piper-en_GB-southern_english_female-low";
    struct Case {
        fs::path voice;
        std::string modelName;
        bool model; ///< the model is replaced, else the tokens
        std::string broken;
    };
    const std::vector<Case> cases{
        {fs::path(OMBRIX_FIXTURES_DIR) / "voice-en", "model.onnx", true, "tts-garbage-model/model.onnx"},
        {fs::path(OMBRIX_FIXTURES_DIR) / "voice-en", "model.onnx", false, "tts-tokens-no-pad/tokens.txt"},
        // onnxruntime reads a *.ort name as ORT format: a link keeps the name.
        {defaultVoice, "en_GB-southern_english_female-low.with_runtime_opt.ort", true,
            "tts-garbage-model/model.onnx"},
    };
    std::string failures;
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    for (const Case& c : cases) {
        std::string scratch = (fs::temp_directory_path() / "ombrix-tts-swap-XXXXXX").string();
        if (::mkdtemp(scratch.data()) == nullptr) {
            std::_Exit(2);
        }
        const fs::path voice = fs::path(scratch) / "voice";
        fs::copy(c.voice, voice, fs::copy_options::recursive);
        const VoiceFiles files{(voice / c.modelName).string(), (voice / "tokens.txt").string(),
            (voice / "espeak-ng-data").string()};
        brokenTarget = c.model ? files.model : files.tokens;
        brokenReplacement = (kBroken / c.broken).string();
        SherpaTTSNode::Internals::TestHooks::beforeEngineCreated.store(&replaceByBrokenFile);
        LogCapture log;
        const bool loaded = node->loadModel(files.model, files.tokens, files.dataDirectory);
        SherpaTTSNode::Internals::TestHooks::beforeEngineCreated.store(nullptr);
        const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
        const std::vector<std::string> expected{kRejected + brokenTarget
                + ": the file was replaced or changed after it was checked, while the engine read it",
            kCreateFailed, kCheckFiles};
        if (loaded || errors != expected) {
            failures += c.modelName + " with " + c.broken + ": " + ::testing::PrintToString(errors) + "\n";
        }
        fs::remove_all(scratch);
    }
    node.reset();
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

TEST_F(SherpaTTSNodeBadFiles, TheEngineReadsTheCheckedFilesNotTheirBrokenReplacements)
{
    // The model or tokens is replaced, after the check, by contents the library cannot
    // use (a model that is not one, tokens without the pad symbol). The engine reads the
    // checked descriptors instead: it is created from the good files, and only then
    // refused because a path changed. In a process of its own, which a regression may end.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(loadVoicesWithBrokenReplacements(), ::testing::ExitedWithCode(0), "");
}

TEST_F(SherpaTTSNodeBadFiles, BadPhonemeDataIsRefusedAfterAVoiceIsLoaded)
{
    // espeak-ng of this process is already initialised from the good voice and would
    // ignore the directory; the files are refused all the same.
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    expectGoodVoiceSpeaks(*node);
    const fs::path broken = kBroken / "tts-bad-espeak-data";
    LogCapture log;
    EXPECT_FALSE(node->loadModel((broken / "model.onnx").string(), (broken / "tokens.txt").string(),
        (broken / "espeak-ng-data").string()));
    expectRefused(log, (broken / "espeak-ng-data").string());
    node->synthesize("Hello.");
    EXPECT_TRUE(log.waitFor(kNotInitialised));
    expectGoodVoiceSpeaks(*node);
}

TEST_F(SherpaTTSNodeBadFiles, AFifoInAnyFilePositionIsRefusedByNameWithoutBlocking)
{
    // Opening a FIFO for reading waits for a writer, and none ever comes: a load that
    // opened one (or an espeak-ng that did) would never return.
    std::string scratch = (fs::temp_directory_path() / "ombrix-tts-fifo-XXXXXX").string();
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
    const std::string fifo = scratch + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const VoiceFiles good = fixtureVoice("voice-en");
    // The good data directory, entry by entry (links), with `name` a FIFO instead.
    const auto dataWithFifo = [&](const std::string& name) {
        const fs::path directory = fs::path(scratch) / ("data-" + name);
        fs::create_directory(directory);
        for (const fs::directory_entry& entry : fs::directory_iterator(good.dataDirectory)) {
            if (entry.path().filename() != name) {
                fs::create_symlink(entry.path(), directory / entry.path().filename());
            }
        }
        EXPECT_EQ(::mkfifo((directory / name).c_str(), 0600), 0);
        return std::pair{directory.string(), (directory / name).string()};
    };
    const auto [tableData, tableFifo] = dataWithFifo("phontab");
    const auto [dictionaryData, dictionaryFifo] = dataWithFifo("en_dict");
    const std::vector<std::pair<VoiceFiles, std::string>> cases{
        {{fifo, good.tokens, good.dataDirectory}, fifo},
        {{good.model, fifo, good.dataDirectory}, fifo},
        {{good.model, good.tokens, tableData}, tableFifo},
        {{good.model, good.tokens, dictionaryData}, dictionaryFifo},
    };
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    for (const bool libraryDecides : {false, true}) {
        SCOPED_TRACE(libraryDecides ? "library only" : "usual checks");
        setModelCheckerOverrideForTesting(libraryDecides ? std::optional(libraryOnly()) : std::nullopt);
        for (const auto& [voice, atFault] : cases) {
            SCOPED_TRACE(atFault);
            LogCapture log;
            EXPECT_FALSE(node->loadModel(voice.model, voice.tokens, voice.dataDirectory));
            expectRefused(log, atFault);
            EXPECT_TRUE(
                log.linesAt(LogLevel::Error).front().starts_with(kRejected + atFault + ": is a FIFO"));
        }
    }
    expectGoodVoiceSpeaks(*node);
    fs::remove_all(scratch);
}

TEST_F(SherpaTTSNodeBadFiles, AGoodVoiceIsCheckedOnceAndSpeakingNeverStartsTheChecker)
{
    const VoiceFiles good = fixtureVoice("voice-en");
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    forgetCheckedModelFiles();
    const unsigned before = modelCheckerSpawnCountForTesting();

    ASSERT_TRUE(node->loadModel(good.model, good.tokens, good.dataDirectory));
    EXPECT_EQ(modelCheckerSpawnCountForTesting(), before + 1);
    ASSERT_TRUE(loadThroughAction(*node, good));
    EXPECT_EQ(modelCheckerSpawnCountForTesting(), before + 1);

    for (const char* text : {"Hello.", kTwoSentences}) {
        const GeneratedAudio* previous = node->getInternalsForTesting().latestAudio.load();
        node->synthesize(text);
        ASSERT_NE(waitForPublished(*node, previous), nullptr);
    }
    EXPECT_EQ(modelCheckerSpawnCountForTesting(), before + 1);
}

} // namespace
} // namespace ombrix::testing
