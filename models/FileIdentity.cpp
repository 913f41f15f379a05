#include "models/FileIdentity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "models/ModelFileInspection.h"

namespace ombrix::extensions::sherpa {

namespace {

bool later(const timespec& a, const timespec& b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

/// Device, inode, size, and modification and change times in nanoseconds, as raw bytes.
/// (The change time catches rewrites that keep size and modification time.)
void appendStatus(FileIdentity& identity, const struct stat& status)
{
    std::string& key = identity.key;
    const auto append
        = [&key](const auto& field) { key.append(reinterpret_cast<const char*>(&field), sizeof field); };
    append(status.st_dev);
    append(status.st_ino);
    append(status.st_size);
    append(status.st_mtim.tv_sec);
    append(status.st_mtim.tv_nsec);
    append(status.st_ctim.tv_sec);
    append(status.st_ctim.tv_nsec);
    identity.nanosecondTimes = identity.nanosecondTimes || status.st_ctim.tv_nsec != 0;
    if (later(status.st_ctim, identity.newestChange)) {
        identity.newestChange = status.st_ctim;
    }
}

/// Appends the name and status of every entry below the directory open at `directoryFd`
/// (which this takes over), directories included, so that a file added, removed,
/// replaced or rewritten anywhere below changes the key. Entries come in the directory's
/// own order, which only a change of the directory (and so of its status) can alter.
/// False when a directory cannot be read. One stat per entry; nothing is read.
bool appendTree(FileIdentity& identity, int directoryFd, int depth)
{
    // espeak-ng's own tree is three levels deep; linked directories are followed, this
    // far at most (a link loop ends here).
    constexpr int kMaxDepth = 8;
    DIR* const directory = ::fdopendir(directoryFd);
    if (directory == nullptr) {
        ::close(directoryFd);
        return false;
    }
    bool complete = true;
    while (true) {
        errno = 0;
        const dirent* const entry = ::readdir(directory);
        if (entry == nullptr) {
            complete = complete && errno == 0;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat status { };
        if (::fstatat(::dirfd(directory), entry->d_name, &status, 0) != 0) {
            continue; // a dangling link: nothing espeak-ng could read
        }
        identity.key += '\0';
        identity.key += name;
        appendStatus(identity, status);
        if (S_ISDIR(status.st_mode) && depth < kMaxDepth) {
            const int child = ::openat(::dirfd(directory), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            complete = child >= 0 && appendTree(identity, child, depth + 1) && complete;
            identity.key += '\1'; // the end of this directory's entries
        }
    }
    ::closedir(directory);
    return complete;
}

} // namespace

std::optional<FileIdentity> fileSetIdentity(
    const char* kind, const std::vector<std::string>& files, const std::string& tree)
{
    FileIdentity identity{kind};
    ::clock_gettime(CLOCK_REALTIME, &identity.takenAt);
    for (const std::string& file : files) {
        struct stat status { };
        if (::stat(file.c_str(), &status) != 0) {
            return std::nullopt;
        }
        identity.key += '\0';
        appendStatus(identity, status);
        identity.totalBytes += static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
    }
    if (!tree.empty()) {
        identity.key += '\2';
        const int directory = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        identity.complete = directory >= 0 && appendTree(identity, directory, 0);
    }
    return identity;
}

bool settled(const FileIdentity& identity)
{
    timespec tick{0, 0};
    if (::clock_getres(CLOCK_REALTIME_COARSE, &tick) != 0 || tick.tv_sec != 0) {
        return false;
    }
    constexpr long kNanosecondsPerSecond = 1000000000L;
    // Two ticks before takenAt: the coarse clock lags the fine one by up to a tick.
    timespec limit = identity.takenAt;
    limit.tv_nsec -= 2 * tick.tv_nsec;
    while (limit.tv_nsec < 0) {
        limit.tv_nsec += kNanosecondsPerSecond;
        --limit.tv_sec;
    }
    return later(limit, identity.newestChange);
}

FileSet voiceFileSet(const std::string& model, const std::string& tokens, const std::string& dataDir,
    const std::string& espeakDataDir)
{
    FileSet set{{model, tokens, dataDir}, espeakDataDir};
    if (espeakDataDir != dataDir) {
        for (std::string& file : espeakDataFiles(dataDir)) {
            set.files.push_back(std::move(file));
        }
    }
    return set;
}

FileSet recognizerFileSet(const std::string& model, const std::string& tokens, const std::string& graph)
{
    return FileSet{{model, tokens, graph}, {}};
}

} // namespace ombrix::extensions::sherpa
