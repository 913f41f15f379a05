// Where a new node finds its default model: below the executable's installation directory
// (<base>/share/files) or, file by file, under the working directory (Models/, files/).
// Both depend on the process, so each case runs the probe program (SttProbe.cpp) copied to
// a location of the test's choosing, in a working directory of its choosing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;
using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;
using ombrix::testing::SubprocessResult;

const std::string kModelName = "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort";
const fs::path kDefaultTree = fs::path(OMBRIX_BUILD_DIR) / "share" / "files";

struct ProbeRun {
    SubprocessResult result;
    std::vector<std::string> lines;

    std::size_t count(const std::string& line) const { return std::ranges::count(lines, line); }
    bool has(const std::string& line) const { return count(line) > 0; }
    std::ptrdiff_t indexOf(const std::string& line) const
    {
        const auto found = std::ranges::find(lines, line);
        return found == lines.end() ? -1 : found - lines.begin();
    }
    std::size_t countStartingWith(const std::string& prefix) const
    {
        return static_cast<std::size_t>(
            std::ranges::count_if(lines, [&](const std::string& l) { return l.starts_with(prefix); }));
    }
};

class SttDefaultLocation : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "ombrix-stt-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        // The child's getcwd() gives the resolved path; compare against the same.
        root = fs::canonical(pattern);
    }
    void TearDown() override { fs::remove_all(root); }

    /// Copies the probe to <base>/bin/ and returns the copy. The model checker is installed
    /// in <base>/lib/ as in a real installation (a link, so that it still finds the
    /// sherpa-onnx libraries beside its target).
    fs::path installProbe(const fs::path& base)
    {
        fs::create_directories(base / "bin");
        const fs::path probe = base / "bin" / fs::path(OMBRIX_STT_PROBE).filename();
        fs::copy_file(OMBRIX_STT_PROBE, probe);
        fs::create_directories(base / "lib");
        fs::create_symlink(
            fs::path(OMBRIX_LIB_DIR) / "ombrix-sherpa-check", base / "lib" / "ombrix-sherpa-check");
        return probe;
    }

    static void copyInto(const fs::path& source, const fs::path& destination)
    {
        fs::create_directories(destination.parent_path());
        fs::copy_file(source, destination);
    }

    ProbeRun run(const fs::path& probe, const fs::path& workingDirectory, const std::string& pattern = "")
    {
        fs::create_directories(workingDirectory);
        SubprocessOptions options;
        options.workingDirectory = workingDirectory.string();
        // The copies are outside the build tree, where their run-time path finds no lib/.
        options.environment["LD_LIBRARY_PATH"] = std::string(OMBRIX_LIB_DIR);
        if (!pattern.empty()) {
            options.arguments.push_back(pattern);
        }
        ProbeRun run{runSubprocess(probe.string(), options), {}};
        std::istringstream out(run.result.standardOutput);
        for (std::string line; std::getline(out, line);) {
            run.lines.push_back(line);
        }
        return run;
    }

    fs::path root;
};

TEST_F(SttDefaultLocation, NoModelAnywhereWarnsOnceLoadsNothingAndFreesNothing)
{
    const fs::path probe = installProbe(root / "app");
    const ProbeRun run = this->run(probe, root / "work");

    ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
    EXPECT_EQ(run.count("warning\t[SherpaSTTNode] Model file has not been loaded."), 1u);
    EXPECT_EQ(run.countStartingWith("warning\t"), 1u) << run.result.standardOutput;
    EXPECT_EQ(run.countStartingWith("error\t"), 0u) << run.result.standardOutput;
    EXPECT_EQ(run.countStartingWith("info\t[SherpaSTTNode] loadSherpaModel called"), 0u);

    // Teardown of an unloaded node: the whole sequence, without a Freeing line.
    const std::ptrdiff_t destroying = run.indexOf("destroying");
    ASSERT_GE(destroying, 0);
    const std::vector<std::string> teardown(run.lines.begin() + destroying + 1, run.lines.end());
    EXPECT_EQ(teardown,
        (std::vector<std::string>{
            "info\t[SherpaSTTNode] Destructor called",
            "info\t[SherpaSTTNode] Destructor called - starting cleanup",
            "info\t[SherpaSTTNode] Cleaning up resources...",
            "info\t[SherpaSTTNode] Cleanup completed",
            "info\t[SherpaSTTNode] Destructor completed",
            "done",
        }));
}

TEST_F(SttDefaultLocation, ModelIsFoundBelowTheExecutableOrFileByFileUnderTheWorkingDirectory)
{
    // Everything in the installation tree.
    {
        const fs::path base = root / "installed";
        const fs::path files = base / "share" / "files";
        for (const std::string& name : {kModelName, std::string("tokens.txt"), std::string("HLG.fst")}) {
            copyInto(kDefaultTree / name, files / name);
        }
        const ProbeRun run = this->run(installProbe(base), root / "installed-work", "A_B_A");
        ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
        EXPECT_TRUE(run.has(
            "info\t[SherpaSTTNode] loadSherpaModel called with path: " + (files / kModelName).string()))
            << run.result.standardOutput;
        EXPECT_TRUE(run.has("info\t[SherpaSTTNode] STT model loaded successfully"));
        EXPECT_TRUE(run.has("text\tABA")) << run.result.standardOutput;
        EXPECT_EQ(run.countStartingWith("warning\t"), 0u) << run.result.standardOutput;
        // A loaded node frees its stream before its recogniser, after the node's own line.
        const std::ptrdiff_t called = run.indexOf("info\t[SherpaSTTNode] Destructor called");
        const std::ptrdiff_t stream = run.indexOf("info\t[SherpaSTTNode] Freeing stream");
        const std::ptrdiff_t recognizer = run.indexOf("info\t[SherpaSTTNode] Freeing recognizer");
        EXPECT_LT(run.indexOf("destroying"), called);
        EXPECT_LT(called, stream);
        EXPECT_LT(stream, recognizer);
        EXPECT_LT(recognizer, run.indexOf("info\t[SherpaSTTNode] Destructor completed"));
    }
    // Nothing installed: model under Models/, tokens and graph under files/ in the
    // working directory.
    {
        const fs::path work = root / "cwd-work";
        copyInto(kDefaultTree / kModelName, work / "Models" / kModelName);
        copyInto(kDefaultTree / "tokens.txt", work / "files" / "tokens.txt");
        copyInto(kDefaultTree / "HLG.fst", work / "files" / "HLG.fst");
        const ProbeRun run = this->run(installProbe(root / "bare"), work, "A_B_A");
        ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
        EXPECT_TRUE(run.has("info\t[SherpaSTTNode] loadSherpaModel called with path: "
            + (work / "Models" / kModelName).string()))
            << run.result.standardOutput;
        EXPECT_TRUE(run.has("text\tABA")) << run.result.standardOutput;
    }
    // Mixed: model and graph installed, tokens only in the working directory.
    {
        const fs::path base = root / "mixed";
        const fs::path files = base / "share" / "files";
        copyInto(kDefaultTree / kModelName, files / kModelName);
        copyInto(kDefaultTree / "HLG.fst", files / "HLG.fst");
        const fs::path work = root / "mixed-work";
        copyInto(kDefaultTree / "tokens.txt", work / "files" / "tokens.txt");
        const ProbeRun run = this->run(installProbe(base), work, "A_B_A");
        ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
        EXPECT_TRUE(run.has(
            "info\t[SherpaSTTNode] loadSherpaModel called with path: " + (files / kModelName).string()));
        EXPECT_EQ(run.countStartingWith("warning\t"), 0u) << run.result.standardOutput;
        EXPECT_TRUE(run.has("text\tABA")) << run.result.standardOutput;
    }
}

TEST_F(SttDefaultLocation, WorkingDirectoryModelWithoutTokensOrGraphIsRefusedByTheLibrary)
{
    const fs::path work = root / "work";
    copyInto(kDefaultTree / kModelName, work / "Models" / kModelName);
    const ProbeRun run = this->run(installProbe(root / "app"), work, "A_B_A");

    ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
    const std::vector<std::string> expectedInOrder{
        "info\t[SherpaSTTNode] loadSherpaModel called with path: " + (work / "Models" / kModelName).string(),
        "warning\t[SherpaSTTNode] Tokens file does not exist at path: "
            + (work / "files" / "tokens.txt").string(),
        "warning\t[SherpaSTTNode] Graph file does not exist at path: "
            + (work / "files" / "HLG.fst").string(),
        "error\t[SherpaSTTNode] Sherpa failed to create recognizer",
        "error\t[SherpaSTTNode] Check that the model files exist and are valid",
        "error\t[SherpaSTTNode] Failed to load Sherpa model.",
    };
    std::ptrdiff_t previous = -1;
    for (const std::string& line : expectedInOrder) {
        const std::ptrdiff_t index = run.indexOf(line);
        EXPECT_GT(index, previous) << line << "\n" << run.result.standardOutput;
        previous = index;
    }
    EXPECT_EQ(run.count("warning\t[SherpaSTTNode] Model file does not exist at path: "
                  + (work / "Models" / kModelName).string()),
        0u);
    // Unloaded: the audio is drained and dropped, nothing is recognised or freed.
    EXPECT_TRUE(run.has("text\t")) << run.result.standardOutput;
    EXPECT_EQ(run.countStartingWith("info\t[SherpaSTTNode] Freeing"), 0u);
}

} // namespace
