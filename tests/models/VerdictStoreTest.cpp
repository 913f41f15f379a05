// models/VerdictStore: the per-user store of model-check verdicts, on scratch directories,
// and as ombrix-speak uses it through the checker.

#include "models/VerdictStore.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;
using extensions::sherpa::kModelCheckRuleVersion;
using extensions::sherpa::kVerdictStoreSwitchVariable;
using extensions::sherpa::VerdictStore;

class VerdictStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path()
            / ("verdict-store-" + std::to_string(::getpid()) + "-"
                + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root);
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::permissions(root / "store", fs::perms::owner_all, ignored);
        fs::remove_all(root, ignored);
    }

    std::vector<fs::path> entries(const fs::path& directory) const
    {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(directory)) {
            found.push_back(entry.path());
        }
        return found;
    }

    fs::path root;
};

TEST_F(VerdictStoreTest, HoldsExactlyTheKeyUnderItsRuleVersionUntilCleared)
{
    const fs::path directory = root / "cache" / "store";
    const VerdictStore store(directory);
    ASSERT_EQ(store.problem(), "");
    EXPECT_EQ(fs::status(directory).permissions(), fs::perms::owner_all);
    const std::string key = std::string("voice\0/a/model.ort\0", 19) + "\x01\x02status";
    EXPECT_FALSE(store.contains(key));
    ASSERT_TRUE(store.remember(key));
    EXPECT_TRUE(store.contains(key));
    EXPECT_TRUE(VerdictStore(directory).contains(key)) << "another process sees it";
    const std::vector<fs::path> written = entries(directory);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(fs::status(written[0]).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    // A changed file changes its status bytes: no match, however similar.
    std::string changed = key;
    changed.back() = 'S';
    EXPECT_FALSE(store.contains(changed));
    EXPECT_FALSE(store.contains(key + "more"));
    // A newer checker's rules: every old verdict is ignored.
    EXPECT_FALSE(VerdictStore(directory, kModelCheckRuleVersion + 1).contains(key));

    store.clear();
    EXPECT_FALSE(store.contains(key));
    EXPECT_TRUE(entries(directory).empty());

    // Bounded: never more than kMaxEntries entries.
    for (std::size_t i = 0; i < VerdictStore::kMaxEntries + 20; ++i) {
        ASSERT_TRUE(store.remember("key " + std::to_string(i)));
    }
    EXPECT_LE(entries(directory).size(), VerdictStore::kMaxEntries);
    EXPECT_TRUE(store.contains("key " + std::to_string(VerdictStore::kMaxEntries + 19)));
}

TEST_F(VerdictStoreTest, IsRefusedAndIgnoredWhenOthersCouldWriteIt)
{
    const fs::path directory = root / "store";
    ASSERT_TRUE(VerdictStore(directory).remember("good files"));

    fs::permissions(directory,
        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec);
    const VerdictStore open(directory);
    EXPECT_NE(open.problem().find("open to group or others (mode 0755)"), std::string::npos)
        << open.problem();
    EXPECT_FALSE(open.contains("good files"));
    EXPECT_FALSE(open.remember("other files"));
    fs::permissions(directory, fs::perms::owner_all);

    // A link in place of the directory is not the directory.
    const fs::path link = root / "linked";
    fs::create_directory_symlink(directory, link);
    EXPECT_NE(VerdictStore(link).problem().find("is not a directory"), std::string::npos);
    EXPECT_FALSE(VerdictStore(link).contains("good files"));

    // An entry someone else could have written does not count.
    const std::vector<fs::path> written = entries(directory);
    ASSERT_EQ(written.size(), 1u);
    fs::permissions(written[0], fs::perms::group_write, fs::perm_options::add);
    EXPECT_FALSE(VerdictStore(directory).contains("good files"));
}

TEST_F(VerdictStoreTest, TwoProcessesWritingAtOnceLeaveEveryEntryWholeAndNoTemporaryFile)
{
    const fs::path directory = root / "store";
    ASSERT_EQ(VerdictStore(directory).problem(), "");
    constexpr int kKeys = 150;
    // Both processes write the same keys (the same entry names) and some of their own.
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const VerdictStore store(directory);
            bool ok = true;
            for (int i = 0; i < kKeys; ++i) {
                ok = store.remember("shared " + std::to_string(i) + std::string(2000, 'x')) && ok;
                ok = store.remember("child " + std::to_string(child) + " " + std::to_string(i)) && ok;
            }
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const VerdictStore store(directory);
    for (int i = 0; i < kKeys; ++i) {
        EXPECT_TRUE(store.contains("shared " + std::to_string(i) + std::string(2000, 'x'))) << i;
        EXPECT_TRUE(store.contains("child 0 " + std::to_string(i))) << i;
        EXPECT_TRUE(store.contains("child 1 " + std::to_string(i))) << i;
    }
    for (const fs::path& entry : entries(directory)) {
        EXPECT_EQ(entry.extension(), ".verdict") << entry;
    }
}

TEST_F(VerdictStoreTest, TheUsersStoreLivesUnderXdgCacheHomeAndHasASwitch)
{
    const char* savedXdg = std::getenv("XDG_CACHE_HOME");
    const char* savedSwitch = std::getenv(kVerdictStoreSwitchVariable);
    const std::optional<std::string> xdg = savedXdg ? std::optional<std::string>(savedXdg) : std::nullopt;
    const std::optional<std::string> switchValue
        = savedSwitch ? std::optional<std::string>(savedSwitch) : std::nullopt;
    ::setenv("XDG_CACHE_HOME", root.c_str(), 1);
    ::unsetenv(kVerdictStoreSwitchVariable);
    const std::optional<VerdictStore> store = VerdictStore::forCurrentUser();
    ASSERT_TRUE(store.has_value());
    EXPECT_EQ(store->directory(), root / "ombrix-sherpa" / "verdicts");
    EXPECT_EQ(store->problem(), "");
    ::setenv(kVerdictStoreSwitchVariable, "off", 1);
    EXPECT_FALSE(VerdictStore::forCurrentUser().has_value());
    xdg ? ::setenv("XDG_CACHE_HOME", xdg->c_str(), 1) : ::unsetenv("XDG_CACHE_HOME");
    switchValue ? ::setenv(kVerdictStoreSwitchVariable, switchValue->c_str(), 1)
                : ::unsetenv(kVerdictStoreSwitchVariable);
}

// Through the checker: a first process stores the verdict of the default voice, a later
// one finds it; a rewritten model file gets an entry of its own.
TEST_F(VerdictStoreTest, ALaterProcessFindsTheVerdictAndAChangedFileIsCheckedAgain)
{
    const fs::path cache = root / "xdg";
    const fs::path voice = root / "voice";
    const fs::path fixtures = OMBRIX_FIXTURES_DIR;
    fs::copy(fixtures / "voice-en", voice, fs::copy_options::recursive);
    const auto speak = [&] {
        SubprocessOptions options;
        options.arguments
            = {"--model", (voice / "model.onnx").string(), "-o", (root / "out.wav").string(), "Hi."};
        options.environment["XDG_CACHE_HOME"] = cache.string();
        options.environment[kVerdictStoreSwitchVariable] = std::nullopt;
        return runSubprocess(OMBRIX_SPEAK_TOOL, options);
    };
    const fs::path store = cache / "ombrix-sherpa" / "verdicts";
    const auto first = speak();
    ASSERT_TRUE(first.succeeded()) << first.describe();
    ASSERT_TRUE(fs::is_directory(store));
    const std::size_t afterFirst = entries(store).size();
    EXPECT_GE(afterFirst, 1u);
    const auto second = speak();
    ASSERT_TRUE(second.succeeded()) << second.describe();
    EXPECT_EQ(entries(store).size(), afterFirst) << "the later process stored nothing new";

    // Rewritten with the same bytes: a new identity, checked and stored again.
    const std::string model = [&] {
        std::ifstream in(voice / "model.onnx", std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }();
    fs::remove(voice / "model.onnx");
    std::ofstream(voice / "model.onnx", std::ios::binary) << model;
    const auto third = speak();
    ASSERT_TRUE(third.succeeded()) << third.describe();
    EXPECT_GT(entries(store).size(), afterFirst);
}

} // namespace
} // namespace ombrix::testing
