// models/VerdictStore: the per-user and the installation's store of model-check verdicts,
// on scratch directories, with the identities of models/FileIdentity, and as ombrix-speak
// and the model checker use them.

#include "models/VerdictStore.h"
#include "models/FileIdentity.h"
#include "models/ModelFileChecker.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
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
using extensions::sherpa::checkSpeechSynthesisFiles;
using extensions::sherpa::FileIdentity;
using extensions::sherpa::fileSetIdentity;
using extensions::sherpa::forgetCheckedModelFiles;
using extensions::sherpa::kModelCheckerEnvironmentVariable;
using extensions::sherpa::kModelCheckRuleVersion;
using extensions::sherpa::kVerdictStoreSwitchVariable;
using extensions::sherpa::modelCheckerSpawnCountForTesting;
using extensions::sherpa::settled;
using extensions::sherpa::VerdictStore;
using extensions::sherpa::VerdictStoreKind;

/// Sets an environment variable for the life of the object, then restores it.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value)
        : name_(name)
    {
        if (const char* saved = std::getenv(name)) {
            saved_ = saved;
        }
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnvironment() { saved_ ? ::setenv(name_, saved_->c_str(), 1) : ::unsetenv(name_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> saved_;
};

/// The identity of `files` once it is settled (no change time within the coarse clock's
/// last ticks), as the stores require before they remember one. Waits for that condition,
/// a few milliseconds after the last write.
FileIdentity settledIdentity(const std::vector<std::string>& files, const std::string& tree = {})
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (true) {
        std::optional<FileIdentity> identity = fileSetIdentity("tts", files, tree);
        if (!identity || settled(*identity) || std::chrono::steady_clock::now() > deadline) {
            return identity.value_or(FileIdentity{});
        }
    }
}

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

// The change time is what tells a rewritten file from the one proven good: the same size
// and a restored modification time still make another identity.
TEST_F(VerdictStoreTest, AFileRewrittenWithItsSizeAndModificationTimeRestoredNeverMatches)
{
    const fs::path file = root / "model.ort";
    std::ofstream(file, std::ios::binary) << std::string(4096, 'a');
    const FileIdentity proven = settledIdentity({file.string()});
    ASSERT_TRUE(settled(proven));
    ASSERT_TRUE(proven.nanosecondTimes) << "the scratch file system keeps no nanosecond times";
    const VerdictStore store(root / "store");
    ASSERT_TRUE(store.remember(proven.key));
    ASSERT_TRUE(store.contains(fileSetIdentity("tts", {file.string()})->key));

    struct stat before { };
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    {
        const int fd = ::open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "b", 1, 100), 1);
        ::close(fd);
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    struct stat after { };
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

    const std::optional<FileIdentity> rewritten = fileSetIdentity("tts", {file.string()});
    ASSERT_TRUE(rewritten.has_value());
    EXPECT_NE(rewritten->key, proven.key);
    EXPECT_FALSE(store.contains(rewritten->key));

    // A directory tree's identity changes when an entry is added below it.
    fs::create_directories(root / "tree" / "lang");
    const std::optional<FileIdentity> tree = fileSetIdentity("tts", {}, (root / "tree").string());
    std::ofstream(root / "tree" / "lang" / "de") << "de";
    EXPECT_NE(fileSetIdentity("tts", {}, (root / "tree").string())->key, tree->key);
}

// The installation's store: written by the checker for the installers (mode 0755, entries
// 0644), read by the plug-in, trusted only while no one but root or this user can write it.
TEST_F(VerdictStoreTest, AnInstallationsStoreIsTrustedOnlyWhileOnlyRootOrThisUserCanWriteIt)
{
    const fs::path prefix = root / "prefix";
    const fs::path directory = VerdictStore::installationDirectory(prefix);
    EXPECT_EQ(directory, prefix / "var" / "lib" / "ombrix-sherpa" / "verdicts");
    const VerdictStore missing(directory, kModelCheckRuleVersion, VerdictStoreKind::Installation);
    EXPECT_NE(missing.problem(), "");
    EXPECT_FALSE(fs::exists(directory)) << "a reader never creates the store";

    const VerdictStore writer(directory, kModelCheckRuleVersion, VerdictStoreKind::InstallationWriter);
    ASSERT_EQ(writer.problem(), "");
    ASSERT_TRUE(writer.remember("installed files"));
    EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all,
        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read
            | fs::perms::others_exec);
    const auto reader = [&](unsigned version = kModelCheckRuleVersion) {
        return VerdictStore(directory, version, VerdictStoreKind::Installation);
    };
    EXPECT_TRUE(reader().contains("installed files"));
    EXPECT_FALSE(reader().remember("other files")) << "the plug-in only reads it";
    EXPECT_FALSE(reader(kModelCheckRuleVersion + 1).contains("installed files"));
    // The per-user rules are stricter: a store readable by others is not a per-user store.
    EXPECT_NE(VerdictStore(directory).problem(), "");

    fs::permissions(directory, fs::perms::group_write, fs::perm_options::add);
    EXPECT_NE(reader().problem().find("writable by group or others"), std::string::npos)
        << reader().problem();
    EXPECT_FALSE(reader().contains("installed files"));
    fs::permissions(directory, fs::perms::group_write, fs::perm_options::remove);
    const std::vector<fs::path> written = entries(directory);
    ASSERT_EQ(written.size(), 1u);
    fs::permissions(written[0], fs::perms::others_write, fs::perm_options::add);
    EXPECT_FALSE(reader().contains("installed files"));
    fs::permissions(written[0], fs::perms::others_write, fs::perm_options::remove);
    EXPECT_TRUE(reader().contains("installed files"));

    // Another owner (only root can hand files to one): neither the directory nor an entry.
    if (::geteuid() == 0) {
        constexpr uid_t kNobody = 65534;
        ASSERT_EQ(::chown(written[0].c_str(), kNobody, kNobody), 0);
        EXPECT_FALSE(reader().contains("installed files"));
        ASSERT_EQ(::chown(written[0].c_str(), 0, 0), 0);
        ASSERT_EQ(::chown(directory.c_str(), kNobody, kNobody), 0);
        EXPECT_NE(reader().problem().find("belongs neither to root nor to this user"), std::string::npos)
            << reader().problem();
        EXPECT_FALSE(reader().contains("installed files"));
        ASSERT_EQ(::chown(directory.c_str(), 0, 0), 0);
        EXPECT_TRUE(reader().contains("installed files"));
    }
}

// Through the checker program, as the installers run it, and the plug-in in this process:
// the installation's verdict spares the check of files inside it, never of files outside.
TEST_F(VerdictStoreTest, AnInstallationsVerdictSparesTheCheckOnlyOfUnchangedFilesInsideIt)
{
    const fs::path prefix = root / "prefix";
    const fs::path realChecker = fs::path(OMBRIX_LIB_DIR) / "ombrix-sherpa-check";
    // The installation's checker: a script in its lib/, so that the prefix above it is this one.
    fs::create_directories(prefix / "lib");
    const fs::path checker = prefix / "lib" / "ombrix-sherpa-check";
    std::ofstream(checker) << "#!/bin/sh\nexec '" << realChecker.string() << "' \"$@\"\n";
    fs::permissions(checker, fs::perms::owner_all);
    const fs::path voice = prefix / "share" / "voice";
    fs::create_directories(voice.parent_path());
    fs::copy(fs::path(OMBRIX_FIXTURES_DIR) / "voice-en", voice, fs::copy_options::recursive);
    const std::string model = (voice / "model.onnx").string();
    const std::string tokens = (voice / "tokens.txt").string();
    const std::string data = (voice / "espeak-ng-data").string();
    const fs::path store = VerdictStore::installationDirectory(prefix);

    const auto storeVerdict = [&](const fs::path& storePrefix, const std::string& modelPath) {
        SubprocessOptions options;
        options.arguments = {"--store-verdict", storePrefix.string(), "tts", modelPath, tokens, data};
        return runSubprocess(checker.string(), options);
    };
    // Files outside the prefix get no verdict in its store.
    fs::create_directories(root / "elsewhere-prefix");
    const auto outside = storeVerdict(root / "elsewhere-prefix", model);
    ASSERT_TRUE(outside.succeeded()) << outside.describe();
    EXPECT_NE(outside.standardOutput.find("note verdict not stored: " + model + " is not inside"),
        std::string::npos)
        << outside.standardOutput;
    const auto stored = storeVerdict(prefix, model);
    ASSERT_TRUE(stored.succeeded()) << stored.describe();
    EXPECT_EQ(stored.standardOutput.find("note "), std::string::npos) << stored.standardOutput;
    ASSERT_EQ(entries(store).size(), 1u);

    const ScopedEnvironment checkerVariable(kModelCheckerEnvironmentVariable, checker.string());
    const ScopedEnvironment persistence(kVerdictStoreSwitchVariable, std::nullopt);
    const auto load = [&](const std::string& cache, const fs::path& directory) {
        const ScopedEnvironment cacheHome("XDG_CACHE_HOME", (root / cache).string());
        forgetCheckedModelFiles();
        const unsigned spawnsBefore = modelCheckerSpawnCountForTesting();
        const auto result = checkSpeechSynthesisFiles((directory / "model.onnx").string(),
            (directory / "tokens.txt").string(), (directory / "espeak-ng-data").string());
        EXPECT_TRUE(result.ok) << result.problem;
        return modelCheckerSpawnCountForTesting() - spawnsBefore;
    };
    EXPECT_EQ(load("cache-1", voice), 0u) << "the installation's verdict was not used";
    {
        const ScopedEnvironment off(kVerdictStoreSwitchVariable, "off");
        EXPECT_EQ(load("cache-2", voice), 1u) << "persistence switched off still used the store";
    }

    // The same files (renaming their directory keeps their identity) outside the prefix.
    const fs::path moved = root / "outside" / "voice";
    fs::create_directories(moved.parent_path());
    fs::rename(voice, moved);
    EXPECT_EQ(load("cache-3", moved), 1u) << "a verdict of the installation served files outside it";
    fs::rename(moved, voice);

    // A cleared store: checked again.
    fs::remove_all(store);
    EXPECT_EQ(load("cache-4", voice), 1u);
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
