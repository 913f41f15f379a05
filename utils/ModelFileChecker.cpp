#include "utils/ModelFileChecker.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/pidfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <utility>

#include "utils/ModelFileInspection.h"

namespace ombrix::extensions::sherpa {

namespace {

// ---- protocol with the checker program (tools/ombrix-sherpa-check.cpp) ----------------------
//
// The checker writes lines to the descriptor given with --report-fd: "stage <what it is
// doing>" before each step, "problem <one line>" when it finds a fault, and "OK" as its
// very last act. Its standard output and error (the library's own messages) are captured
// separately and only used to explain a checker that died.
constexpr int kReportFd = 3;
constexpr const char* kReportFdOption = "--report-fd";
constexpr std::string_view kVerdictGood = "OK";
constexpr std::string_view kStagePrefix = "stage ";
constexpr std::string_view kProblemPrefix = "problem ";
constexpr const char* kSpeechSynthesisKind = "tts";
constexpr const char* kRecognizerKind = "asr";

// The child gets exactly this environment (plus the espeak-ng data path for voices): not
// the host's, which another thread may be changing (setenv is not thread-safe), and which
// must not switch on a leak check in a sanitizer build (the library leaks by design).
constexpr const char* kCheckerSanitizerOptions = "ASAN_OPTIONS=detect_leaks=0";
constexpr const char* kEspeakDataPathVariable = "ESPEAK_DATA_PATH=";

// Our pipe ends are moved at or above this descriptor, so that the child's dup2 onto
// 0..3 never meets one of them.
constexpr int kFirstPrivateFd = 10;
// How much of the child's output is kept (the end of it): enough for the library's last
// messages, bounded for a child that prints without end.
constexpr std::size_t kMaxCapturedOutput = 16 * 1024;
constexpr std::size_t kMaxReportLines = 256;
// How much of the library's message goes into the one-line problem.
constexpr std::size_t kMaxQuotedMessage = 300;
// After SIGKILL a child is gone at once; this only bounds the wait for a broken kernel.
constexpr int kKillGraceMilliseconds = 5000;
constexpr std::size_t kReadChunk = 4096;
// Proven-good entries kept before the list is started afresh.
constexpr std::size_t kMaxProvenGoodEntries = 1024;

// ---- shared state ------------------------------------------------------------------------------

struct CheckerState {
    std::mutex mutex;
    std::unordered_set<std::string> provenGood;
    std::optional<ModelCheckerOverride> checkerOverride;
};

CheckerState& checkerState()
{
    static CheckerState state;
    return state;
}

// ---- descriptors ---------------------------------------------------------------------------------

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : fd(fd)
    {
    }
    UniqueFd(UniqueFd&& other) noexcept
        : fd(std::exchange(other.fd, -1))
    {
    }
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            reset(std::exchange(other.fd, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    void reset(int newFd = -1)
    {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = newFd;
    }

private:
    int fd = -1;
};

/// A close-on-exec pipe whose ends sit at or above kFirstPrivateFd.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd, int& error)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = errno;
        return false;
    }
    UniqueFd low[2] = {UniqueFd(ends[0]), UniqueFd(ends[1])};
    UniqueFd* const targets[2] = {&readEnd, &writeEnd};
    for (int i = 0; i < 2; ++i) {
        const int moved = ::fcntl(low[i].get(), F_DUPFD_CLOEXEC, kFirstPrivateFd);
        if (moved < 0) {
            error = errno;
            return false;
        }
        targets[i]->reset(moved);
    }
    return true;
}

// ---- running the checker ---------------------------------------------------------------------

struct CheckerRun {
    int spawnError = 0; ///< errno of a failed start; the rest is then empty
    bool timedOut = false;
    std::vector<std::string> reportLines; ///< complete lines only
    std::string output;                   ///< the end of the child's stdout and stderr
    enum class End { Exited, Signalled, Unknown } end = End::Unknown;
    int code = 0; ///< exit status or signal number
};

/// Appends what can be read from `fd` without blocking. Returns false at end of file.
bool drain(int fd, std::string& into, std::size_t keepAtMost)
{
    char chunk[kReadChunk];
    while (true) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            into.append(chunk, static_cast<std::size_t>(got));
            if (into.size() > keepAtMost) {
                into.erase(0, into.size() - keepAtMost);
            }
            continue;
        }
        if (got == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

/// Sends SIGKILL to the child, through its pidfd when there is one. Without a pidfd the
/// signal is sent only while the child is known to be unreaped, so that a process id the
/// host has already reaped (and the system may have reused) is never signalled.
void killChild(pid_t pid, const UniqueFd& pidfd)
{
    if (pidfd.valid()) {
        ::pidfd_send_signal(pidfd.get(), SIGKILL, nullptr, 0);
        pollfd exitEvent{pidfd.get(), POLLIN, 0};
        while (::poll(&exitEvent, 1, kKillGraceMilliseconds) < 0 && errno == EINTR) {
        }
        return;
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
    }
}

/// Collects the exit status. ECHILD (the host ignores SIGCHLD, or reaps children itself)
/// leaves the end Unknown: the verdict then rests on the report pipe alone.
void reap(pid_t pid, CheckerRun& run)
{
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(pid, &status, 0);
    } while (result < 0 && errno == EINTR);
    if (result != pid) {
        return;
    }
    if (WIFEXITED(status)) {
        run.end = CheckerRun::End::Exited;
        run.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        run.end = CheckerRun::End::Signalled;
        run.code = WTERMSIG(status);
    }
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (std::string& text : strings) {
        result.push_back(text.data());
    }
    result.push_back(nullptr);
    return result;
}

/// Starts `program` with posix_spawn (no fork: safe in a multithreaded host), reads its
/// report and output until it has ended or `timeout` has passed, kills it if it is still
/// running then, and reaps it.
CheckerRun runChecker(const std::string& program, std::vector<std::string> arguments,
                      std::vector<std::string> environment, std::chrono::milliseconds timeout)
{
    CheckerRun run;
    UniqueFd reportRead;
    UniqueFd reportWrite;
    UniqueFd outputRead;
    UniqueFd outputWrite;
    if (!makePipe(reportRead, reportWrite, run.spawnError) || !makePipe(outputRead, outputWrite, run.spawnError)) {
        return run;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, reportWrite.get(), kReportFd);
    // Descriptors the host opened without close-on-exec stay out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, kReportFd + 1);
    // The child starts with no blocked signal and default dispositions, whatever this
    // thread blocks or the host ignores.
    sigset_t noSignals;
    sigset_t everySignal;
    sigemptyset(&noSignals);
    sigemptyset(&everySignal);
    for (int signal = 1; signal < SIGRTMIN; ++signal) {
        if (signal != SIGKILL && signal != SIGSTOP) {
            sigaddset(&everySignal, signal);
        }
    }
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &everySignal);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    arguments.insert(arguments.begin(), {program, kReportFdOption, std::to_string(kReportFd)});
    std::vector<char*> argv = pointers(arguments);
    std::vector<char*> envp = pointers(environment);
    pid_t pid = -1;
    run.spawnError = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    reportWrite.reset();
    outputWrite.reset();
    if (run.spawnError != 0) {
        return run;
    }

    // A pidfd tells when the child has ended even if the host reaps it, and signals it
    // without the risk of a reused process id. (Linux 5.3; without it the pipes decide.)
    const UniqueFd pidfd(::pidfd_open(pid, 0));
    ::fcntl(reportRead.get(), F_SETFL, O_NONBLOCK);
    ::fcntl(outputRead.get(), F_SETFL, O_NONBLOCK);

    std::string report;
    bool reportOpen = true;
    bool outputOpen = true;
    bool exited = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // Ends when the report pipe closes (the child has ended) or the pidfd says so: a copy
    // of the write end held by a process the host forked meanwhile cannot hold this up.
    while (reportOpen && !exited) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            break;
        }
        std::array<pollfd, 3> events{};
        nfds_t count = 0;
        events[count++] = pollfd{reportRead.get(), POLLIN, 0};
        if (outputOpen) {
            events[count++] = pollfd{outputRead.get(), POLLIN, 0};
        }
        if (pidfd.valid()) {
            events[count++] = pollfd{pidfd.get(), POLLIN, 0};
        }
        const int ready = ::poll(events.data(), count, static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX)));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (ready <= 0) {
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (events[i].revents == 0) {
                continue;
            }
            if (events[i].fd == reportRead.get()) {
                reportOpen = drain(reportRead.get(), report, kMaxCapturedOutput);
            } else if (events[i].fd == outputRead.get()) {
                outputOpen = drain(outputRead.get(), run.output, kMaxCapturedOutput);
            } else {
                exited = true;
            }
        }
    }
    // Whatever the child wrote before it ended is in the pipes now.
    drain(reportRead.get(), report, kMaxCapturedOutput);
    drain(outputRead.get(), run.output, kMaxCapturedOutput);
    if (run.timedOut) {
        killChild(pid, pidfd);
    }
    reap(pid, run);

    std::size_t start = 0;
    for (std::size_t end = report.find('\n'); end != std::string::npos && run.reportLines.size() < kMaxReportLines;
         end = report.find('\n', start)) {
        run.reportLines.push_back(report.substr(start, end - start));
        start = end + 1;
    }
    return run;
}

// ---- verdicts ------------------------------------------------------------------------------------

std::string oneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    if (text.size() > kMaxQuotedMessage) {
        text.resize(kMaxQuotedMessage);
        text += "...";
    }
    return text;
}

/// The library's last message, without its source-location prefix ("/x/y.cc:Init:167 ").
std::string lastMessage(const std::string& output)
{
    std::string_view rest = output;
    std::string_view last;
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (!line.empty()) {
            last = line;
        }
    }
    const std::size_t space = last.find(' ');
    const std::string_view first = last.substr(0, space);
    if (space != std::string_view::npos && (first.find(".cc:") != std::string_view::npos
                                            || first.find(".h:") != std::string_view::npos)) {
        last.remove_prefix(space + 1);
    }
    return oneLine(std::string(last));
}

std::string describeEnd(const CheckerRun& run)
{
    switch (run.end) {
    case CheckerRun::End::Exited:
        return "exit status " + std::to_string(run.code);
    case CheckerRun::End::Signalled: {
        const char* name = ::sigabbrev_np(run.code);
        return std::string("signal ") + (name != nullptr ? std::string("SIG") + name : std::to_string(run.code));
    }
    case CheckerRun::End::Unknown:
        break;
    }
    return "status unknown: the host collected it";
}

struct CheckRequest {
    const char* kind;
    std::string modelPath;
    std::string tokensPath;
    std::string thirdPath; ///< data directory (voice) or graph (recogniser)
    /// The in-process checks; "" when they find nothing.
    std::string (*preCheck)(const std::string& model, const std::string& tokens, const std::string& third);
    std::vector<std::string> keyFiles;
    std::vector<std::string> environment;
};

std::string filesInvolved(const CheckRequest& request)
{
    return request.modelPath + " (with " + request.tokensPath + " and " + request.thirdPath + ")";
}

ModelCheckResult failure(std::string problem)
{
    return ModelCheckResult{false, oneLine(std::move(problem)), false};
}

ModelCheckResult verdict(const CheckRequest& request, const CheckerRun& run, std::chrono::milliseconds timeout)
{
    if (!run.reportLines.empty() && run.reportLines.back() == kVerdictGood) {
        return ModelCheckResult{true, {}, false};
    }
    for (const std::string& line : run.reportLines) {
        if (line.starts_with(kProblemPrefix)) {
            return failure(line.substr(kProblemPrefix.size()));
        }
    }
    if (run.timedOut) {
        return failure(filesInvolved(request) + ": checking the files did not finish within "
                       + std::to_string(timeout.count()) + " ms; the checker was stopped");
    }
    std::string stage = "starting";
    for (const std::string& line : run.reportLines) {
        if (line.starts_with(kStagePrefix)) {
            stage = line.substr(kStagePrefix.size());
        }
    }
    const std::string message = lastMessage(run.output);
    const std::string said = message.empty() ? std::string() : ": " + message;
    // espeak-ng calls exit(1) when it cannot use its data directory.
    if (request.kind == std::string_view(kSpeechSynthesisKind) && run.end == CheckerRun::End::Exited
        && run.code == 1) {
        return failure(request.thirdPath + ": espeak-ng cannot use this data directory (it ended the checker while "
                       + stage + ")" + said);
    }
    return failure(filesInvolved(request) + ": sherpa-onnx ended the checker while " + stage + " ("
                   + describeEnd(run) + ")" + said);
}

// ---- cache keys ----------------------------------------------------------------------------------

/// Path, device, inode, size, and modification and change times in nanoseconds of every
/// file; std::nullopt when one cannot be examined. (The change time catches rewrites that
/// keep size and modification time.)
std::optional<std::string> identityOf(const char* kind, const std::vector<std::string>& files)
{
    std::string key = kind;
    for (const std::string& file : files) {
        struct stat status{};
        if (::stat(file.c_str(), &status) != 0) {
            return std::nullopt;
        }
        const auto nanoseconds = [](const timespec& time) {
            return std::to_string(static_cast<int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec);
        };
        key += '\0';
        key += file;
        key += '\0';
        key += std::to_string(status.st_dev) + ':' + std::to_string(status.st_ino) + ':'
            + std::to_string(status.st_size) + ':' + nanoseconds(status.st_mtim) + ':' + nanoseconds(status.st_ctim);
    }
    return key;
}

// ---- the checker's location ---------------------------------------------------------------------

std::string executablePath()
{
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : std::string();
}

/// The file of the module (shared library or executable) this code is linked into.
std::string moduleFilePath()
{
    Dl_info info{};
    link_map* map = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(&moduleFilePath), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)
            == 0
        || map == nullptr || map->l_name == nullptr || map->l_name[0] == '\0') {
        // The main program's entry has no name.
        return executablePath();
    }
    std::string path = map->l_name;
    if (path.front() != '/') {
        // Opened by a relative path; resolved against today's working directory.
        std::array<char, 4096> directory{};
        if (::getcwd(directory.data(), directory.size()) != nullptr) {
            path = std::string(directory.data()) + "/" + path;
        }
    }
    return path;
}

bool isExecutableFile(const std::string& path)
{
    struct stat status{};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// ---- one check -----------------------------------------------------------------------------------

ModelCheckResult checkFiles(const CheckRequest& request)
{
    CheckerState& state = checkerState();
    std::optional<ModelCheckerOverride> checkerOverride;
    const std::optional<std::string> identity = identityOf(request.kind, request.keyFiles);
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        checkerOverride = state.checkerOverride;
        if (identity && state.provenGood.contains(*identity)) {
            return ModelCheckResult{true, {}, true};
        }
    }
    if (std::string problem = request.preCheck(request.modelPath, request.tokensPath, request.thirdPath);
        !problem.empty()) {
        return failure(std::move(problem));
    }

    std::string program;
    std::chrono::milliseconds timeout = kModelCheckTimeout;
    if (checkerOverride) {
        program = checkerOverride->program;
        timeout = checkerOverride->timeout;
    } else {
        std::vector<std::string> searched;
        program = findModelChecker(&searched);
        if (program.empty()) {
            std::string places;
            for (const std::string& place : searched) {
                places += (places.empty() ? "" : ", ") + place;
            }
            return failure(request.modelPath + ": not loaded, because the model checker " + kModelCheckerProgramName
                           + " is missing (looked for " + places + "); unchecked files could end the process");
        }
    }

    const CheckerRun run = runChecker(program, {request.kind, request.modelPath, request.tokensPath, request.thirdPath},
                                      request.environment, timeout);
    if (run.spawnError != 0) {
        return failure(request.modelPath + ": not loaded, because the model checker " + program
                       + " could not be started (" + std::strerror(run.spawnError) + ")");
    }
    ModelCheckResult result = verdict(request, run, timeout);
    if (!result.ok) {
        return result;
    }
    const std::optional<std::string> identityAfter = identityOf(request.kind, request.keyFiles);
    if (!identity || identityAfter != identity) {
        return failure(filesInvolved(request) + ": the files changed while they were being checked");
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.provenGood.size() >= kMaxProvenGoodEntries) {
        state.provenGood.clear();
    }
    state.provenGood.insert(*identity);
    return result;
}

std::string preCheckVoice(const std::string& model, const std::string& tokens, const std::string& dataDirectory)
{
    std::string problem = checkVoiceModelFile(model);
    if (problem.empty()) {
        problem = checkVoiceTokensFile(tokens);
    }
    if (problem.empty()) {
        problem = checkEspeakDataDirectory(dataDirectory);
    }
    return problem;
}

std::string preCheckRecognizer(const std::string& model, const std::string& tokens, const std::string& graph)
{
    std::string problem = checkRecognizerModelFile(model);
    if (problem.empty()) {
        readRecognizerTokens(tokens, problem);
    }
    if (problem.empty()) {
        problem = checkGraphFileHeader(graph);
    }
    return problem;
}

} // namespace

ModelCheckResult checkSpeechSynthesisFiles(
    const std::string& modelPath, const std::string& tokensPath, const std::string& dataDirPath)
{
    CheckRequest request{kSpeechSynthesisKind, modelPath, tokensPath, dataDirPath, &preCheckVoice,
                         {modelPath, tokensPath, dataDirPath},
                         {kCheckerSanitizerOptions, kEspeakDataPathVariable + dataDirPath}};
    for (std::string& file : espeakDataFiles(dataDirPath)) {
        request.keyFiles.push_back(std::move(file));
    }
    return checkFiles(request);
}

ModelCheckResult checkRecognizerFiles(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath)
{
    const CheckRequest request{kRecognizerKind, modelPath, tokensPath, graphPath, &preCheckRecognizer,
                               {modelPath, tokensPath, graphPath}, {kCheckerSanitizerOptions}};
    return checkFiles(request);
}

std::string findModelChecker(std::vector<std::string>* searched)
{
    const std::string module = moduleFilePath();
    const std::string directory = module.substr(0, module.rfind('/') + 1);
    for (const std::string& candidate :
         {directory + kModelCheckerProgramName, directory + "../lib/" + kModelCheckerProgramName}) {
        if (searched != nullptr) {
            searched->push_back(candidate);
        }
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return {};
}

void forgetCheckedModelFiles()
{
    CheckerState& state = checkerState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.provenGood.clear();
}

void setModelCheckerOverrideForTesting(std::optional<ModelCheckerOverride> checkerOverride)
{
    CheckerState& state = checkerState();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.checkerOverride = std::move(checkerOverride);
    state.provenGood.clear();
}

} // namespace ombrix::extensions::sherpa
