// The phoneme-data path workaround against the real engine. espeak-ng reads its data
// directory once per process, from the first engine, and ends the process when it cannot
// use it, so every case runs the probe program in a fresh process with its own TMPDIR.

#include "tts/PhonemeDataPath.h"

#include "PhonemeDataPathTestSupport.h"
#include "support/Subprocess.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

namespace ombrix::extensions::sherpa {
namespace {

namespace fs = std::filesystem;
namespace support = ombrix::testing;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kProbe = OMBRIX_LONG_DATA_PATH_PROBE;
constexpr int kProbeRefused = 3; // the probe's exit status for a refused data path
constexpr std::size_t kLongPath = 300;

class PhonemeDataPathWithEngine : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::is_regular_file(voice / "model.onnx")) << "fixture missing: " << voice;
        ASSERT_TRUE(fs::is_directory(voice / "espeak-ng-data")) << "fixture missing: " << voice;
        temporaryDirectory = root.path() / "tmp";
        fs::create_directory(temporaryDirectory);
        // Nothing can be created below a regular file, not even by root.
        support::replaceWithFile(root.path() / "file");
        unusableTmpdir = (root.path() / "file" / "tmp").native();
    }

    /// A copy of the voice's espeak-ng data at a path of exactly `length` bytes.
    std::string placeData(std::size_t length) const
    {
        const fs::path directory = support::makeDirectoryOfLength(root.path() / "data", length);
        fs::copy(voice / "espeak-ng-data", directory, fs::copy_options::recursive);
        return directory.native();
    }

    /// Runs the probe with TMPDIR set to `tmpdir` (std::nullopt: unset).
    support::SubprocessResult probe(const std::string& dataPath, const std::optional<std::string>& tmpdir,
        const std::string& workingDirectory = {}, bool guard = true) const
    {
        support::SubprocessOptions options;
        options.arguments = {(voice / "model.onnx").native(), (voice / "tokens.txt").native(), dataPath};
        if (!guard) {
            options.arguments.push_back("--no-guard");
        }
        options.environment["TMPDIR"] = tmpdir;
        options.workingDirectory = workingDirectory;
        return support::runSubprocess(kProbe, options);
    }

    /// Samples the probe reported, or -1.
    static long samples(const support::SubprocessResult& result)
    {
        const std::string key = "samples=";
        const std::size_t at = result.standardOutput.find(key);
        return at == std::string::npos ? -1 : std::stol(result.standardOutput.substr(at + key.size()));
    }

    /// What the voice gives on its own short path.
    long referenceSamples() const
    {
        const auto reference = probe((voice / "espeak-ng-data").native(), temporaryDirectory.native());
        EXPECT_TRUE(reference.succeeded()) << reference.describe();
        EXPECT_GT(samples(reference), 0) << reference.standardOutput;
        return samples(reference);
    }

    static std::string linkName(const std::string& dataPath)
    {
        return phonemeDataLinkPath("", dataPath).native();
    }

    const fs::path voice = fs::path(OMBRIX_FIXTURES_DIR) / "voice-en";
    support::TemporaryDirectory root;
    fs::path temporaryDirectory;
    std::string unusableTmpdir;
};

TEST_F(PhonemeDataPathWithEngine, VoiceOnALongPathSpeaksThroughTheShortLink)
{
    const long expected = referenceSamples();
    const std::string dataPath = placeData(kLongPath);

    const auto viaTmpdir = probe(dataPath, temporaryDirectory.native());
    ASSERT_TRUE(viaTmpdir.succeeded()) << viaTmpdir.describe();
    const fs::path link = temporaryDirectory / linkName(dataPath);
    EXPECT_THAT(viaTmpdir.standardOutput, HasSubstr("effective-data-dir=" + link.native() + "\n"));
    EXPECT_EQ(samples(viaTmpdir), expected);
    EXPECT_THAT(viaTmpdir.standardError, HasSubstr("using short symlink: " + link.native()));

    // An empty TMPDIR puts the link into the working directory, and the relative link
    // path resolves there for the engine as well.
    const fs::path work = root.path() / "work";
    fs::create_directory(work);
    const auto viaWorkingDirectory = probe(dataPath, std::string(), work.native());
    ASSERT_TRUE(viaWorkingDirectory.succeeded()) << viaWorkingDirectory.describe();
    EXPECT_THAT(
        viaWorkingDirectory.standardOutput, HasSubstr("effective-data-dir=" + linkName(dataPath) + "\n"));
    EXPECT_EQ(fs::read_symlink(work / linkName(dataPath)).native(), dataPath);
    EXPECT_EQ(samples(viaWorkingDirectory), expected);
}

TEST_F(PhonemeDataPathWithEngine, LongPathWithoutALinkIsRefusedInsteadOfEndingTheProcess)
{
    const std::string dataPath = placeData(kLongPath);

    const auto unset = probe(dataPath, std::nullopt);
    EXPECT_TRUE(unset.exited && unset.exitCode == kProbeRefused) << unset.describe();
    EXPECT_THAT(unset.standardError, HasSubstr("TMPDIR is unset"));

    const auto unusable = probe(dataPath, unusableTmpdir);
    EXPECT_TRUE(unusable.exited && unusable.exitCode == kProbeRefused) << unusable.describe();
    EXPECT_THAT(
        unusable.standardError, HasSubstr("Could not create short espeak-ng-data symlink (Not a directory)"));
    EXPECT_THAT(unusable.standardOutput, Not(HasSubstr("samples=")));
}

TEST_F(PhonemeDataPathWithEngine, EspeakTakesPathsUpToTheUsableLimitAndDiesBeyondIt)
{
    const long expected = referenceSamples();

    // No link can be made, so the engine sees the long paths themselves.
    const auto atLimit = probe(placeData(kEspeakDataPathMaxBytes), unusableTmpdir);
    ASSERT_TRUE(atLimit.succeeded()) << atLimit.describe();
    EXPECT_EQ(samples(atLimit), expected);

    fs::remove_all(root.path() / "data");
    const std::string overLimit = placeData(kEspeakDataPathMaxBytes + 1);
    const auto refused = probe(overLimit, unusableTmpdir);
    EXPECT_TRUE(refused.exited && refused.exitCode == kProbeRefused) << refused.describe();

    // What the guard prevents: espeak-ng ends the process.
    const auto unguarded = probe(overLimit, unusableTmpdir, {}, false);
    EXPECT_TRUE(unguarded.exited && unguarded.exitCode != 0 && unguarded.exitCode != kProbeRefused)
        << unguarded.describe();
    EXPECT_THAT(unguarded.standardOutput, Not(HasSubstr("samples=")));
}

} // namespace
} // namespace ombrix::extensions::sherpa
