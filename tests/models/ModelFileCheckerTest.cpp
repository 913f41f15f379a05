// The model checker runs the real sherpa-onnx on broken models in a child process. These
// tests hand it every broken fixture; the test process itself must survive all of them,
// and the verdicts must name the file at fault.

#include "models/ModelFileChecker.h"

#include "support/BrokenCorpus.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace ombrix::extensions::sherpa;
using ombrix::testing::BrokenCase;
using ombrix::testing::readBrokenCorpus;
using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;

const fs::path kFixtures = OMBRIX_FIXTURES_DIR;
const fs::path kBroken = kFixtures / "broken";
const fs::path kDefaultTree = fs::path(OMBRIX_BUILD_DIR) / "share" / "files";
const fs::path kCheckerProgram = fs::path(OMBRIX_LIB_DIR) / kModelCheckerProgramName;
const fs::path kFixtureProbe = fs::path(OMBRIX_BIN_DIR) / "fixture_probe";
const fs::path kModelCheckProbe = fs::path(OMBRIX_BIN_DIR) / "model_check_probe";

/// A directory under the system's temporary directory, removed with everything in it.
class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "ombrix-check-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    fs::path path;
};

struct ModelFiles {
    std::string model;
    std::string tokens;
    std::string third; ///< espeak-ng data directory or graph

    ModelCheckResult check(bool speech) const
    {
        return speech ? checkSpeechSynthesisFiles(model, tokens, third)
                      : checkRecognizerFiles(model, tokens, third);
    }
};

ModelFiles voiceIn(const fs::path& directory, const std::string& modelName = "model.onnx")
{
    return {(directory / modelName).string(), (directory / "tokens.txt").string(),
        (directory / "espeak-ng-data").string()};
}

ModelFiles recognizerIn(const fs::path& directory, const std::string& modelName = "model.onnx",
    const std::string& graphName = "HLG.fst")
{
    return {(directory / modelName).string(), (directory / "tokens.txt").string(),
        (directory / graphName).string()};
}

fs::path copyOf(const fs::path& from, const fs::path& to)
{
    fs::copy(from, to, fs::copy_options::recursive);
    return to;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

fs::path writeScript(const fs::path& path, const std::string& body)
{
    writeFile(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

/// Replaces `path` by a new file (a new inode) with `bytes`, as an installer would.
void replaceFile(const fs::path& path, const std::string& bytes)
{
    const fs::path replacement = path.string() + ".new";
    writeFile(replacement, bytes);
    fs::rename(replacement, path);
}

ModelCheckerOverride checkerOverride(
    std::string program, std::chrono::milliseconds timeout = kModelCheckTimeout)
{
    ModelCheckerOverride result;
    result.program = std::move(program);
    result.timeout = timeout;
    return result;
}

/// The checker found next to this program, with no file checks anywhere: what the real
/// library does with the files decides alone.
ModelCheckerOverride libraryOnly()
{
    ModelCheckerOverride result;
    result.inProcessChecks = false;
    result.extraArguments = {"--skip-file-checks"};
    return result;
}

ModelFiles filesOf(const BrokenCase& broken)
{
    return {broken.model, broken.tokens, broken.third};
}

std::vector<BrokenCase> brokenCorpus()
{
    return readBrokenCorpus(kBroken);
}

/// The file each known case has wrong (cases added to the corpus later are held to
/// naming their own directory).
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
    {"asr-garbage-model", "model.onnx"},
    {"asr-onnx-named-ort", "model.ort"},
    {"asr-missing-metadata", "model.onnx"},
    {"asr-tokens-no-blank", "tokens.txt"},
    {"asr-corrupt-graph", "HLG.fst"},
    {"asr-graph-unknown-label", "HLG.fst"},
    {"tts-espeak-dict-cut", "espeak-ng-data/en_dict"},
    {"tts-espeak-dict-empty", "espeak-ng-data/de_dict"},
    {"tts-espeak-jump-to-itself", "espeak-ng-data/phonindex"},
    {"asr-tokens-repeated-symbol", "tokens.txt"},
    {"asr-metadata-list-trailing-space", "model.onnx"},
    {"asr-graph-negative-epsilon-cycle", "HLG.fst"},
    {"asr-graph-no-final-state", "HLG.fst"},
};

// ---- decoding graphs made and damaged here --------------------------------------------------

/// The fixture recogniser's graph (three states, nine arcs; see make_asr_model.py).
const std::string kFixtureGraphText = "0 0 1 0\n0 1 2 1\n0 2 3 2\n1 0 1 0\n1 1 2 0\n1 2 3 2\n"
                                      "2 0 1 0\n2 1 2 1\n2 2 3 0\n0\n1\n2\n";
constexpr std::size_t kFixtureGraphArcs = 9;
// OpenFst's binary records: an arc is ilabel, olabel, weight, next state (4 bytes each);
// a const graph's state is its final weight, first arc, arc count and two epsilon counts.
constexpr std::size_t kArcRecordBytes = 16;
constexpr std::size_t kConstStateRecordBytes = 20;
constexpr std::size_t kConstArcCountOffset = 8;
// A chain of states, each with a blank arc to the next; one state deep inside has one
// more arc, easy to find in the binary file by its label, word and weight.
constexpr int kDeepStates = 3000;
constexpr int kDeepState = 2500;
constexpr int32_t kDeepLabel = 2;
constexpr int32_t kDeepWord = 7;
constexpr float kDeepWeight = 0.5F;
constexpr int32_t kMissingState = 1000000;

std::string deepGraphText()
{
    std::ostringstream text;
    for (int state = 0; state + 1 < kDeepStates; ++state) {
        text << state << ' ' << state + 1 << " 1 0\n";
        if (state == kDeepState) {
            text << state << ' ' << kDeepStates - 1 << ' ' << kDeepLabel << ' ' << kDeepWord << ' '
                 << kDeepWeight << '\n';
        }
    }
    text << kDeepStates - 1 << '\n';
    return text.str();
}

std::string compileGraph(const std::string& text, const std::string& arcType = "standard")
{
    SubprocessOptions compile;
    compile.arguments = {"--arc_type=" + arcType, "--fst_type=vector", "--keep_state_numbering"};
    compile.standardInput = text;
    const auto compiled = runSubprocess("fstcompile", compile);
    EXPECT_TRUE(compiled.succeeded()) << compiled.describe();
    return compiled.standardOutput;
}

std::string convertGraph(const fs::path& from, const std::string& fstType)
{
    SubprocessOptions convert;
    convert.arguments = {"--fst_type=" + fstType, from.string()};
    const auto converted = runSubprocess("fstconvert", convert);
    EXPECT_TRUE(converted.succeeded()) << converted.describe();
    return converted.standardOutput;
}

template <typename T>
std::string bytesOf(T value)
{
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

std::string int32Bytes(std::size_t value)
{
    return bytesOf(static_cast<uint32_t>(value));
}

std::string int64Bytes(int64_t value)
{
    return bytesOf(value);
}

std::string arcBytes(int32_t label, int32_t word, float weight, int32_t nextState)
{
    return bytesOf(label) + bytesOf(word) + bytesOf(weight) + bytesOf(nextState);
}

std::string replacedOnce(std::string bytes, const std::string& from, const std::string& to)
{
    const std::size_t at = bytes.find(from);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(bytes.find(from, at + 1), std::string::npos) << "the pattern is not unique";
    if (at != std::string::npos) {
        bytes.replace(at, from.size(), to);
    }
    return bytes;
}

/// Where a vector graph's header holds its state count: magic number, the type names
/// "vector" and "standard" (each after its length), version, flags, properties, start.
std::size_t vectorHeaderStatesOffset()
{
    return 4 + (4 + 6) + (4 + 8) + 4 + 4 + 8 + 8;
}

class ModelFileCheckerTest : public ::testing::Test {
protected:
    void SetUp() override { setModelCheckerOverrideForTesting(std::nullopt); }
    void TearDown() override { setModelCheckerOverrideForTesting(std::nullopt); }
};

TEST_F(ModelFileCheckerTest, AcceptsTheGoodModelsAndRemembersThem)
{
    // The fixture graph as a const FST, and one with epsilon input labels and word ids
    // far beyond the tokens (neither is compared with anything but its own states).
    TemporaryDirectory temporary;
    const fs::path asr = copyOf(kFixtures / "asr", temporary.path / "asr");
    writeFile(asr / "HLG-const.fst", convertGraph(asr / "HLG.fst", "const"));
    writeFile(
        asr / "epsilons.fst", compileGraph("0 1 0 0\n1 2 2 150000\n2 0 0 199999 0.25\n2 3 3 0\n3\n2\n"));
    const std::vector<std::pair<bool, ModelFiles>> good{
        {false, recognizerIn(asr, "model.onnx", "HLG-const.fst")},
        {false, recognizerIn(asr, "model.onnx", "epsilons.fst")},
        {true, voiceIn(kFixtures / "voice-en")},
        {true, voiceIn(kFixtures / "voice-de")},
        {true, voiceIn(kFixtures / "voice-22050")},
        // As the upstream piper export lays them out (and an older export of it).
        {true, voiceIn(kFixtures / "piper-16000")},
        {true, voiceIn(kFixtures / "piper-22050-old")},
        {true, voiceIn(kFixtures / "piper-44100-4-speakers")},
        {true,
            voiceIn(kDefaultTree / "en_GB" / "vits-piper-en_GB-southern_english_female-low",
                "en_GB-southern_english_female-low.with_runtime_opt.ort")},
        {true,
            voiceIn(kDefaultTree / "de_DE" / "vits-piper-de_DE-quorvane-low",
                "de_DE-quorvane-low.with_runtime_opt.ort")},
        {false, recognizerIn(kFixtures / "asr")},
        {false, recognizerIn(kFixtures / "asr", "model.ort", "HLG-only-a.fst")},
        // As icefall exports it: 500 outputs, disambiguation symbols beyond them in
        // tokens.txt, six encoder stacks, epsilon-input arcs; vector and const graphs.
        {false, recognizerIn(kFixtures / "asr-icefall")},
        {false, recognizerIn(kFixtures / "asr-icefall", "model.ort", "HLG-const.fst")},
        {false, recognizerIn(kDefaultTree, "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort")},
    };
    for (const auto& [speech, files] : good) {
        const ModelCheckResult first = files.check(speech);
        EXPECT_TRUE(first.ok) << files.model << ": " << first.problem;
        EXPECT_FALSE(first.fromCache) << files.model;
        EXPECT_TRUE(first.problem.empty());
        const ModelCheckResult second = files.check(speech);
        EXPECT_TRUE(second.ok) << files.model;
        EXPECT_TRUE(second.fromCache) << files.model;
    }
    forgetCheckedModelFiles();
    EXPECT_FALSE(good.front().second.check(true).fromCache);
}

TEST_F(ModelFileCheckerTest, RejectsEveryBrokenFixtureNamingTheFileAtFault)
{
    const std::vector<BrokenCase> corpus = brokenCorpus();
    ASSERT_GE(corpus.size(), kFileAtFault.size()) << "MANIFEST.txt lists fewer cases than expected";
    for (const BrokenCase& broken : corpus) {
        const ModelCheckResult result = filesOf(broken).check(broken.speech);
        EXPECT_FALSE(result.ok) << broken.name;
        EXPECT_FALSE(result.fromCache) << broken.name;
        const auto known = kFileAtFault.find(broken.name);
        const fs::path atFault = kBroken / broken.name / (known != kFileAtFault.end() ? known->second : "");
        EXPECT_TRUE(result.problem.starts_with(atFault.string())) << broken.name << ": " << result.problem;
        EXPECT_EQ(result.problem.find('\n'), std::string::npos) << result.problem;
        // A bad verdict is never remembered.
        EXPECT_FALSE(filesOf(broken).check(broken.speech).fromCache) << broken.name;
    }
    EXPECT_TRUE(voiceIn(kFixtures / "voice-en").check(true).ok);
}

TEST_F(ModelFileCheckerTest, TheRealLibraryAloneRejectsEveryBrokenFixture)
{
    // No file checks on either side: only what sherpa-onnx itself does with each case (an
    // exception, _Exit, exit inside espeak-ng, ...) in the child decides.
    setModelCheckerOverrideForTesting(libraryOnly());
    for (const BrokenCase& broken : brokenCorpus()) {
        const ModelCheckResult result = filesOf(broken).check(broken.speech);
        EXPECT_FALSE(result.ok) << broken.name;
        EXPECT_NE(result.problem.find((kBroken / broken.name).string()), std::string::npos)
            << broken.name << ": " << result.problem;
    }
    const ModelCheckResult espeak = voiceIn(kBroken / "tts-bad-espeak-data").check(true);
    EXPECT_TRUE(espeak.problem.starts_with((kBroken / "tts-bad-espeak-data" / "espeak-ng-data").string()))
        << espeak.problem;
    EXPECT_NE(espeak.problem.find("espeak-ng"), std::string::npos) << espeak.problem;
    const ModelCheckResult exited = voiceIn(kBroken / "tts-no-metadata").check(true);
    EXPECT_NE(exited.problem.find("exit status 255"), std::string::npos) << exited.problem;
    EXPECT_NE(exited.problem.find("'sample_rate' does not exist in the metadata"), std::string::npos)
        << exited.problem;
    EXPECT_TRUE(voiceIn(kFixtures / "voice-en").check(true).ok);
    EXPECT_TRUE(recognizerIn(kFixtures / "asr").check(false).ok);
}

TEST_F(ModelFileCheckerTest, RejectsOtherFaultsOfVoiceFiles)
{
    TemporaryDirectory temporary;
    const std::string goodTokens = readFile(kFixtures / "voice-en" / "tokens.txt");
    const std::string goodModel = readFile(kFixtures / "voice-en" / "model.onnx");
    const std::vector<std::pair<std::string, std::string>> badTokens{
        {goodTokens + "ab 157\n", "is not a single character"},
        {goodTokens + "x 157 extra\n", "more than two fields"},
        {goodTokens + "x seven\n", "not an integer id"},
        {goodTokens + "\xff 157\n", "not valid UTF-8"},
        {goodTokens.substr(0, goodTokens.find("^ 1\n")) + goodTokens.substr(goodTokens.find("^ 1\n") + 4),
            "lacks the start symbol"},
        {"", "is empty"},
    };
    int index = 0;
    for (const auto& [tokens, expected] : badTokens) {
        const fs::path voice
            = copyOf(kFixtures / "voice-en", temporary.path / ("tokens" + std::to_string(index++)));
        writeFile(voice / "tokens.txt", tokens);
        const ModelCheckResult result = voiceIn(voice).check(true);
        EXPECT_FALSE(result.ok) << expected;
        EXPECT_TRUE(result.problem.starts_with((voice / "tokens.txt").string())) << result.problem;
        EXPECT_NE(result.problem.find(expected), std::string::npos) << result.problem;
    }

    const fs::path voice = copyOf(kFixtures / "voice-en", temporary.path / "voice");
    writeFile(voice / "MODEL.ORT", goodModel); // ONNX under an .ort name, in capitals
    writeFile(voice / "ort-as.onnx",
        readFile(kDefaultTree / "en_GB" / "vits-piper-en_GB-southern_english_female-low"
            / "en_GB-southern_english_female-low.with_runtime_opt.ort"));
    writeFile(voice / "truncated.onnx", goodModel.substr(0, goodModel.size() / 2));
    fs::create_directory(voice / "directory.onnx");
    for (const std::string name :
        {"MODEL.ORT", "ort-as.onnx", "truncated.onnx", "directory.onnx", "missing.onnx"}) {
        const ModelCheckResult result = voiceIn(voice, name).check(true);
        EXPECT_FALSE(result.ok) << name;
        EXPECT_TRUE(result.problem.starts_with((voice / name).string())) << result.problem;
    }

    const fs::path noIntonations = copyOf(kFixtures / "voice-en", temporary.path / "no-intonations");
    fs::remove(noIntonations / "espeak-ng-data" / "intonations");
    const ModelCheckResult missing = voiceIn(noIntonations).check(true);
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.problem.find("lacks the espeak-ng data file intonations"), std::string::npos)
        << missing.problem;

    // espeak-ng's path buffer holds 255 bytes; a longer data path makes it exit(1) in the
    // library (no file check catches this: the real library in the child does).
    fs::path longPath = temporary.path;
    while (longPath.string().size() < 280) {
        longPath /= "a-long-directory-name-for-espeak-ng-data";
    }
    fs::create_directories(longPath.parent_path());
    fs::create_directory_symlink(kFixtures / "voice-en" / "espeak-ng-data", longPath);
    const ModelCheckResult tooLong
        = checkSpeechSynthesisFiles((kFixtures / "voice-en" / "model.onnx").string(),
            (kFixtures / "voice-en" / "tokens.txt").string(), longPath.string());
    EXPECT_FALSE(tooLong.ok);
    EXPECT_TRUE(tooLong.problem.starts_with(longPath.string())) << tooLong.problem;
    EXPECT_NE(tooLong.problem.find("espeak-ng cannot use this data directory"), std::string::npos)
        << tooLong.problem;
}

TEST_F(ModelFileCheckerTest, RejectsOtherFaultsOfRecognizerFiles)
{
    TemporaryDirectory temporary;
    const fs::path asr = copyOf(kFixtures / "asr", temporary.path / "asr");
    const std::string graph = readFile(asr / "HLG.fst");

    writeFile(asr / "truncated.fst", graph.substr(0, 100)); // the header survives, the arcs do not
    // The same graph declared with log arcs: readable by OpenFst, not by the library.
    const std::string logGraph = graph.substr(0, 14) + std::string("\x03\0\0\0log", 7) + graph.substr(26);
    writeFile(asr / "log.fst", logGraph);
    writeFile(asr / "compiled-log.fst", compileGraph(kFixtureGraphText, "log"));
    writeFile(asr / "empty.fst", compileGraph(""));

    // A larger graph that decoding silence never leaves state 0 of, damaged deep inside:
    // one arc far from the start leads nowhere, or carries a weight that is no number.
    const std::string large = compileGraph(deepGraphText());
    const std::string deepArc = arcBytes(kDeepLabel, kDeepWord, kDeepWeight, kDeepStates - 1);
    writeFile(asr / "deep-next-state.fst",
        replacedOnce(large, deepArc, arcBytes(kDeepLabel, kDeepWord, kDeepWeight, kMissingState)));
    writeFile(asr / "deep-nan-weight.fst",
        replacedOnce(large, deepArc, arcBytes(kDeepLabel, kDeepWord, std::nanf(""), kDeepStates - 1)));
    writeFile(asr / "large.fst", large);
    writeFile(asr / "deep-next-state-const.fst",
        replacedOnce(convertGraph(asr / "large.fst", "const"), deepArc,
            arcBytes(kDeepLabel, kDeepWord, kDeepWeight, kMissingState)));
    // A const graph whose last state's arcs run past its arc array.
    const std::string small = compileGraph(kFixtureGraphText);
    writeFile(asr / "small.fst", small);
    std::string constGraph = convertGraph(asr / "small.fst", "const");
    const std::size_t lastState
        = constGraph.size() - kFixtureGraphArcs * kArcRecordBytes - kConstStateRecordBytes;
    constGraph.replace(lastState + kConstArcCountOffset, sizeof(uint32_t), int32Bytes(kFixtureGraphArcs));
    writeFile(asr / "const-arcs-beyond.fst", constGraph);
    // The header claims more states than any file could hold.
    std::string huge = small;
    huge.replace(vectorHeaderStatesOffset(), sizeof(int64_t), int64Bytes(int64_t{1} << 40));
    writeFile(asr / "huge-state-count.fst", huge);
    fs::create_directory(asr / "directory.fst");
    // Epsilon-input cycles past the first token, which decoding silence never reaches: a
    // negative one (0.5 - 1 = -0.5) never ends in the decoder; a positive one does.
    writeFile(asr / "negative-epsilon-cycle.fst",
        compileGraph(kFixtureGraphText + "0 3 1 0\n3 4 0 0 -1\n4 5 0 5 0.25\n5 3 0 0 0.25\n4 0 2 0\n"));
    writeFile(
        asr / "negative-epsilon-loop.fst", compileGraph(kFixtureGraphText + "0 3 1 0\n3 3 0 0 -0.25\n"));
    writeFile(asr / "positive-epsilon-cycle.fst",
        compileGraph(kFixtureGraphText + "0 3 1 0\n3 4 0 0 -1\n4 3 0 0 1.5\n4 0 2 0\n"));
    // A cycle of N epsilon-input arcs of total weight +1 that the search only settles
    // after N rounds over its N arcs: small, it is proven; large, it is beyond the bound.
    const auto slowCycle = [](int states) {
        std::ostringstream text;
        text << kFixtureGraphText << "0 3 1 0\n3 " << 3 + states - 1 << " 0 0 " << states << '\n';
        for (int state = 4; state < 3 + states; ++state) {
            text << state << ' ' << state - 1 << " 0 0 -1\n";
        }
        return text.str();
    };
    writeFile(asr / "slow-epsilon-cycle.fst", compileGraph(slowCycle(2000)));
    writeFile(asr / "epsilon-cycle-beyond-bound.fst", compileGraph(slowCycle(10000)));
    // No path of finite weight to a final state: none at all, or one only past an
    // infinite weight (or from an unreachable state).
    writeFile(asr / "no-final-state.fst",
        compileGraph(kFixtureGraphText.substr(0, kFixtureGraphText.find("\n0\n") + 1)));
    writeFile(asr / "final-only-at-infinity.fst",
        compileGraph(kFixtureGraphText.substr(0, kFixtureGraphText.find("\n0\n") + 1)
            + "0 3 1 0 Infinity\n3\n4 5 1 0\n5\n"));

    struct BadGraph {
        std::string name;
        std::string expected;
        bool libraryAloneToo = true;
    };
    const std::vector<BadGraph> badGraphs{
        {"truncated.fst", "damaged"},
        {"log.fst", "'log' arcs"},
        {"compiled-log.fst", "'log' arcs"},
        {"empty.fst", "the graph is empty"},
        {"deep-next-state.fst",
            "arc 1 of state " + std::to_string(kDeepState) + " leads to state "
                + std::to_string(kMissingState)},
        {"deep-next-state-const.fst",
            "arc 1 of state " + std::to_string(kDeepState) + " leads to state "
                + std::to_string(kMissingState)},
        {"deep-nan-weight.fst", "arc 1 of state " + std::to_string(kDeepState) + " has the weight nan"},
        {"const-arcs-beyond.fst", "beyond the graph's " + std::to_string(kFixtureGraphArcs) + " arcs"},
        {"huge-state-count.fst", "declares " + std::to_string(int64_t{1} << 40) + " states"},
        {"negative-epsilon-cycle.fst", "epsilon-input arcs that form a cycle of negative total weight",
            false},
        {"negative-epsilon-loop.fst", "arc 0 of state 3 is an epsilon-input loop of the negative weight",
            false},
        {"epsilon-cycle-beyond-bound.fst",
            "the cycles of epsilon-input arcs among the 10000 states from state 3 on are too large to prove "
            "free "
            "of a negative total weight",
            false},
        {"no-final-state.fst", "no final state can be reached from the start state 0 at finite weight",
            false},
        {"final-only-at-infinity.fst", "no final state can be reached", false},
        {"directory.fst", "is a directory", false},
        {"missing.fst", "does not exist", false},
    };
    // With the usual checks; with only the checker's own (OpenFst) side deciding; and with
    // a checker that cannot start, where the in-process pass alone must refuse them all.
    enum class Mode { Usual, LibraryAlone, NoChecker };
    for (const Mode mode : {Mode::Usual, Mode::LibraryAlone, Mode::NoChecker}) {
        const bool libraryAlone = mode == Mode::LibraryAlone;
        const char* const label = mode == Mode::Usual ? ": "
            : libraryAlone                            ? " (library alone): "
                                                      : " (no checker): ";
        setModelCheckerOverrideForTesting(libraryAlone ? std::optional(libraryOnly())
                : mode == Mode::NoChecker              ? std::optional(checkerOverride("/bin/false"))
                                                       : std::nullopt);
        for (const BadGraph& bad : badGraphs) {
            if (libraryAlone && !bad.libraryAloneToo) {
                continue;
            }
            const ModelCheckResult result = recognizerIn(asr, "model.onnx", bad.name).check(false);
            EXPECT_FALSE(result.ok) << bad.name << label << result.problem;
            EXPECT_TRUE(result.problem.starts_with((asr / bad.name).string()))
                << bad.name << label << result.problem;
            EXPECT_NE(result.problem.find(bad.expected), std::string::npos)
                << bad.name << label << result.problem;
        }

        // A label whose token tokens.txt defines but the model (3 outputs) does not produce.
        writeFile(asr / "beyond.fst", compileGraph("0 0 1 0\n0 1 2 1\n1 1 2 0\n1 0 1 0\n0 0 4 3\n0\n1\n"));
        writeFile(asr / "tokens-c.txt", "<blk> 0\nA 1\nB 2\nC 3\n");
        const ModelCheckResult beyond = checkRecognizerFiles(
            (asr / "model.onnx").string(), (asr / "tokens-c.txt").string(), (asr / "beyond.fst").string());
        EXPECT_FALSE(beyond.ok);
        EXPECT_TRUE(beyond.problem.starts_with((asr / "beyond.fst").string())) << beyond.problem;
        EXPECT_NE(beyond.problem.find("beyond the 3 outputs"), std::string::npos) << beyond.problem;
    }
    for (const bool checker : {true, false}) {
        setModelCheckerOverrideForTesting(
            checker ? std::nullopt : std::optional(checkerOverride("/bin/false")));
        for (const char* good : {"positive-epsilon-cycle.fst", "slow-epsilon-cycle.fst", "large.fst"}) {
            const ModelCheckResult result = recognizerIn(asr, "model.onnx", good).check(false);
            EXPECT_TRUE(result.ok) << good << ": " << result.problem;
            EXPECT_EQ(result.unchecked, !checker) << good;
        }
    }
    setModelCheckerOverrideForTesting(std::nullopt);

    writeFile(asr / "tokens.txt", "<blk> 0\nA 1 x\nB 2\n");
    const ModelCheckResult tokens = recognizerIn(asr).check(false);
    EXPECT_FALSE(tokens.ok);
    EXPECT_TRUE(tokens.problem.starts_with((asr / "tokens.txt").string())) << tokens.problem;
}

TEST_F(ModelFileCheckerTest, ChecksAgainWhenAFileIsTouchedOrReplaced)
{
    TemporaryDirectory temporary;
    const fs::path voice = copyOf(kFixtures / "voice-en", temporary.path / "voice");
    const ModelFiles files = voiceIn(voice);
    ASSERT_TRUE(files.check(true).ok);
    ASSERT_TRUE(files.check(true).fromCache);

    fs::last_write_time(files.tokens, fs::last_write_time(files.tokens) + std::chrono::seconds(1));
    ModelCheckResult touched = files.check(true);
    EXPECT_TRUE(touched.ok);
    EXPECT_FALSE(touched.fromCache);
    EXPECT_TRUE(files.check(true).fromCache);

    replaceFile(files.model, readFile(files.model));
    EXPECT_FALSE(files.check(true).fromCache);

    // Whatever espeak-ng may read counts: a dictionary, a language file, a new voice file.
    for (const fs::path& file :
        {voice / "espeak-ng-data" / "en_dict", voice / "espeak-ng-data" / "lang" / "gmw" / "en-US"}) {
        ASSERT_TRUE(files.check(true).fromCache);
        replaceFile(file, readFile(file));
        EXPECT_FALSE(files.check(true).fromCache) << file;
    }
    ASSERT_TRUE(files.check(true).fromCache);
    fs::create_directories(voice / "espeak-ng-data" / "voices" / "!v");
    writeFile(voice / "espeak-ng-data" / "voices" / "!v" / "extra", "name extra\n");
    EXPECT_FALSE(files.check(true).fromCache);
    // A voice judged with the data of another directory (the one espeak-ng of this process
    // was initialised with) is keyed on that one too.
    const fs::path other = copyOf(kFixtures / "voice-en" / "espeak-ng-data", temporary.path / "other-data");
    ASSERT_TRUE(checkSpeechSynthesisFiles(files.model, files.tokens, files.third, other.string()).ok);
    ASSERT_TRUE(checkSpeechSynthesisFiles(files.model, files.tokens, files.third, other.string()).fromCache);
    replaceFile(other / "en_dict", readFile(other / "en_dict"));
    EXPECT_FALSE(checkSpeechSynthesisFiles(files.model, files.tokens, files.third, other.string()).fromCache);

    const fs::path phondata = voice / "espeak-ng-data" / "phondata";
    std::string badData = readFile(phondata);
    badData[0] = 'x';
    replaceFile(phondata, badData);
    const ModelCheckResult wrongData = files.check(true);
    EXPECT_FALSE(wrongData.ok);
    EXPECT_TRUE(wrongData.problem.starts_with(phondata.string())) << wrongData.problem;

    const fs::path asr = copyOf(kFixtures / "asr", temporary.path / "asr");
    const ModelFiles recognizer = recognizerIn(asr);
    ASSERT_TRUE(recognizer.check(false).ok);
    replaceFile(recognizer.third, readFile(kBroken / "asr-graph-unknown-label" / "HLG.fst"));
    const ModelCheckResult unknownLabel = recognizer.check(false);
    EXPECT_FALSE(unknownLabel.ok);
    EXPECT_TRUE(unknownLabel.problem.starts_with(recognizer.third)) << unknownLabel.problem;
}

TEST_F(ModelFileCheckerTest, KillsAndReapsACheckerThatHangs)
{
    TemporaryDirectory temporary;
    const fs::path pidFile = temporary.path / "pid";
    const fs::path hanging = writeScript(temporary.path / "hanging-checker",
        "echo $$ > '" + pidFile.string() + "'\necho 'stage pretending to work' >&3\nexec sleep 600\n");
    setModelCheckerOverrideForTesting(checkerOverride(hanging.string(), std::chrono::milliseconds(1500)));

    const ModelCheckResult result = voiceIn(kFixtures / "voice-en").check(true);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.problem.find("did not finish within 1500 ms"), std::string::npos) << result.problem;
    // Killed and reaped: the process id no longer exists (not even as a zombie).
    const pid_t pid = std::stoi(readFile(pidFile));
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);

    // Without the override, the bound grows with the size of the files, without overflow.
    constexpr std::uint64_t kMiB = 1024 * 1024;
    EXPECT_EQ(modelCheckTimeoutFor(0), kModelCheckTimeout);
    EXPECT_EQ(modelCheckTimeoutFor(1), kModelCheckTimeout + kModelCheckTimePerMegabyte);
    EXPECT_EQ(modelCheckTimeoutFor(300 * kMiB), kModelCheckTimeout + 300 * kModelCheckTimePerMegabyte);
    EXPECT_GT(modelCheckTimeoutFor(UINT64_MAX), modelCheckTimeoutFor(300 * kMiB));
    EXPECT_GT(std::chrono::steady_clock::time_point::max() - std::chrono::steady_clock::now(),
        modelCheckTimeoutFor(UINT64_MAX));
}

TEST_F(ModelFileCheckerTest, TheCheckerGetsTheCheckedFilesAsItsOnlyDescriptorsBeyondItsOwn)
{
    // A checker that reports, as its problem, its arguments and every descriptor it holds
    // with what it points to (the descriptor listing /proc/self/fd is closed again before
    // it is looked at, so it is not among them).
    TemporaryDirectory temporary;
    const fs::path script = temporary.path / "list-descriptors";
    writeFile(script,
        "#!/usr/bin/python3 -I\n"
        "import os, sys\n"
        "held = []\n"
        "for name in sorted(os.listdir('/proc/self/fd'), key=int):\n"
        "    try:\n"
        "        held.append(name + '=' + os.readlink('/proc/self/fd/' + name))\n"
        "    except OSError:\n"
        "        pass\n"
        "os.write(3, ('problem ' + ' '.join(sys.argv[1:]) + ' | ' + ' '.join(held) + '\\n').encode())\n");
    fs::permissions(script, fs::perms::owner_all);
    setModelCheckerOverrideForTesting(checkerOverride(script.string()));

    /// The descriptors the checker held beyond 0..3 (its input, output, error and report).
    const auto filesHeld = [](const std::string& problem) {
        std::map<int, std::string> files;
        std::istringstream held(problem.substr(problem.find(" | ") + 3));
        std::string entry;
        while (held >> entry) {
            const int fd = std::stoi(entry.substr(0, entry.find('=')));
            if (fd > 3) {
                files[fd] = entry.substr(entry.find('=') + 1);
            }
        }
        return files;
    };
    const auto canonical = [](const std::string& path) { return fs::canonical(path).string(); };
    const ModelFiles recognizer = recognizerIn(kFixtures / "asr");
    const ModelFiles ortRecognizer = recognizerIn(kFixtures / "asr", "model.ort");
    const ModelFiles voice = voiceIn(kFixtures / "voice-en");
    struct Case {
        std::string what;
        const ModelFiles& files;
        bool speech;
        bool descriptors;
        std::map<int, std::string> held;
    };
    const std::vector<Case> cases{
        {"recogniser", recognizer, false, true,
            {{4, canonical(recognizer.model)}, {5, canonical(recognizer.tokens)},
                {6, canonical(recognizer.third)}}},
        // onnxruntime picks the format of a *.ort model by its name: it keeps its path.
        {"ORT recogniser", ortRecognizer, false, true,
            {{4, canonical(ortRecognizer.tokens)}, {5, canonical(ortRecognizer.third)}}},
        {"voice", voice, true, true, {{4, canonical(voice.model)}, {5, canonical(voice.tokens)}}},
        // As without /proc: the paths, and nothing else.
        {"recogniser without descriptors", recognizer, false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setDescriptorPassingForTesting(c.descriptors);
        const ModelCheckResult result = c.files.check(c.speech);
        ASSERT_FALSE(result.ok);
        // The problem names the caller's paths, also for the checker's /proc/self/fd ones.
        EXPECT_NE(result.problem.find((c.speech ? "tts " : "asr ") + c.files.model + " " + c.files.tokens
                      + " " + c.files.third + " | "),
            std::string::npos)
            << result.problem;
        EXPECT_EQ(result.problem.find("/proc/self/fd/"), std::string::npos) << result.problem;
        EXPECT_EQ(filesHeld(result.problem), c.held) << result.problem;
        EXPECT_NE(result.problem.find(" | 0=/dev/null 1=pipe:"), std::string::npos) << result.problem;
    }
    setDescriptorPassingForTesting(true);
}

TEST_F(ModelFileCheckerTest, TheEngineIsGivenTheCheckedDescriptorsAndItsMessagesNameTheCallersPaths)
{
    TemporaryDirectory temporary;
    const fs::path asr = copyOf(kFixtures / "asr", temporary.path / "asr");
    ModelCheckResult result = recognizerIn(asr, "model.ort").check(false);
    ASSERT_TRUE(result.ok) << result.problem;
    const std::vector<std::string> callerPaths{
        (asr / "model.ort").string(), (asr / "tokens.txt").string(), (asr / "HLG.fst").string()};
    std::vector<std::string> enginePaths;
    for (std::size_t file = 0; file < callerPaths.size(); ++file) {
        enginePaths.push_back(engineFilePath(result, file, callerPaths[file]));
        EXPECT_NE(enginePaths[file], callerPaths[file]);
        // The checked file, even once another is renamed over its path.
        EXPECT_TRUE(fs::equivalent(enginePaths[file], callerPaths[file])) << enginePaths[file];
    }
    EXPECT_TRUE(enginePaths[1].starts_with("/proc/self/fd/")) << enginePaths[1];
    EXPECT_TRUE(enginePaths[2].starts_with("/proc/self/fd/")) << enginePaths[2];
    // The ORT model: a link in a private directory, with the original name.
    EXPECT_EQ(fs::path(enginePaths[0]).filename(), "model.ort");
    EXPECT_EQ(fs::status(fs::path(enginePaths[0]).parent_path()).permissions(), fs::perms::owner_all);
    const std::string graphBytes = readFile(asr / "HLG.fst");
    replaceFile(asr / "HLG.fst", "not a graph");
    EXPECT_EQ(readFile(enginePaths[2]), graphBytes);
    EXPECT_NE(checkedFilesChanged(result), "");

    EXPECT_EQ(withCallerFilePaths(result,
                  "Load model from " + enginePaths[0] + " failed; " + enginePaths[2] + ": bad, "
                      + enginePaths[2] + "7: another"),
        "Load model from " + callerPaths[0] + " failed; " + callerPaths[2] + ": bad, " + enginePaths[2]
            + "7: another");

    // Released: the descriptors are closed and the link is gone.
    releaseCheckedDescriptors(result);
    EXPECT_FALSE(fs::exists(fs::symlink_status(enginePaths[0])));
    EXPECT_FALSE(fs::exists(fs::path(enginePaths[0]).parent_path()));
    EXPECT_EQ(engineFilePath(result, 2, callerPaths[2]), callerPaths[2]);
}

TEST_F(ModelFileCheckerTest, ExplainsACheckerThatDiesAndTrustsOnlyItsReport)
{
    TemporaryDirectory temporary;
    const ModelFiles voice = voiceIn(kFixtures / "voice-en");
    struct Case {
        std::string body;
        bool ok;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"echo 'stage creating the engine' >&3\necho '/x/y.cc:Init:9 bad thing' >&2\nkill -SEGV $$\n", false,
            "while creating the engine (signal SIGSEGV): bad thing"},
        {"echo 'stage speaking a test text' >&3\nexit 255\n", false,
            "while speaking a test text (exit status 255)"},
        {"echo 'stage creating the engine' >&3\necho 'Error: no data' >&2\nexit 1\n", false,
            "espeak-ng cannot use this data directory"},
        {"echo 'problem /some/file: is wrong' >&3\nexit 0\n", false, "/some/file: is wrong"},
        // Once a stage is reported, any end without a verdict is one against the files.
        {"echo 'stage creating the engine' >&3\nexit 0\n", false,
            "while creating the engine (exit status 0)"},
        // The report decides, not the exit status.
        {"echo OK >&3\nexit 7\n", true, ""},
        // Report lines far over 16 KB keep their kind and verdict.
        {"printf 'problem /some/file: is wrong %020000d\\n' 0 >&3\nexit 0\n", false,
            "/some/file: is wrong 000"},
        {"printf 'stage %040000d\\n' 0 >&3\necho OK >&3\nexit 0\n", true, ""},
    };
    int index = 0;
    for (const Case& c : cases) {
        const fs::path script = writeScript(temporary.path / ("checker" + std::to_string(index++)), c.body);
        setModelCheckerOverrideForTesting(checkerOverride(script.string()));
        const ModelCheckResult result = voice.check(true);
        EXPECT_EQ(result.ok, c.ok) << c.body << result.problem;
        EXPECT_NE(result.problem.find(c.expected), std::string::npos) << c.body << "-> " << result.problem;
    }
}

TEST_F(ModelFileCheckerTest, WarnsOnceWhenTheConfiguredCheckerCannotRunAndUsesTheUsualOne)
{
    TemporaryDirectory temporary;
    const fs::path notExecutable = temporary.path / "not-executable";
    writeFile(notExecutable, "#!/bin/sh\necho OK >&3\n");
    const ModelFiles voice = voiceIn(kFixtures / "voice-en");
    for (const fs::path& configured : {temporary.path / "missing", notExecutable}) {
        ASSERT_EQ(::setenv(kModelCheckerEnvironmentVariable, configured.c_str(), 1), 0);
        forgetCheckedModelFiles();
        const ModelCheckResult first = voice.check(true);
        EXPECT_TRUE(first.ok) << first.problem;
        EXPECT_FALSE(first.unchecked);
        EXPECT_NE(first.warning.find(std::string(kModelCheckerEnvironmentVariable) + " names "
                      + configured.string() + ", which is missing or not an executable file"),
            std::string::npos)
            << first.warning;
        forgetCheckedModelFiles();
        EXPECT_EQ(voice.check(true).warning, "");
    }
    ::unsetenv(kModelCheckerEnvironmentVariable);
}

/// Installs a SIGCHLD disposition for the scope of a test.
class ScopedChildSignal {
public:
    explicit ScopedChildSignal(void (*handler)(int))
    {
        struct sigaction action { };
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: every wait is interrupted
        ::sigaction(SIGCHLD, &action, &previous);
    }
    ~ScopedChildSignal() { ::sigaction(SIGCHLD, &previous, nullptr); }
    ScopedChildSignal(const ScopedChildSignal&) = delete;
    ScopedChildSignal& operator=(const ScopedChildSignal&) = delete;

private:
    struct sigaction previous { };
};

std::atomic<int> childrenReapedByHost{0};

void reapEveryChild(int)
{
    const int savedErrno = errno;
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        childrenReapedByHost.fetch_add(1);
    }
    errno = savedErrno;
}

TEST_F(ModelFileCheckerTest, GivesTheSameVerdictsWhenTheHostIgnoresOrReapsChildren)
{
    for (void (*disposition)(int) : {SIG_IGN, &reapEveryChild}) {
        ScopedChildSignal childSignal(disposition);
        forgetCheckedModelFiles();
        EXPECT_TRUE(voiceIn(kFixtures / "voice-en").check(true).ok);
        EXPECT_TRUE(recognizerIn(kFixtures / "asr").check(false).ok);
        const ModelCheckResult unknownVoice = voiceIn(kBroken / "tts-unknown-voice").check(true);
        EXPECT_FALSE(unknownVoice.ok);
        EXPECT_NE(unknownVoice.problem.find("Failed to set eSpeak-ng voice"), std::string::npos)
            << unknownVoice.problem;

        // A child the library kills leaves no status to collect: still a clear "no".
        setModelCheckerOverrideForTesting(libraryOnly());
        const ModelCheckResult killed = voiceIn(kBroken / "tts-no-metadata").check(true);
        setModelCheckerOverrideForTesting(std::nullopt);
        EXPECT_FALSE(killed.ok);
        EXPECT_NE(
            killed.problem.find("sherpa-onnx ended the checker while creating the engine"), std::string::npos)
            << killed.problem;
    }
    EXPECT_GT(childrenReapedByHost.load(), 0);
}

TEST_F(ModelFileCheckerTest, LoadsAfterTheInProcessChecksOnlyWhenTheCheckerCannotRun)
{
    EXPECT_TRUE(fs::equivalent(findModelChecker(), kCheckerProgram));

    TemporaryDirectory temporary;
    const fs::path notExecutable = temporary.path / "not-executable";
    writeFile(notExecutable, "#!/bin/sh\necho OK >&3\n");
    const fs::path noInterpreter = temporary.path / "no-interpreter";
    writeFile(noInterpreter, "#!/nonexistent/interpreter\necho OK >&3\n");
    fs::permissions(noInterpreter, fs::perms::owner_all);
    // What the dynamic loader does when a library of the checker is missing.
    const fs::path loaderFails = writeScript(temporary.path / "loader-fails",
        "echo 'ombrix-sherpa-check: error while loading shared libraries: libfst.so.22: cannot open shared "
        "object file' >&2\nexit 127\n");
    const std::vector<std::pair<std::string, std::string>> unusable{
        {"/nonexistent/ombrix-sherpa-check", "could not be started (No such file or directory)"},
        {notExecutable.string(), "could not be started (Permission denied)"},
        {noInterpreter.string(), "could not be started (No such file or directory)"},
        {loaderFails.string(),
            "ended before it started checking (exit status 127): ombrix-sherpa-check: error while loading "
            "shared "
            "libraries"},
    };
    for (const auto& [program, reason] : unusable) {
        setModelCheckerOverrideForTesting(checkerOverride(program));
        const ModelCheckResult first = voiceIn(kFixtures / "voice-en").check(true);
        EXPECT_TRUE(first.ok) << program << ": " << first.problem;
        EXPECT_TRUE(first.unchecked) << program;
        EXPECT_NE(first.warning.find("The model checker " + program + " " + reason), std::string::npos)
            << first.warning;
        EXPECT_NE(first.warning.find("loaded after the in-process checks only"), std::string::npos)
            << first.warning;
        // Never remembered as proven, and the warning comes once per reason.
        const ModelCheckResult again = voiceIn(kFixtures / "voice-en").check(true);
        EXPECT_TRUE(again.ok && again.unchecked && !again.fromCache) << program;
        EXPECT_TRUE(again.warning.empty()) << again.warning;
        const ModelCheckResult recognizer = recognizerIn(kFixtures / "asr").check(false);
        EXPECT_TRUE(recognizer.ok && recognizer.unchecked && recognizer.warning.empty())
            << recognizer.warning;
        // The in-process checks still refuse what they know.
        const ModelCheckResult bad = voiceIn(kBroken / "tts-tokens-crlf").check(true);
        EXPECT_FALSE(bad.ok);
        EXPECT_TRUE(bad.problem.starts_with((kBroken / "tts-tokens-crlf" / "tokens.txt").string()))
            << bad.problem;
    }
    // Even where a test had switched them off.
    ModelCheckerOverride withoutFileChecks = libraryOnly();
    withoutFileChecks.program = "/nonexistent/ombrix-sherpa-check";
    setModelCheckerOverrideForTesting(withoutFileChecks);
    EXPECT_FALSE(voiceIn(kBroken / "tts-tokens-crlf").check(true).ok);
    setModelCheckerOverrideForTesting(std::nullopt);

    // The checker is looked for next to the module holding the code (here a program in
    // bin/), then in ../lib: a copy of that program elsewhere finds it only when placed so.
    fs::create_directories(temporary.path / "bin");
    fs::create_directories(temporary.path / "lib");
    const fs::path probe = temporary.path / "bin" / "model_check_probe";
    fs::copy_file(kModelCheckProbe, probe);
    // The libraries come from ../lib (the probe's run-time path): a checker beside the
    // loaded sherpa-onnx library would be found as well.
    for (const char* library : {"libOmbrixSDK.so", "libsherpa-onnx-c-api.so", "libonnxruntime.so"}) {
        fs::create_symlink(fs::path(OMBRIX_LIB_DIR) / library, temporary.path / "lib" / library);
    }
    SubprocessOptions options;
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    const ModelFiles voice = voiceIn(kFixtures / "voice-en");
    options.arguments = {"tts", voice.model, voice.tokens, voice.third};

    const auto missing = runSubprocess(probe.string(), options);
    EXPECT_EQ(missing.exitCode, 0) << missing.describe() << missing.standardOutput;
    EXPECT_NE(
        missing.standardOutput.find("warning: The model checker ombrix-sherpa-check is missing (looked for "
            + (temporary.path / "bin" / "ombrix-sherpa-check").string() + ", "
            + (temporary.path / "bin" / ".." / "lib" / "ombrix-sherpa-check").string()),
        std::string::npos)
        << missing.standardOutput;
    EXPECT_NE(missing.standardOutput.find("ok (unchecked)"), std::string::npos) << missing.standardOutput;

    for (const fs::path& place : {temporary.path / "lib", temporary.path / "bin"}) {
        fs::copy_file(kCheckerProgram, place / kModelCheckerProgramName);
        for (const char* library : {"libsherpa-onnx-c-api.so", "libonnxruntime.so"}) {
            if (!fs::exists(place / library)) {
                fs::create_symlink(fs::path(OMBRIX_LIB_DIR) / library, place / library);
            }
        }
        const auto found = runSubprocess(probe.string(), options);
        EXPECT_TRUE(found.succeeded()) << found.describe() << found.standardOutput;
        EXPECT_NE(found.standardOutput.find("checker "
                      + (place == temporary.path / "bin"
                              ? (place / kModelCheckerProgramName).string()
                              : (temporary.path / "bin" / ".." / "lib" / kModelCheckerProgramName).string())),
            std::string::npos)
            << found.standardOutput;
        EXPECT_NE(found.standardOutput.find("\nok\n"), std::string::npos) << found.standardOutput;
    }

    // The plug-in itself, installed without its checker and with one that cannot start:
    // the default voice loads and speaks, and the warning is logged once.
    const std::vector<std::pair<std::string, std::string>> installs{
        {"", "ombrix-sherpa-check is missing"},
        {"#!/nonexistent/interpreter\n", "could not be started (No such file or directory)"},
    };
    int index = 0;
    for (const auto& [checkerScript, reason] : installs) {
        const fs::path lib = temporary.path / ("plugin-" + std::to_string(index++)) / "lib";
        fs::create_directories(lib);
        fs::copy_file(OMBRIX_PLUGIN_LIBRARY, lib / "libOmbrixSherpa.so");
        for (const char* library : {"libsherpa-onnx-c-api.so", "libonnxruntime.so"}) {
            fs::create_symlink(fs::path(OMBRIX_LIB_DIR) / library, lib / library);
        }
        if (!checkerScript.empty()) {
            writeFile(lib / kModelCheckerProgramName, checkerScript);
            fs::permissions(lib / kModelCheckerProgramName, fs::perms::owner_all);
        }
        const fs::path wav = lib.parent_path() / "out.wav";
        SubprocessOptions speak;
        speak.arguments
            = {"--plugin", (lib / "libOmbrixSherpa.so").string(), "-o", wav.string(), "Hello there."};
        const auto spoken = runSubprocess(OMBRIX_SPEAK_TOOL, speak);
        EXPECT_TRUE(spoken.succeeded()) << spoken.describe() << spoken.standardOutput;
        EXPECT_GT(fs::exists(wav) ? fs::file_size(wav) : 0, 1000u) << spoken.standardError;
        const std::string& log = spoken.standardError;
        const std::size_t first = log.find("loaded after the in-process checks only");
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_EQ(log.find("loaded after the in-process checks only", first + 1), std::string::npos) << log;
        EXPECT_NE(log.find(reason), std::string::npos) << log;
    }
}

TEST_F(ModelFileCheckerTest, NeverCallsFilesGoodThatTheRealLibraryCannotUse)
{
    // Damaged copies of good files, judged once with every check and once by the library
    // run alone: whenever a copy is called good, the library must really create, use and
    // destroy it (in a probe process of its own, on more than silence).
    TemporaryDirectory temporary;
    struct Damage {
        bool speech;
        fs::path source;
        std::string file;
    };
    const std::vector<Damage> targets{
        {true, kFixtures / "voice-en", "model.onnx"},
        {true, kFixtures / "voice-en", "tokens.txt"},
        {false, kFixtures / "asr", "model.onnx"},
        {false, kFixtures / "asr", "HLG.fst"},
        {false, kFixtures / "asr", "tokens.txt"},
    };
    constexpr int kVariantsPerFile = 6;
    int index = 0;
    int calledGood = 0;
    for (const bool libraryAlone : {false, true}) {
        setModelCheckerOverrideForTesting(libraryAlone ? std::optional(libraryOnly()) : std::nullopt);
        for (const Damage& target : targets) {
            const std::string original = readFile(target.source / target.file);
            for (int variant = 0; variant < kVariantsPerFile; ++variant) {
                std::string damaged = original;
                if (variant % 2 == 0) {
                    damaged.resize(
                        original.size() * static_cast<std::size_t>(variant + 1) / (kVariantsPerFile + 1));
                } else {
                    const std::size_t at
                        = original.size() * static_cast<std::size_t>(variant) / kVariantsPerFile;
                    damaged[at] = static_cast<char>(damaged[at] ^ 0x5a);
                }
                const fs::path copy = copyOf(target.source, temporary.path / std::to_string(index++));
                writeFile(copy / target.file, damaged);
                const ModelFiles files = target.speech ? voiceIn(copy) : recognizerIn(copy);
                const ModelCheckResult result = files.check(target.speech);
                if (!result.ok) {
                    EXPECT_NE(result.problem.find(copy.string()), std::string::npos) << result.problem;
                    continue;
                }
                ++calledGood;
                SubprocessOptions probe;
                probe.arguments = {target.speech ? "tts" : "asr", files.model, files.tokens, files.third};
                // Only whether the library survives counts here. (TSan reports the library's
                // own stream mutex, locked inside it and unlocked from a probe frame, and
                // would turn every run into a failing exit.)
                probe.environment["TSAN_OPTIONS"] = "report_bugs=0";
                const auto used = runSubprocess(kFixtureProbe.string(), probe);
                EXPECT_TRUE(used.succeeded())
                    << target.file << " variant " << variant << (libraryAlone ? " (library alone)" : "")
                    << " was called good, but the library fails on it: " << used.describe();
            }
        }
    }
    RecordProperty("damaged_copies_called_good", calledGood);
}

TEST_F(ModelFileCheckerTest, ChecksFromSeveralThreadsAtOnce)
{
    constexpr int kThreads = 4;
    std::atomic<int> wrongVerdicts{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&wrongVerdicts] {
            for (int round = 0; round < 2; ++round) {
                wrongVerdicts += voiceIn(kFixtures / "voice-en").check(true).ok ? 0 : 1;
                wrongVerdicts += recognizerIn(kFixtures / "asr").check(false).ok ? 0 : 1;
                wrongVerdicts += voiceIn(kBroken / "tts-unknown-voice").check(true).ok ? 1 : 0;
                wrongVerdicts += voiceIn(kBroken / "tts-tokens-crlf").check(true).ok ? 1 : 0;
                forgetCheckedModelFiles();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrongVerdicts.load(), 0);
}

} // namespace
