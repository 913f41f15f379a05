#pragma once

// The identity of a set of model files, as the model checker's verdicts are keyed: for
// every file its device, inode, size, and modification and change times in nanoseconds,
// and for a directory tree (espeak-ng's data) the name and the same status of every entry
// below it. Paths are not part of it (only the entry names inside a tree are), so a file
// set proven good keeps its identity when the directory holding it is renamed, as an
// installer does when it moves a checked voice into place; a file rewritten, replaced,
// added or removed changes it.
//
// The change time is what makes the identity safe to keep: the kernel sets it on every
// change of a file (its contents, its times, its owner or mode) and no call lets a user
// set it, unlike the modification time (touch, utimensat). It is taken from a coarse
// clock, though: two changes within one tick of that clock can leave the same change
// time. An identity is therefore settled() only when every change time is at least two
// ticks older than the moment it was taken; any later change then gets another one.
//
// Everything here does file-system calls (one stat per file and tree entry, no reads of
// file contents): never on the audio thread. Shared by the plug-in and the checker
// program, which stores the verdicts of files that an installer has checked.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace ombrix::extensions::sherpa {

struct FileIdentity {
    std::string key;
    std::uint64_t totalBytes = 0;
    /// False when a directory tree of the key could not be listed in full: the verdict
    /// is then not remembered.
    bool complete = true;
    /// A change time has a nonzero nanosecond part: the file system keeps nanosecond
    /// times, the condition for remembering the verdict across processes.
    bool nanosecondTimes = false;
    /// The latest change time of any file or tree entry, and when the identity was taken
    /// (CLOCK_REALTIME, the clock change times come from).
    timespec newestChange{0, 0};
    timespec takenAt{0, 0};
};

/// The identity of `files` (stat follows links) and, when `tree` is not empty, of every
/// entry below that directory; std::nullopt when one of the files cannot be examined.
std::optional<FileIdentity> fileSetIdentity(
    const char* kind, const std::vector<std::string>& files, const std::string& tree = {});

/// True when no change made after `identity` was taken can leave it as it is: every
/// change time is at least two ticks of the kernel's coarse clock older than takenAt.
bool settled(const FileIdentity& identity);

/// The files and tree of a voice's identity, as the text-to-speech node loads it:
/// model, tokens and data directory, plus the data directory's own espeak-ng files when
/// espeak-ng reads another directory (`espeakDataDir`), whose whole tree is the key's tree.
struct FileSet {
    std::vector<std::string> files;
    std::string tree;
};
FileSet voiceFileSet(const std::string& model, const std::string& tokens, const std::string& dataDir,
    const std::string& espeakDataDir);
FileSet recognizerFileSet(const std::string& model, const std::string& tokens, const std::string& graph);

} // namespace ombrix::extensions::sherpa
