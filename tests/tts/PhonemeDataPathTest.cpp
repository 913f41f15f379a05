#include "tts/PhonemeDataPath.h"

#include "PhonemeDataPathTestSupport.h"
#include "support/LogCapture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "host/Logger.h"

namespace ombrix::extensions::sherpa {
namespace {

namespace fs = std::filesystem;
namespace support = ombrix::testing;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

/// A user id that owns nothing on the test machine.
constexpr uid_t kForeignUser = 54321;

std::string linkName(const std::string& dataPath)
{
    return "ox-espeak-" + std::to_string(std::hash<std::string>{}(dataPath));
}

std::string infoLine(const std::string& dataPath, const std::string& linkPath)
{
    return "[SherpaTTSNode] espeak-ng-data path is " + std::to_string(dataPath.size())
        + " chars (exceeds espeak-ng's 255-byte limit); using short symlink: " + linkPath;
}

std::string noLinkLine(const std::string& reason)
{
    return "[SherpaTTSNode] Could not create short espeak-ng-data symlink (" + reason
        + "); espeak-ng may fail to load its data on this long path.";
}

class PhonemeDataPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(root.path().empty());
        temporaryDirectory = root.path() / "tmp";
        fs::create_directory(temporaryDirectory);
        dataPath = support::makeDirectoryOfLength(root.path() / "data", kLongPath).native();
        tmpdir.set(temporaryDirectory.native());
    }

    static constexpr std::size_t kLongPath = 300;
    support::TemporaryDirectory root;
    support::ScopedTmpdir tmpdir;
    fs::path temporaryDirectory;
    std::string dataPath;
};

TEST(PhonemeDataLinkName, HashIsLibstdcxxStringHash)
{
    std::mt19937_64 random(7);
    std::vector<unsigned char> bytes(1024 + 8);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length = 0; length <= 1024; ++length) {
            const void* data = bytes.data() + offset;
            ASSERT_EQ(murmurHash64A(data, length, kPhonemeDataLinkHashSeed),
                std::_Hash_bytes(data, length, kPhonemeDataLinkHashSeed))
                << "offset " << offset << " length " << length;
            ASSERT_EQ(murmurHash64A(data, length, length * 0x9e3779b97f4a7c15ULL),
                std::_Hash_bytes(data, length, length * 0x9e3779b97f4a7c15ULL))
                << "offset " << offset << " length " << length;
        }
    }
    const std::string path = "/some/where/espeak-ng-data";
    EXPECT_EQ(
        murmurHash64A(path.data(), path.size(), kPhonemeDataLinkHashSeed), std::hash<std::string>{}(path));
}

TEST(PhonemeDataLinkName, JoinsTheDirectoryWithTheStandardAppendRule)
{
    const std::string dataPath = "/a/long/path/espeak-ng-data";
    const std::string name = linkName(dataPath);
    EXPECT_THAT(name, ::testing::MatchesRegex("ox-espeak-[1-9][0-9]*"));
    EXPECT_EQ(phonemeDataLinkPath("/x", dataPath).native(), "/x/" + name);
    EXPECT_EQ(phonemeDataLinkPath("/x/", dataPath).native(), "/x/" + name);
    EXPECT_EQ(phonemeDataLinkPath("", dataPath).native(), name);
    EXPECT_EQ(phonemeDataLinkPath("rel", dataPath).native(), "rel/" + name);
    EXPECT_NE(phonemeDataLinkPath("/x", dataPath + "/"), phonemeDataLinkPath("/x", dataPath))
        << "the name depends on the path string as given";
}

TEST_F(PhonemeDataPath, LongPathIsReplacedByAShortLinkEvenOverAnOldEntry)
{
    const fs::path link = temporaryDirectory / linkName(dataPath);
    support::LogCapture log;

    EXPECT_EQ(shortPhonemeDataPath(dataPath), link.native());
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).native(), dataPath);

    // Whatever is at the name is replaced: the previous link, a stale link elsewhere,
    // a file, an empty directory, a link owned by someone else (we run as root here).
    const fs::path elsewhere = root.path() / "elsewhere";
    fs::create_directory(elsewhere);
    std::vector<std::function<void()>> occupants = {
        [] {},
        [&] { support::replaceWithSymlink(link, elsewhere); },
        [&] { support::replaceWithFile(link); },
        [&] {
            fs::remove(link);
            fs::create_directory(link);
        },
    };
    if (::geteuid() == 0) { // only root can give a link away
        occupants.emplace_back([&] {
            support::replaceWithSymlink(link, elsewhere);
            ASSERT_EQ(::lchown(link.c_str(), kForeignUser, kForeignUser), 0);
        });
    }
    for (const auto& occupy : occupants) {
        occupy();
        EXPECT_EQ(shortPhonemeDataPath(dataPath), link.native());
        EXPECT_EQ(fs::read_symlink(link).native(), dataPath);
    }

    // A trailing slash on TMPDIR gives the same link.
    tmpdir.set(temporaryDirectory.native() + "/");
    EXPECT_EQ(shortPhonemeDataPath(dataPath), link.native());

    const std::vector<std::string> expectedInfo(occupants.size() + 2, infoLine(dataPath, link.native()));
    EXPECT_EQ(log.linesAt(LogLevel::Info), expectedInfo);
    EXPECT_THAT(log.linesAt(LogLevel::Warning), IsEmpty());
}

TEST_F(PhonemeDataPath, WithoutUsableTmpdirTheLongPathStaysWithAWarning)
{
    support::LogCapture log;

    tmpdir.unset();
    EXPECT_EQ(shortPhonemeDataPath(dataPath), dataPath);

    tmpdir.set((root.path() / "missing").native());
    EXPECT_EQ(shortPhonemeDataPath(dataPath), dataPath);

    // Root may write into read-only directories, so a path below a regular file stands in
    // for a temporary directory that cannot be written.
    const fs::path file = root.path() / "file";
    support::replaceWithFile(file);
    tmpdir.set((file / "sub").native());
    EXPECT_EQ(shortPhonemeDataPath(dataPath), dataPath);

    // A non-empty directory at the link name cannot be removed.
    const fs::path occupied = temporaryDirectory / linkName(dataPath);
    fs::create_directory(occupied);
    support::replaceWithFile(occupied / "keep");
    tmpdir.set(temporaryDirectory.native());
    EXPECT_EQ(shortPhonemeDataPath(dataPath), dataPath);
    EXPECT_TRUE(fs::exists(occupied / "keep"));

    EXPECT_THAT(log.linesAt(LogLevel::Warning),
        ElementsAre(
            "[SherpaTTSNode] espeak-ng-data path is too long and TMPDIR is unset; espeak-ng may fail to "
            "load its data.",
            noLinkLine("No such file or directory"), noLinkLine("Not a directory"),
            noLinkLine("File exists")));
    EXPECT_THAT(log.linesAt(LogLevel::Info), IsEmpty());
}

TEST_F(PhonemeDataPath, LinkThatIsTooLongOrCannotBeFollowedIsNotUsed)
{
    const std::string name = linkName(dataPath);
    support::LogCapture log;

    // The link path may be 240 bytes long, not 241.
    for (const std::size_t linkLength : {kPhonemeDataPathLimit, kPhonemeDataPathLimit + 1}) {
        const fs::path directory = support::makeDirectoryOfLength(
            root.path() / ("t" + std::to_string(linkLength)), linkLength - 1 - name.size());
        tmpdir.set(directory.native());
        const fs::path link = directory / name;
        ASSERT_EQ(link.native().size(), linkLength);
        EXPECT_EQ(
            shortPhonemeDataPath(dataPath), linkLength == kPhonemeDataPathLimit ? link.native() : dataPath);
        EXPECT_TRUE(fs::is_symlink(link)) << "the link is made either way";
    }

    // A relative target resolves against the link's directory, where it does not exist.
    tmpdir.set(temporaryDirectory.native());
    const std::string relativePath = fs::relative(dataPath, root.path()).native();
    ASSERT_GT(relativePath.size(), kPhonemeDataPathLimit);
    EXPECT_EQ(shortPhonemeDataPath(relativePath), relativePath);
    EXPECT_TRUE(fs::is_symlink(temporaryDirectory / linkName(relativePath)));

    // A target that cannot be resolved makes the existence test throw.
    const fs::path loop = support::makeDirectoryOfLength(root.path() / "loop", kLongPath - 2);
    fs::create_symlink("b", loop / "a");
    fs::create_symlink("a", loop / "b");
    const std::string loopingPath = (loop / "a").native();
    EXPECT_EQ(shortPhonemeDataPath(loopingPath), loopingPath);

    EXPECT_EQ(log.linesAt(LogLevel::Info).size(), 1u);
    EXPECT_THAT(log.linesAt(LogLevel::Warning),
        ElementsAre(noLinkLine("Success"), noLinkLine("Success"),
            AllOf(StartsWith("[SherpaTTSNode] espeak-ng-data symlink workaround failed: "),
                HasSubstr("Too many levels of symbolic links"))));
}

TEST_F(PhonemeDataPath, LinkReplacedBySomeoneElseIsNotUsed)
{
    const fs::path link = temporaryDirectory / linkName(dataPath);
    const fs::path decoy = root.path() / "decoy";
    fs::create_directory(decoy);
    const std::string replacedLine = "[SherpaTTSNode] Short espeak-ng-data symlink " + link.native()
        + " was replaced by an entry that is not ours or does not point at " + dataPath
        + "; espeak-ng may fail to load its data on this long path.";
    std::vector<std::function<void(const fs::path&)>> replacements = {
        [&](const fs::path& created) { support::replaceWithSymlink(created, decoy); },
        [&](const fs::path& created) {
            fs::remove(created);
            fs::create_directory(created);
        },
    };
    if (::geteuid() == 0) { // only root can give a link away
        replacements.emplace_back([&](const fs::path& created) {
            support::replaceWithSymlink(created, dataPath);
            ASSERT_EQ(::lchown(created.c_str(), kForeignUser, kForeignUser), 0);
        });
    }

    support::LogCapture log;
    for (const auto& replace : replacements) {
        EXPECT_EQ(detail::shortPhonemeDataPath(dataPath, replace), dataPath);
    }
    EXPECT_EQ(detail::shortPhonemeDataPath(dataPath, [](const fs::path&) {}), link.native());

    EXPECT_EQ(log.linesAt(LogLevel::Warning), std::vector<std::string>(replacements.size(), replacedLine));
    EXPECT_THAT(log.linesAt(LogLevel::Info), ElementsAre(infoLine(dataPath, link.native())));
}

} // namespace
} // namespace ombrix::extensions::sherpa
