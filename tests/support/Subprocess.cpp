#include "Subprocess.h"

#include "utils/ChildProcess.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace ombrix::testing {

namespace {

using ombrix::extensions::sherpa::UniqueFd;
using Fd = UniqueFd;

struct Pipe {
    Fd readEnd;
    Fd writeEnd;
};

Pipe makePipe()
{
    Pipe pipe;
    if (const int error = ombrix::extensions::sherpa::makePipe(pipe.readEnd, pipe.writeEnd); error != 0) {
        throw std::system_error(error, std::generic_category(), "pipe2");
    }
    return pipe;
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

// Writing to a child that stopped reading its input must fail with EPIPE, not kill the
// test program. Process-wide and never undone; children get the default back.
void ignoreSigpipe()
{
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
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
    ombrix::extensions::sherpa::ChildProcessSpec child;
    child.program = program;
    // dup2 clears close-on-exec on the target, so only these three survive the exec; the
    // child's standard input is /dev/null without text to give it.
    if (in) {
        child.descriptors.emplace_back(in->readEnd.get(), STDIN_FILENO);
    }
    child.descriptors.emplace_back(out.writeEnd.get(), STDOUT_FILENO);
    child.descriptors.emplace_back(err.writeEnd.get(), STDERR_FILENO);
    child.workingDirectory = options.workingDirectory;
    child.arguments.push_back(program);
    child.arguments.insert(child.arguments.end(), options.arguments.begin(), options.arguments.end());
    child.environment = buildEnvironment(options.environment);

    pid_t pid = -1;
    if (const int spawnError = ombrix::extensions::sherpa::spawnChild(child, pid); spawnError != 0) {
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
