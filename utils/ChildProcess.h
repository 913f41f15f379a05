#pragma once

// Starting child processes from a multithreaded process, shared by the model checker
// client (models/ModelFileChecker.cpp) and the tests' subprocess runner: an owned file
// descriptor, close-on-exec pipes, and posix_spawn with a clean signal state. Internal
// to this library; nothing here logs or throws.

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa {

/// A file descriptor owned by this object: closed when it goes or is replaced.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd(fd)
    {
    }
    UniqueFd(UniqueFd&& other) noexcept
        : fd(other.release())
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    /// Gives up ownership; the descriptor is the caller's.
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
    /// Closes the descriptor held (if any) and takes `newFd`.
    void reset(int newFd = -1);

private:
    int fd = -1;
};

/// Makes a close-on-exec pipe whose two ends sit at or above `lowestFd` (so that a
/// child's dup2 onto the descriptors below never meets one of them). Returns 0, or the
/// error number with both ends left empty.
int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int lowestFd = 0);

/// Pointers to the characters of each string, then a null pointer: an argv or envp
/// array, valid while `strings` is not changed.
std::vector<char*> pointersTo(std::vector<std::string>& strings);

/// How to start a child.
struct ChildProcessSpec {
    /// A path; a name without '/' is looked up in PATH.
    std::string program;
    /// The child's argv, argv[0] included.
    std::vector<std::string> arguments;
    /// The child's whole environment, "NAME=value" each.
    std::vector<std::string> environment;
    /// Descriptors of this process given to the child: {ours, the child's number}, in
    /// this order (dup2, which clears close-on-exec on the child's copy). The child's
    /// standard input is /dev/null unless one of these is 0.
    std::vector<std::pair<int, int>> descriptors;
    /// Directory the child starts in; empty keeps this process's.
    std::string workingDirectory;
    /// When >= 0, every descriptor from this number on is closed in the child, also those
    /// that code of the host process opened without close-on-exec.
    int closeFrom = -1;
};

/// Starts the child with posix_spawn (no fork: safe in a multithreaded process). The
/// child starts with no blocked signal and the default disposition of every signal,
/// whatever this thread blocks or this process ignores. Returns 0 with `pid` set, or the
/// error number (also for a program that cannot be executed). Allocates; never blocks
/// beyond the spawn itself.
int spawnChild(const ChildProcessSpec& request, pid_t& pid);

} // namespace ombrix::extensions::sherpa
