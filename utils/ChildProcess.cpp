#include "utils/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace ombrix::extensions::sherpa {

namespace {

/// posix_spawn's file actions and attributes, released on every path.
class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
};

} // namespace

void UniqueFd::reset(int newFd)
{
    if (fd >= 0) {
        ::close(fd);
    }
    fd = newFd;
}

int makePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int lowestFd)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return errno;
    }
    UniqueFd made[2] = {UniqueFd(ends[0]), UniqueFd(ends[1])};
    for (UniqueFd& end : made) {
        if (end.get() < lowestFd) {
            const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, lowestFd);
            if (moved < 0) {
                return errno;
            }
            end.reset(moved);
        }
    }
    readEnd = std::move(made[0]);
    writeEnd = std::move(made[1]);
    return 0;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

int spawnChild(const ChildProcessSpec& request, pid_t& pid)
{
    SpawnSetup setup;
    bool givesInput = false;
    for (const auto& [ours, theirs] : request.descriptors) {
        givesInput = givesInput || theirs == STDIN_FILENO;
    }
    int error = givesInput
        ? 0
        : posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    for (const auto& [ours, theirs] : request.descriptors) {
        error = error != 0 ? error : posix_spawn_file_actions_adddup2(&setup.actions, ours, theirs);
    }
    if (error == 0 && !request.workingDirectory.empty()) {
        error = posix_spawn_file_actions_addchdir_np(&setup.actions, request.workingDirectory.c_str());
    }
    if (error == 0 && request.closeFrom >= 0) {
        error = posix_spawn_file_actions_addclosefrom_np(&setup.actions, request.closeFrom);
    }
    if (error != 0) {
        return error;
    }
    sigset_t noSignals;
    sigset_t everySignal;
    sigemptyset(&noSignals);
    sigemptyset(&everySignal);
    for (int signal = 1; signal < SIGRTMIN; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            sigaddset(&everySignal, signal);
        }
    }
    posix_spawnattr_setsigmask(&setup.attributes, &noSignals);
    posix_spawnattr_setsigdefault(&setup.attributes, &everySignal);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> arguments = request.arguments;
    std::vector<std::string> environment = request.environment;
    const std::vector<char*> argv = pointersTo(arguments);
    const std::vector<char*> envp = pointersTo(environment);
    const bool searchPath = request.program.find('/') == std::string::npos;
    return searchPath ? ::posix_spawnp(
               &pid, request.program.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data())
                      : ::posix_spawn(&pid, request.program.c_str(), &setup.actions, &setup.attributes,
                          argv.data(), envp.data());
}

} // namespace ombrix::extensions::sherpa
