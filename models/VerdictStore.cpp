#include "models/VerdictStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kEntrySuffix = ".verdict";
constexpr std::string_view kEntryMagic = "ombrix-sherpa verdict ";
// No key of a real file set comes near this (a full espeak-ng tree is some 50 KB).
constexpr std::size_t kMaxEntryBytes = 4 << 20;
constexpr mode_t kGroupAndOtherBits = S_IRWXG | S_IRWXO;

// FNV-1a, 64 bits: only names the entry; the entry's content decides.
std::uint64_t hashOf(std::string_view bytes)
{
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : bytes) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    }
    return hash;
}

constexpr mode_t kGroupAndOtherWrite = S_IWGRP | S_IWOTH;

// Whether a store of `kind` may hold files of the owner `uid`: this user's, and for an
// installation also root's.
bool trustedOwner(uid_t uid, VerdictStoreKind kind)
{
    return uid == ::geteuid() || (kind != VerdictStoreKind::PerUser && uid == 0);
}

// Empty when `status` is a directory that a store of `kind` can trust.
std::string directoryProblem(const fs::path& directory, const struct stat& status, VerdictStoreKind kind)
{
    if (!S_ISDIR(status.st_mode)) {
        return directory.string() + " is not a directory";
    }
    if (!trustedOwner(status.st_uid, kind)) {
        return directory.string()
            + (kind == VerdictStoreKind::PerUser ? " belongs to another user"
                                                 : " belongs neither to root nor to this user");
    }
    if (kind != VerdictStoreKind::PerUser && (status.st_mode & kGroupAndOtherWrite) != 0) {
        std::array<char, 8> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return directory.string() + " is writable by group or others (mode " + mode.data() + ")";
    }
    if (kind == VerdictStoreKind::PerUser && (status.st_mode & kGroupAndOtherBits) != 0) {
        std::array<char, 8> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o", static_cast<unsigned>(status.st_mode & 07777));
        return directory.string() + " is open to group or others (mode " + mode.data() + "); it must be 0700";
    }
    return {};
}

// The whole content of the entry at `path`, when it is a regular file of a trusted owner
// that no one else can write; std::nullopt otherwise.
std::optional<std::string> readEntry(const fs::path& path, VerdictStoreKind kind)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat status { };
    std::optional<std::string> content;
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && trustedOwner(status.st_uid, kind)
        && (status.st_mode & kGroupAndOtherWrite) == 0
        && static_cast<std::size_t>(status.st_size) <= kMaxEntryBytes) {
        std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got <= 0) {
                break;
            }
            done += static_cast<std::size_t>(got);
        }
        if (done == bytes.size()) {
            content = std::move(bytes);
        }
    }
    ::close(fd);
    return content;
}

bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

VerdictStore::VerdictStore(fs::path directory, unsigned ruleVersion, VerdictStoreKind kind)
    : directory_(std::move(directory))
    , ruleVersion_(ruleVersion)
    , kind_(kind)
{
    if (kind_ != VerdictStoreKind::Installation) {
        std::error_code error;
        const fs::path parent = directory_.parent_path();
        if (!parent.empty()) {
            fs::create_directories(parent, error);
        }
        const mode_t mode = kind_ == VerdictStoreKind::PerUser ? 0700 : 0755;
        if (::mkdir(directory_.c_str(), mode) == 0) {
            ::chmod(directory_.c_str(), mode); // whatever the umask
        } else if (errno != EEXIST) {
            problem_ = "cannot create " + directory_.string() + ": " + std::strerror(errno);
            return;
        }
    }
    struct stat status { };
    if (::lstat(directory_.c_str(), &status) != 0) {
        problem_ = "cannot examine " + directory_.string() + ": " + std::strerror(errno);
        return;
    }
    problem_ = directoryProblem(directory_, status, kind_);
}

bool VerdictStore::switchedOff()
{
    const char* value = std::getenv(kVerdictStoreSwitchVariable);
    return value != nullptr && (std::string_view(value) == "0" || std::string_view(value) == "off");
}

std::optional<VerdictStore> VerdictStore::forCurrentUser()
{
    if (switchedOff()) {
        return std::nullopt;
    }
    fs::path cache;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
        cache = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        cache = fs::path(home) / ".cache";
    } else {
        return std::nullopt;
    }
    return VerdictStore(cache / "ombrix-sherpa" / "verdicts");
}

fs::path VerdictStore::installationDirectory(const fs::path& prefix)
{
    return prefix / "var" / "lib" / "ombrix-sherpa" / "verdicts";
}

fs::path VerdictStore::entryPath(const std::string& key) const
{
    std::array<char, 17> name{};
    std::snprintf(name.data(), name.size(), "%016llx", static_cast<unsigned long long>(hashOf(key)));
    return directory_ / (std::string(name.data()) + std::string(kEntrySuffix));
}

std::string VerdictStore::entryContent(const std::string& key) const
{
    return std::string(kEntryMagic) + std::to_string(ruleVersion_) + "\n" + key;
}

bool VerdictStore::contains(const std::string& key) const
{
    if (!problem_.empty()) {
        return false;
    }
    const std::optional<std::string> content = readEntry(entryPath(key), kind_);
    return content && *content == entryContent(key);
}

bool VerdictStore::remember(const std::string& key) const
{
    if (!problem_.empty() || kind_ == VerdictStoreKind::Installation) {
        return false;
    }
    // Bounded: when full, the oldest entries go first.
    std::error_code error;
    std::vector<std::pair<fs::file_time_type, fs::path>> entries;
    for (fs::directory_iterator it(directory_, error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() == kEntrySuffix) {
            entries.emplace_back(it->last_write_time(error), it->path());
        }
    }
    if (entries.size() >= kMaxEntries) {
        std::sort(entries.begin(), entries.end());
        for (std::size_t i = 0; i + kMaxEntries / 2 < entries.size(); ++i) {
            fs::remove(entries[i].second, error);
        }
    }
    std::string temporary = (directory_ / ".entry-XXXXXX").string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::fchmod(fd, kind_ == VerdictStoreKind::PerUser ? 0600 : 0644) == 0
        && writeAll(fd, entryContent(key));
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), entryPath(key).c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void VerdictStore::clear() const
{
    if (!problem_.empty() || kind_ == VerdictStoreKind::Installation) {
        return;
    }
    std::error_code error;
    for (fs::directory_iterator it(directory_, error), end; !error && it != end; it.increment(error)) {
        fs::remove(it->path(), error);
    }
}

} // namespace ombrix::extensions::sherpa
