#include "Subprocess.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace ombrix::testing {

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : fd(fd)
    {
    }
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept
        : fd(other.release())
    {
    }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd = other.release();
        }
        return *this;
    }
    int get() const { return fd; }
    int release()
    {
        const int result = fd;
        fd = -1;
        return result;
    }
    void reset()
    {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }

private:
    int fd = -1;
};

struct Pipe {
    Fd readEnd;
    Fd writeEnd;
};

Pipe makePipe()
{
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    return Pipe{Fd(fds[0]), Fd(fds[1])};
}

std::vector<std::string> buildEnvironment(const std::map<std::string, std::optional<std::string>>& overrides)
{
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        if (overrides.find(name) == overrides.end()) {
            result.push_back(text);
        }
    }
    for (const auto& [name, value] : overrides) {
        if (value) {
            result.push_back(name + "=" + *value);
        }
    }
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

class SpawnAttributes {
public:
    SpawnAttributes()
    {
        posix_spawnattr_init(&attributes);
        // The child starts with default SIGPIPE handling and an empty signal mask, whatever
        // this process has set up.
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        sigset_t empty;
        sigemptyset(&empty);
        posix_spawnattr_setsigmask(&attributes, &empty);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* get() const { return &attributes; }

private:
    posix_spawnattr_t attributes{};
};

// Writing to a child that stopped reading its input must fail with EPIPE, not kill the
// test program. Process-wide and never undone; children get the default back.
void ignoreSigpipe()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions; }

private:
    posix_spawn_file_actions_t actions{};
};

void check(int error, const char* what)
{
    if (error != 0) {
        throw std::system_error(error, std::generic_category(), what);
    }
}

// Moves data between this process and the child's pipes until both output pipes are at
// end of file or the deadline passes. Returns false on timeout.
bool pumpPipes(Fd& input, const std::string& inputText, Fd& output, Fd& error, std::string& outputText,
    std::string& errorText, std::chrono::steady_clock::time_point deadline)
{
    std::size_t written = 0;
    std::array<char, 4096> chunk{};
    while (output.get() >= 0 || error.get() >= 0) {
        std::array<pollfd, 3> fds{};
        nfds_t count = 0;
        const auto add = [&](Fd& fd, short events) {
            if (fd.get() >= 0) {
                fds[count++] = pollfd{fd.get(), events, 0};
            }
        };
        add(output, POLLIN);
        add(error, POLLIN);
        add(input, POLLOUT);

        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            return false;
        }
        const int ready
            = ::poll(fds.data(), count, static_cast<int>(std::min<long long>(remaining.count(), 1000)));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            if (fds[i].fd == input.get()) {
                const ssize_t n
                    = ::write(input.get(), inputText.data() + written, inputText.size() - written);
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                }
                if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                    continue;
                }
                if (n < 0 || written == inputText.size()) {
                    input.reset(); // done, or the child closed its end
                }
                continue;
            }
            Fd& source = fds[i].fd == output.get() ? output : error;
            std::string& sink = fds[i].fd == output.get() ? outputText : errorText;
            const ssize_t n = ::read(source.get(), chunk.data(), chunk.size());
            if (n > 0) {
                sink.append(chunk.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                source.reset();
            }
        }
    }
    return true;
}

} // namespace

std::string SubprocessResult::describe() const
{
    std::string status;
    if (!started) {
        status = std::string("not started: ") + std::strerror(spawnError);
    } else if (timedOut) {
        status = "timed out";
    } else if (exited) {
        status = "exit status " + std::to_string(exitCode);
    } else {
        status = "signal " + std::to_string(signal);
    }
    return status + "; stderr: " + standardError;
}

SubprocessResult runSubprocess(const std::string& program, const SubprocessOptions& options)
{
    SubprocessResult result;

    Pipe out = makePipe();
    Pipe err = makePipe();
    std::optional<Pipe> in;
    if (!options.standardInput.empty()) {
        in = makePipe();
    }

    if (in) {
        ignoreSigpipe();
    }
    SpawnAttributes attributes;
    SpawnActions actions;
    if (in) {
        check(posix_spawn_file_actions_adddup2(actions.get(), in->readEnd.get(), STDIN_FILENO), "adddup2");
    } else {
        check(posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0),
            "addopen");
    }
    // dup2 clears close-on-exec on the target, so only these three survive the exec.
    check(posix_spawn_file_actions_adddup2(actions.get(), out.writeEnd.get(), STDOUT_FILENO), "adddup2");
    check(posix_spawn_file_actions_adddup2(actions.get(), err.writeEnd.get(), STDERR_FILENO), "adddup2");
    if (!options.workingDirectory.empty()) {
        check(posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory.c_str()),
            "addchdir");
    }

    std::vector<std::string> argvStrings;
    argvStrings.push_back(program);
    argvStrings.insert(argvStrings.end(), options.arguments.begin(), options.arguments.end());
    std::vector<std::string> envStrings = buildEnvironment(options.environment);
    std::vector<char*> argv = pointersTo(argvStrings);
    std::vector<char*> envp = pointersTo(envStrings);

    pid_t pid = -1;
    const bool searchPath = program.find('/') == std::string::npos;
    const int spawnError = searchPath
        ? posix_spawnp(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp.data())
        : posix_spawn(&pid, program.c_str(), actions.get(), attributes.get(), argv.data(), envp.data());
    if (spawnError != 0) {
        result.spawnError = spawnError;
        return result;
    }
    result.started = true;

    // Close our copies of the child's ends so end of file arrives when the child exits.
    out.writeEnd.reset();
    err.writeEnd.reset();
    Fd inputWrite;
    if (in) {
        in->readEnd.reset();
        inputWrite = std::move(in->writeEnd);
        // Non-blocking, so a child that writes while we feed it cannot deadlock us.
        ::fcntl(inputWrite.get(), F_SETFL, ::fcntl(inputWrite.get(), F_GETFL) | O_NONBLOCK);
    }

    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    const bool finished = pumpPipes(inputWrite, options.standardInput, out.readEnd, err.readEnd,
        result.standardOutput, result.standardError, deadline);
    if (!finished) {
        result.timedOut = true;
        ::kill(pid, SIGKILL);
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "waitpid");
        }
    }
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

} // namespace ombrix::testing
