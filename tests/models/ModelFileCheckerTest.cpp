// The model checker runs the real sherpa-onnx on broken models in a child process. These
// tests hand it every broken fixture; the test process itself must survive all of them,
// and the verdicts must name the file at fault.

#include "models/ModelFileChecker.h"

#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
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

/// Every case of the broken corpus: name, kind, files.
struct BrokenCase {
    std::string name;
    bool speech = false;
    ModelFiles files;
};

std::vector<BrokenCase> brokenCorpus()
{
    std::vector<BrokenCase> cases;
    std::ifstream manifest(kBroken / "MANIFEST.txt");
    std::string line;
    BrokenCase current;
    while (std::getline(manifest, line)) {
        if (line.starts_with("case: ")) {
            current = BrokenCase{line.substr(6), false, {}};
        } else if (line.starts_with("kind: ")) {
            current.speech = line.substr(6) == "tts";
        } else if (line.starts_with("files: ")) {
            std::istringstream names(line.substr(7));
            std::string model;
            std::string tokens;
            std::string third;
            names >> model >> tokens >> third;
            const fs::path directory = kBroken / current.name;
            if (third.ends_with('/')) {
                third.pop_back();
            }
            current.files
                = {(directory / model).string(), (directory / tokens).string(), (directory / third).string()};
            cases.push_back(current);
        }
    }
    return cases;
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
};

class ModelFileCheckerTest : public ::testing::Test {
protected:
    void SetUp() override { setModelCheckerOverrideForTesting(std::nullopt); }
    void TearDown() override { setModelCheckerOverrideForTesting(std::nullopt); }
};

TEST_F(ModelFileCheckerTest, AcceptsTheGoodModelsAndRemembersThem)
{
    const std::vector<std::pair<bool, ModelFiles>> good{
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
        const ModelCheckResult result = broken.files.check(broken.speech);
        EXPECT_FALSE(result.ok) << broken.name;
        EXPECT_FALSE(result.fromCache) << broken.name;
        const auto known = kFileAtFault.find(broken.name);
        const fs::path atFault = kBroken / broken.name / (known != kFileAtFault.end() ? known->second : "");
        EXPECT_TRUE(result.problem.starts_with(atFault.string())) << broken.name << ": " << result.problem;
        EXPECT_EQ(result.problem.find('\n'), std::string::npos) << result.problem;
        // A bad verdict is never remembered.
        EXPECT_FALSE(broken.files.check(broken.speech).fromCache) << broken.name;
    }
    EXPECT_TRUE(voiceIn(kFixtures / "voice-en").check(true).ok);
}

TEST_F(ModelFileCheckerTest, TheRealLibraryAloneRejectsEveryBrokenFixture)
{
    // No file checks on either side: only what sherpa-onnx itself does with each case (an
    // exception, _Exit, exit inside espeak-ng, ...) in the child decides.
    setModelCheckerOverrideForTesting(libraryOnly());
    for (const BrokenCase& broken : brokenCorpus()) {
        const ModelCheckResult result = broken.files.check(broken.speech);
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
    fs::create_directory(asr / "directory.fst");
    const std::vector<std::pair<std::string, std::string>> badGraphs{
        {"truncated.fst", "damaged"},
        {"log.fst", "'log' arcs"},
        {"directory.fst", "is a directory"},
        {"missing.fst", "does not exist"},
    };
    for (const auto& [name, expected] : badGraphs) {
        const ModelCheckResult result = recognizerIn(asr, "model.onnx", name).check(false);
        EXPECT_FALSE(result.ok) << name;
        EXPECT_TRUE(result.problem.starts_with((asr / name).string())) << result.problem;
        EXPECT_NE(result.problem.find(expected), std::string::npos) << result.problem;
    }

    // A label whose token tokens.txt defines but the model (3 outputs) does not produce.
    SubprocessOptions compile;
    compile.arguments = {"--arc_type=standard", "--fst_type=vector"};
    compile.standardInput = "0 0 1 0\n0 1 2 1\n1 1 2 0\n1 0 1 0\n0 0 4 3\n0\n1\n";
    const auto compiled = runSubprocess("fstcompile", compile);
    ASSERT_TRUE(compiled.succeeded()) << compiled.describe();
    writeFile(asr / "beyond.fst", compiled.standardOutput);
    writeFile(asr / "tokens-c.txt", "<blk> 0\nA 1\nB 2\nC 3\n");
    const ModelCheckResult beyond = checkRecognizerFiles(
        (asr / "model.onnx").string(), (asr / "tokens-c.txt").string(), (asr / "beyond.fst").string());
    EXPECT_FALSE(beyond.ok);
    EXPECT_TRUE(beyond.problem.starts_with((asr / "beyond.fst").string())) << beyond.problem;
    EXPECT_NE(beyond.problem.find("beyond the 3 outputs"), std::string::npos) << beyond.problem;

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
        {"exit 0\n", false, "while starting (exit status 0)"},
        // The report decides, not the exit status.
        {"echo OK >&3\nexit 7\n", true, ""},
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

TEST_F(ModelFileCheckerTest, RefusesWithAClearLineWhenTheCheckerIsMissing)
{
    EXPECT_TRUE(fs::equivalent(findModelChecker(), kCheckerProgram));

    setModelCheckerOverrideForTesting(checkerOverride("/nonexistent/ombrix-sherpa-check"));
    const ModelCheckResult unstartable = voiceIn(kFixtures / "voice-en").check(true);
    EXPECT_FALSE(unstartable.ok);
    EXPECT_NE(unstartable.problem.find("could not be started (No such file or directory)"), std::string::npos)
        << unstartable.problem;
    setModelCheckerOverrideForTesting(std::nullopt);

    // The checker is looked for next to the module holding the code (here a program in
    // bin/), then in ../lib: a copy of that program elsewhere finds it only when placed so.
    TemporaryDirectory temporary;
    fs::create_directories(temporary.path / "bin");
    fs::create_directories(temporary.path / "lib");
    const fs::path probe = temporary.path / "bin" / "model_check_probe";
    fs::copy_file(kModelCheckProbe, probe);
    // The libraries come from ../lib (the probe's run-time path): a checker beside the
    // loaded sherpa-onnx library would be found as well.
    for (const char* library : {"libsherpa-onnx-c-api.so", "libonnxruntime.so"}) {
        fs::create_symlink(fs::path(OMBRIX_LIB_DIR) / library, temporary.path / "lib" / library);
    }
    SubprocessOptions options;
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    const ModelFiles voice = voiceIn(kFixtures / "voice-en");
    options.arguments = {"tts", voice.model, voice.tokens, voice.third};

    const auto missing = runSubprocess(probe.string(), options);
    EXPECT_EQ(missing.exitCode, 1) << missing.describe();
    EXPECT_NE(missing.standardOutput.find("not ok: " + voice.model
                  + ": not loaded, because the model checker "
                    "ombrix-sherpa-check is missing (looked for "
                  + (temporary.path / "bin" / "ombrix-sherpa-check").string() + ", "
                  + (temporary.path / "bin" / ".." / "lib" / "ombrix-sherpa-check").string()),
        std::string::npos)
        << missing.standardOutput;

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
