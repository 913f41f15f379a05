// Recognisers whose files would make sherpa-onnx end the process: the node refuses every
// broken recogniser of the fixture corpus without creating one, says which file is at
// fault, and stays usable for a good model. A recogniser call that throws unloads the
// model instead of leaving the node. Good models are checked once per set of files.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "BrokenCorpus.h"
#include "LogCapture.h"
#include "Subprocess.h"
#include "TestSignals.h"
#include "models/ModelFileChecker.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "stt/SherpaSTTNodeInternals.h"
#include "tests/stt/SttTestSupport.h"

namespace {

namespace fs = std::filesystem;
using ombrix::AudioBuffer;
using ombrix::AudioBus;
using ombrix::AudioBusFormat;
using ombrix::LogLevel;
using ombrix::testing::LogCapture;
using ombrix::testing::makeToneBursts;
using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;
using ombrix::testing::SubprocessResult;
using namespace ombrix::extensions::sherpa;
using namespace ombrix::testing::stt;

constexpr int k16k = 16000;
const fs::path kBroken = fs::path(OMBRIX_FIXTURES_DIR) / "broken";
const std::string kRejected = "[SherpaSTTNode] Model files rejected: ";
const std::string kCreateFailed = "[SherpaSTTNode] Sherpa failed to create recognizer";
const std::string kCheckFiles = "[SherpaSTTNode] Check that the model files exist and are valid";

/// The file each known recogniser case has wrong; cases added later must at least name
/// their own directory.
const std::map<std::string, std::string> kFileAtFault{
    {"asr-garbage-model", "model.onnx"},
    {"asr-onnx-named-ort", "model.ort"},
    {"asr-missing-metadata", "model.onnx"},
    {"asr-tokens-no-blank", "tokens.txt"},
    {"asr-corrupt-graph", "HLG.fst"},
    {"asr-graph-unknown-label", "HLG.fst"},
    {"asr-decode-chunk-len-0", "model.onnx"},
    {"asr-stack-lists-unequal", "model.onnx"},
    {"asr-graph-negative-epsilon-cycle", "HLG.fst"},
    {"asr-graph-no-final-state", "HLG.fst"},
};

struct BrokenRecognizer {
    std::string name;
    std::string model;
    std::string tokens;
    std::string graph;
};

/// Every "asr" case of broken/MANIFEST.txt.
std::vector<BrokenRecognizer> brokenRecognizers()
{
    std::vector<BrokenRecognizer> cases;
    for (const ombrix::testing::BrokenCase& broken : ombrix::testing::readBrokenCorpus(kBroken, false)) {
        cases.push_back({broken.name, broken.model, broken.tokens, broken.third});
    }
    return cases;
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

std::string transcribeTones(SherpaSTTNode& node, const std::string& pattern)
{
    feedAt(node, makeToneBursts(pattern, k16k), k16k);
    return node.transcribe();
}

class SherpaSTTNodeBadFiles : public ::testing::Test {
protected:
    void SetUp() override { setModelCheckerOverrideForTesting(std::nullopt); }
    void TearDown() override { setModelCheckerOverrideForTesting(std::nullopt); }
};

TEST_F(SherpaSTTNodeBadFiles, EveryBrokenRecognizerIsRefusedByNameAndAGoodModelLoadsAfterIt)
{
    const std::vector<BrokenRecognizer> corpus = brokenRecognizers();
    ASSERT_GE(corpus.size(), kFileAtFault.size())
        << "MANIFEST.txt lists fewer recogniser cases than expected";
    SherpaSTTNode node;

    // First with the usual checks, then with only the real library in the checker deciding,
    // so that a fault the cheap checks would miss still never reaches this process.
    for (const bool libraryDecides : {false, true}) {
        SCOPED_TRACE(libraryDecides ? "library only" : "usual checks");
        setModelCheckerOverrideForTesting(libraryDecides ? std::optional(libraryOnly()) : std::nullopt);
        for (const BrokenRecognizer& broken : corpus) {
            SCOPED_TRACE(broken.name);
            const auto known = kFileAtFault.find(broken.name);
            const fs::path atFault
                = kBroken / broken.name / (known != kFileAtFault.end() ? known->second : "");
            {
                LogCapture log;
                EXPECT_FALSE(node.loadModel(broken.model, broken.tokens, broken.graph));
                const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
                ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
                // The library's own messages name the case directory, not always the file.
                EXPECT_TRUE(errors[0].starts_with(kRejected)) << errors[0];
                EXPECT_NE(
                    errors[0].find(libraryDecides ? (kBroken / broken.name).string() : atFault.string()),
                    std::string::npos)
                    << errors[0];
                if (!libraryDecides) {
                    EXPECT_TRUE(errors[0].starts_with(kRejected + atFault.string())) << errors[0];
                }
                EXPECT_EQ(errors[1], kCreateFailed);
                EXPECT_EQ(errors[2], kCheckFiles);
                EXPECT_FALSE(log.contains("Calling SherpaOnnxCreateOnlineRecognizer"));
                // Unloaded: the audio is drained and dropped.
                EXPECT_EQ(transcribeTones(node, "A_B_A"), "");
            }
            ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
            EXPECT_EQ(transcribeTones(node, "A_B_A"), "ABA");
        }
    }
}

TEST_F(SherpaSTTNodeBadFiles, WithACheckerThatCannotStartEveryBrokenRecognizerIsStillRefused)
{
    // OMBRIX_SHERPA_CHECKER names a program that ends before it checks anything, as a
    // broken installation would: only the checks in the node's own process stand between
    // the corpus and the engine. Each case loads and transcribes in a probe process of its
    // own, so that one that got through ends or hangs only the probe.
    const std::vector<BrokenRecognizer> corpus = brokenRecognizers();
    ASSERT_GE(corpus.size(), kFileAtFault.size());
    for (const BrokenRecognizer& broken : corpus) {
        SCOPED_TRACE(broken.name);
        const auto known = kFileAtFault.find(broken.name);
        const fs::path atFault = kBroken / broken.name / (known != kFileAtFault.end() ? known->second : "");
        SubprocessOptions probe;
        probe.arguments = {"--load", broken.model, broken.tokens, broken.graph, "A_B_A"};
        probe.environment[kModelCheckerEnvironmentVariable] = "/bin/false";
        probe.timeout = std::chrono::seconds(60);
        const SubprocessResult run = runSubprocess(OMBRIX_STT_PROBE, probe);
        EXPECT_TRUE(run.succeeded()) << run.describe();
        EXPECT_FALSE(run.timedOut);
        EXPECT_NE(run.standardOutput.find("loaded\t0\n"), std::string::npos) << run.standardOutput;
        EXPECT_NE(run.standardOutput.find("error\t" + kRejected + atFault.string()), std::string::npos)
            << run.standardOutput;
        // The node constructed with the default model first; nothing is created after the load.
        const std::size_t load = run.standardOutput.rfind("Loading STT model from: " + broken.model);
        ASSERT_NE(load, std::string::npos) << run.standardOutput;
        EXPECT_EQ(
            run.standardOutput.find("Calling SherpaOnnxCreateOnlineRecognizer", load), std::string::npos)
            << run.standardOutput;
    }
    // The same probe with a good recogniser: it loads without the checker and transcribes.
    SubprocessOptions good;
    good.arguments = {"--load", kAsrModel, kAsrTokens, kAsrGraph, "A_B_A"};
    good.environment[kModelCheckerEnvironmentVariable] = "/bin/false";
    const SubprocessResult run = runSubprocess(OMBRIX_STT_PROBE, good);
    EXPECT_TRUE(run.succeeded()) << run.describe();
    EXPECT_NE(run.standardOutput.find("loaded\t1\n"), std::string::npos) << run.standardOutput;
    EXPECT_NE(run.standardOutput.find("text\tABA\n"), std::string::npos) << run.standardOutput;
    EXPECT_NE(run.standardOutput.find("ended before it started checking"), std::string::npos)
        << run.standardOutput;
}

TEST_F(SherpaSTTNodeBadFiles, AGoodModelIsCheckedOnceAndTranscribingNeverStartsTheChecker)
{
    SherpaSTTNode node;
    forgetCheckedModelFiles();
    const unsigned before = modelCheckerSpawnCountForTesting();

    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    EXPECT_EQ(modelCheckerSpawnCountForTesting(), before + 1);
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    EXPECT_TRUE(checkRecognizerFiles(kAsrModel, kAsrTokens, kAsrGraph).fromCache);

    EXPECT_EQ(transcribeTones(node, "A_B_A"), "ABA");
    EXPECT_EQ(transcribeTones(node, "B"), "ABAB");
    EXPECT_EQ(modelCheckerSpawnCountForTesting(), before + 1);
}

TEST_F(SherpaSTTNodeBadFiles, AFifoInAnyFilePositionIsRefusedByNameWithoutBlocking)
{
    // Opening a FIFO for reading waits for a writer, and none ever comes: a load that
    // opened one would never return.
    std::string scratch = (fs::temp_directory_path() / "ombrix-stt-fifo-XXXXXX").string();
    ASSERT_NE(::mkdtemp(scratch.data()), nullptr);
    const std::string fifo = scratch + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    SherpaSTTNode node;
    for (const bool libraryDecides : {false, true}) {
        SCOPED_TRACE(libraryDecides ? "library only" : "usual checks");
        setModelCheckerOverrideForTesting(libraryDecides ? std::optional(libraryOnly()) : std::nullopt);
        for (const auto& [model, tokens, graph] : {std::tuple{fifo, kAsrTokens, kAsrGraph},
                 std::tuple{kAsrModel, fifo, kAsrGraph}, std::tuple{kAsrModel, kAsrTokens, fifo}}) {
            LogCapture log;
            EXPECT_FALSE(node.loadModel(model, tokens, graph));
            const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
            ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
            EXPECT_TRUE(errors[0].starts_with(kRejected + fifo + ": is a FIFO")) << errors[0];
            EXPECT_EQ(errors[1], kCreateFailed);
            EXPECT_EQ(errors[2], kCheckFiles);
        }
    }
    ASSERT_TRUE(node.loadModel(kAsrModel, kAsrTokens, kAsrGraph));
    EXPECT_EQ(transcribeTones(node, "A_B_A"), "ABA");
    fs::remove_all(scratch);
}

// --- A recogniser that throws ----------------------------------------------------------

enum class Throwing { Nothing, Create, Stream, Decode, Result };
Throwing throwing = Throwing::Nothing;

void throwIf(Throwing call)
{
    if (throwing == call) {
        throw std::runtime_error("injected failure");
    }
}

const OnlineRecognizerApi kThrowingLibrary{
    &checkRecognizerFiles,
    [](const SherpaOnnxOnlineRecognizerConfig* config) {
        throwIf(Throwing::Create);
        return SherpaOnnxCreateOnlineRecognizer(config);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer) {
        throwIf(Throwing::Stream);
        return SherpaOnnxCreateOnlineStream(recognizer);
    },
    &SherpaOnnxOnlineStreamAcceptWaveform,
    &SherpaOnnxIsOnlineStreamReady,
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        throwIf(Throwing::Decode);
        SherpaOnnxDecodeOnlineStream(recognizer, stream);
    },
    [](const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream) {
        throwIf(Throwing::Result);
        return SherpaOnnxGetOnlineStreamResult(recognizer, stream);
    },
    &SherpaOnnxOnlineStreamIsEndpoint,
    &SherpaOnnxOnlineStreamReset,
};

/// Stores `pattern` at 16000 Hz in one block.
void store(SherpaSTTNode::Internals& internals, const std::string& pattern)
{
    std::vector<float> samples = makeToneBursts(pattern, k16k);
    float* channels[] = {samples.data()};
    AudioBuffer<float> buffer(channels, 1, static_cast<unsigned>(samples.size()), false, k16k);
    AudioBus bus(AudioBusFormat(k16k, 1));
    bus.setBuffer(&buffer);
    internals.setBusFormat(AudioBusFormat(k16k, 1));
    ASSERT_TRUE(internals.consume(bus));
}

TEST(SherpaSTTNodeThrowingRecognizer, AThrowingCallUnloadsTheModelAndTheNextLoadWorks)
{
    throwing = Throwing::Nothing;
    SherpaSTTNode::Internals internals(SherpaSTTNode::kInputBufferFrames, kThrowingLibrary);

    const std::vector<std::pair<Throwing, std::vector<std::string>>> creations{
        {Throwing::Create,
            {"[SherpaSTTNode] SherpaOnnxCreateOnlineRecognizer threw: injected failure", kCreateFailed,
                kCheckFiles}},
        {Throwing::Stream,
            {"[SherpaSTTNode] SherpaOnnxCreateOnlineStream threw: injected failure",
                "[SherpaSTTNode] Failed to create online stream"}},
    };
    for (const auto& [call, expected] : creations) {
        throwing = call;
        LogCapture log;
        EXPECT_FALSE(internals.loadSherpaModel(kAsrModel, kAsrTokens, kAsrGraph));
        EXPECT_EQ(log.linesAt(LogLevel::Error), expected);
        EXPECT_EQ(internals.recognizer, nullptr);
        EXPECT_EQ(internals.stream, nullptr);
    }

    const std::vector<std::pair<Throwing, std::string>> uses{
        {Throwing::Decode,
            "[SherpaSTTNode] Recognizer threw while decoding, model unloaded: injected failure"},
        {Throwing::Result,
            "[SherpaSTTNode] Recognizer threw while reading the text, model unloaded: injected failure"},
    };
    for (const auto& [call, expected] : uses) {
        throwing = Throwing::Nothing;
        ASSERT_TRUE(internals.loadSherpaModel(kAsrModel, kAsrTokens, kAsrGraph));
        store(internals, "A_B");
        EXPECT_EQ(internals.transcribe(), "AB");
        throwing = call;
        store(internals, "A");
        LogCapture log;
        EXPECT_EQ(internals.transcribe(), "");
        EXPECT_EQ(log.linesAt(LogLevel::Error), std::vector<std::string>{expected});
        EXPECT_EQ(internals.recognizer, nullptr);
        EXPECT_EQ(internals.stream, nullptr);
        // Unloaded from then on: audio is dropped without a recogniser call.
        store(internals, "B");
        EXPECT_EQ(internals.transcribe(), "");
    }

    throwing = Throwing::Nothing;
    ASSERT_TRUE(internals.loadSherpaModel(kAsrModel, kAsrTokens, kAsrGraph));
    store(internals, "B_A");
    EXPECT_EQ(internals.transcribe(), "BA");
}

// --- A file replaced between the check and the recogniser's creation ------------------

/// The file to put in place of a checked one once the check has given its verdict.
std::string swapPath;
std::string swapWith;

const OnlineRecognizerApi kSwappingLibrary{
    [](const std::string& model, const std::string& tokens, const std::string& graph) {
        ModelCheckResult result = checkRecognizerFiles(model, tokens, graph);
        if (!swapPath.empty()) {
            // A new file (a new inode) under the same name, as an update would install it.
            fs::copy_file(swapWith, swapPath + ".new", fs::copy_options::overwrite_existing);
            fs::rename(swapPath + ".new", swapPath);
        }
        return result;
    },
    &SherpaOnnxCreateOnlineRecognizer,
    &SherpaOnnxCreateOnlineStream,
    &SherpaOnnxOnlineStreamAcceptWaveform,
    &SherpaOnnxIsOnlineStreamReady,
    &SherpaOnnxDecodeOnlineStream,
    &SherpaOnnxGetOnlineStreamResult,
    &SherpaOnnxOnlineStreamIsEndpoint,
    &SherpaOnnxOnlineStreamReset,
};

/// The recogniser fixture copied into a scratch directory of its own (files may be
/// replaced there), the model under `modelName`; removed when it goes.
struct ScratchRecognizer {
    explicit ScratchRecognizer(const std::string& modelName = "model.onnx")
    {
        std::string scratch = (fs::temp_directory_path() / "ombrix-stt-swap-XXXXXX").string();
        if (::mkdtemp(scratch.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        directory = scratch;
        fs::copy_file(fs::path(kAsrModel).parent_path() / modelName, directory / modelName);
        fs::copy_file(kAsrTokens, directory / "tokens.txt");
        fs::copy_file(kAsrGraph, directory / "HLG.fst");
        model = (directory / modelName).string();
        tokens = (directory / "tokens.txt").string();
        graph = (directory / "HLG.fst").string();
    }
    ~ScratchRecognizer()
    {
        std::error_code ignored;
        fs::remove_all(directory, ignored);
    }
    ScratchRecognizer(const ScratchRecognizer&) = delete;
    ScratchRecognizer& operator=(const ScratchRecognizer&) = delete;

    fs::path directory;
    std::string model;
    std::string tokens;
    std::string graph;
};

TEST(SherpaSTTNodeSwappedFiles, AGraphReplacedAfterItsCheckIsNotKept)
{
    // The node compares the files' identity once the recogniser exists and refuses one
    // when a file was replaced after the check: with the checked descriptors handed to
    // the library, and without them (as without /proc), when it opens the paths.
    for (const bool descriptors : {true, false}) {
        SCOPED_TRACE(descriptors ? "descriptors" : "paths");
        setDescriptorPassingForTesting(descriptors);
        const ScratchRecognizer files;
        SherpaSTTNode::Internals internals(SherpaSTTNode::kInputBufferFrames, kSwappingLibrary);
        swapPath = files.graph;
        swapWith = (fs::path(OMBRIX_FIXTURES_DIR) / "asr" / "HLG-only-a.fst").string();
        {
            LogCapture log;
            EXPECT_FALSE(internals.loadSherpaModel(files.model, files.tokens, files.graph));
            const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
            ASSERT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
            EXPECT_EQ(errors[0],
                kRejected + files.graph
                    + ": the file was replaced or changed after it was checked, while the engine read it");
            EXPECT_EQ(errors[1], kCreateFailed);
            EXPECT_EQ(errors[2], kCheckFiles);
            EXPECT_EQ(internals.recognizer, nullptr);
        }
        // Unchanged files (the replacement, now checked itself) load.
        swapPath.clear();
        ASSERT_TRUE(internals.loadSherpaModel(files.model, files.tokens, files.graph));
        store(internals, "A_B_A");
        EXPECT_EQ(internals.transcribe(), "AA");
    }
    setDescriptorPassingForTesting(true);
}

/// Loads the recogniser with each file replaced by broken contents after its check; ends
/// this process with status 0 when every load was refused only for the changed path.
[[noreturn]] void loadWithBrokenReplacements()
{
    const std::vector<std::tuple<std::string, std::string, std::string>> cases{
        {"model.onnx", "graph", "asr-corrupt-graph/HLG.fst"},
        {"model.onnx", "model", "asr-garbage-model/model.onnx"},
        {"model.onnx", "tokens", "asr-tokens-no-blank/tokens.txt"},
        // onnxruntime reads a *.ort name as ORT format: a link keeps the name.
        {"model.ort", "graph", "asr-corrupt-graph/HLG.fst"},
        {"model.ort", "tokens", "asr-tokens-no-blank/tokens.txt"},
    };
    std::string failures;
    for (const auto& [modelName, which, broken] : cases) {
        const ScratchRecognizer files(modelName);
        // (Made before the swap is armed: it loads the default model through the same calls.)
        SherpaSTTNode::Internals internals(SherpaSTTNode::kInputBufferFrames, kSwappingLibrary);
        swapPath = which == "graph" ? files.graph : which == "model" ? files.model : files.tokens;
        swapWith = (kBroken / broken).string();
        LogCapture log;
        const bool loaded = internals.loadSherpaModel(files.model, files.tokens, files.graph);
        const std::vector<std::string> errors = log.linesAt(LogLevel::Error);
        const std::vector<std::string> expected{kRejected + swapPath
                + ": the file was replaced or changed after it was checked, while the engine read it",
            kCreateFailed, kCheckFiles};
        if (loaded || errors != expected) {
            failures += modelName + " with " + broken + ": " + ::testing::PrintToString(errors) + "\n";
        }
        swapPath.clear();
    }
    std::fputs(failures.c_str(), stderr);
    std::fflush(stderr);
    std::_Exit(failures.empty() ? 0 : 1);
}

TEST(SherpaSTTNodeSwappedFiles, TheLibraryReadsTheCheckedFilesNotTheirBrokenReplacements)
{
    // Each file is replaced, after the check, by contents that end the process when the
    // library reads them (a graph that is not one, a model that is not one, tokens
    // without a blank). The library reads the checked descriptors instead: the recogniser
    // is created from the good files, and only then refused because a path changed. In a
    // process of its own, which a regression would end.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(loadWithBrokenReplacements(), ::testing::ExitedWithCode(0), "");
}

} // namespace
