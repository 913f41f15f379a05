#include "models/ModelFileChecker.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "models/DecodingGraphCheck.h"
#include "models/FileIdentity.h"
#include "models/ModelFileInspection.h"
#include "models/ModelMetadataChecks.h"
#include "models/VerdictStore.h"
#include "utils/ChildProcess.h"
#include "utils/SherpaOnnxCApi.h"

namespace ombrix::extensions::sherpa {

class OpenedModelFiles {
public:
    struct File {
        UniqueFd fd; ///< invalid: the file is read by its path
        std::string procPath; ///< /proc/self/fd/N of `fd`
        std::string enginePath; ///< what the engine opens; "" for the caller's path
        bool ortName = false; ///< the caller's name ends in .ort
    };

    OpenedModelFiles() = default;
    OpenedModelFiles(const OpenedModelFiles&) = delete;
    OpenedModelFiles& operator=(const OpenedModelFiles&) = delete;
    ~OpenedModelFiles()
    {
        for (const std::string& link : links) {
            ::unlink(link.c_str());
        }
        if (!linkDirectory.empty()) {
            ::rmdir(linkDirectory.c_str());
        }
    }

    std::vector<File> files; ///< one per checked file, in the order of checkedFiles
    std::string linkDirectory; ///< private directory of links with the original names, or ""
    std::vector<std::string> links;
};

namespace {

// ---- protocol with the checker program (tools/ombrix-sherpa-check/ombrix-sherpa-check.cpp) ---------
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
constexpr const char* kVoiceDataOption = "--voice-data";
/// Tells the checker that the structural checks ran in this process before it started.
constexpr const char* kStructureCheckedOption = "--structure-checked";

// The child gets exactly this environment (plus the espeak-ng data path for voices): not
// the host's, which another thread may be changing (setenv is not thread-safe), and which
// must not switch on a leak check in a sanitizer build (the library leaks a few blocks it
// never frees, which would turn a good verdict into a failing exit).
constexpr const char* kCheckerSanitizerOptions = "ASAN_OPTIONS=detect_leaks=0";
constexpr const char* kEspeakDataPathVariable = "ESPEAK_DATA_PATH=";

// Our pipe ends are moved at or above this descriptor, so that the child's dup2 onto
// 0..3 never meets one of them.
constexpr int kFirstPrivateFd = 10;
// How much of the child's output is kept (the end of it): enough for the library's last
// messages, bounded for a child that prints without end.
constexpr std::size_t kMaxCapturedOutput = 16 * 1024;
constexpr std::size_t kMaxReportLines = 256;
// How much of the library's message goes into the one-line problem, and how long that
// line may get (paths included).
constexpr std::size_t kMaxQuotedMessage = 300;
constexpr std::size_t kMaxProblemLine = 4096;
// Without a pidfd, how often an unfinished child is looked at.
constexpr useconds_t kExitPollMicroseconds = 5000;
constexpr std::size_t kReadChunk = 4096;
// Proven-good entries kept before the list is started afresh.
constexpr std::size_t kMaxProvenGoodEntries = 1024;

// ---- shared state ------------------------------------------------------------------------------

struct CheckerState {
    std::mutex mutex;
    std::unordered_set<std::string> provenGood;
    std::optional<ModelCheckerOverride> checkerOverride;
    /// Why the checker could not run, for each reason already reported in a warning.
    std::unordered_set<std::string> reportedUnavailable;
};

CheckerState& checkerState()
{
    static CheckerState state;
    return state;
}

// ---- running the checker ---------------------------------------------------------------------

struct CheckerRun {
    int spawnError = 0; ///< errno of a failed start; the rest is then empty
    bool timedOut = false;
    std::vector<std::string> reportLines; ///< complete lines only
    std::string output; ///< the end of the child's stdout and stderr
    enum class End { Exited, Signalled, Unknown } end = End::Unknown;
    int code = 0; ///< exit status or signal number
};

/// Hands each piece that can be read from `fd` without blocking to `take`. Returns false
/// at end of file.
template <typename Take>
bool readAvailable(int fd, Take&& take)
{
    char chunk[kReadChunk];
    while (true) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got > 0) {
            take(std::string_view(chunk, static_cast<std::size_t>(got)));
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

/// Appends what can be read from `fd` without blocking, keeping the last `keepAtMost`
/// bytes. Returns false at end of file.
bool drain(int fd, std::string& into, std::size_t keepAtMost)
{
    return readAvailable(fd, [&](std::string_view piece) {
        into.append(piece);
        if (into.size() > keepAtMost) {
            into.erase(0, into.size() - keepAtMost);
        }
    });
}

/// Collects the exit status of a child that has ended (or is about to). ECHILD (the host
/// ignores SIGCHLD, or reaps children itself) leaves the end Unknown: the verdict then
/// rests on the report alone.
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

// pidfd calls by number: glibc 2.36's <sys/pidfd.h> declares them without C linkage for
// C++, and older C libraries lack them. -1 (with errno) where the kernel lacks them.
int pidfdOpen(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int pidfdSendSignal(int pidfd, int signal)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

using Deadline = std::chrono::steady_clock::time_point;

int millisecondsUntil(Deadline deadline)
{
    const auto left
        = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, INT32_MAX));
}

/// Waits until the child has ended, at most until `deadline`; then kills it, but only
/// while `mayStillRun` (its report pipe is still open: a child that has closed it has
/// ended, and its process id may already belong to someone else if the host reaped it).
/// The pidfd sees the end even when the host reaps the child. Returns true when the
/// child had to be killed.
bool waitForExit(pid_t pid, const UniqueFd& pidfd, Deadline deadline, bool mayStillRun, CheckerRun& run)
{
    if (pidfd.valid()) {
        pollfd exitEvent{pidfd.get(), POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&exitEvent, 1, millisecondsUntil(deadline));
        } while (ready < 0 && errno == EINTR);
        if (ready == 0 && !mayStillRun) {
            return false; // ended, not yet visible; nothing left to wait for
        }
        const bool killed = ready == 0 && pidfdSendSignal(pidfd.get(), SIGKILL) == 0;
        reap(pid, run);
        return killed;
    }
    // Without a pidfd (kernels before 5.3): a process id is only signalled while
    // waitpid shows the child unreaped, so it cannot have been reused.
    while (true) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            run.end = WIFEXITED(status) ? CheckerRun::End::Exited : CheckerRun::End::Signalled;
            run.code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
            return false;
        }
        if (result < 0 && errno != EINTR) {
            return false;
        }
        if (result == 0 && millisecondsUntil(deadline) == 0) {
            if (!mayStillRun) {
                return false;
            }
            ::kill(pid, SIGKILL);
            reap(pid, run);
            return true;
        }
        ::usleep(kExitPollMicroseconds);
    }
}

/// The checker's report as it arrives. A line keeps at most kMaxCapturedOutput bytes
/// of its start (where its kind and verdict are); the rest of a longer line is dropped.
class ReportReader {
public:
    /// Reads what `fd` holds now; false once the checker's end is closed.
    bool drainFrom(int fd, std::vector<std::string>& lines)
    {
        return readAvailable(fd, [&](std::string_view piece) { take(piece, lines); });
    }

    /// Whether a line that ends the report ("OK" or a problem) has come.
    bool finished() const { return ended; }

private:
    void take(std::string_view data, std::vector<std::string>& lines)
    {
        while (!data.empty()) {
            const std::size_t end = data.find('\n');
            const std::string_view piece = data.substr(0, end);
            if (!truncating) {
                const std::size_t room = kMaxCapturedOutput - line.size();
                line.append(piece.substr(0, room));
                truncating = piece.size() > room;
            }
            if (end == std::string_view::npos) {
                return;
            }
            ended = ended || line == kVerdictGood || line.starts_with(kProblemPrefix);
            if (lines.size() < kMaxReportLines) {
                lines.push_back(std::move(line));
            }
            line.clear();
            truncating = false;
            data.remove_prefix(end + 1);
        }
    }

    std::string line; ///< the line being received
    bool truncating = false;
    bool ended = false;
};

/// Checker processes started so far (modelCheckerSpawnCountForTesting).
std::atomic<unsigned> checkerSpawnCount{0};

/// Starts `program` with posix_spawn (no fork: safe in a multithreaded host), reads its
/// report and output until it has given a verdict or ended, waits for it to end, and
/// kills it when `timeout` passes first. Always reaps it.
CheckerRun runChecker(const std::string& program, std::vector<std::string> arguments,
    std::vector<std::string> environment, std::chrono::milliseconds timeout,
    const std::vector<std::pair<int, int>>& fileDescriptors)
{
    CheckerRun run;
    UniqueFd reportRead;
    UniqueFd reportWrite;
    UniqueFd outputRead;
    UniqueFd outputWrite;
    if ((run.spawnError = makePipe(reportRead, reportWrite, kFirstPrivateFd)) != 0
        || (run.spawnError = makePipe(outputRead, outputWrite, kFirstPrivateFd)) != 0) {
        return run;
    }

    ChildProcessSpec child;
    child.program = program;
    arguments.insert(arguments.begin(), {program, kReportFdOption, std::to_string(kReportFd)});
    child.arguments = std::move(arguments);
    child.environment = std::move(environment);
    child.descriptors = {{outputWrite.get(), STDOUT_FILENO}, {outputWrite.get(), STDERR_FILENO},
        {reportWrite.get(), kReportFd}};
    // The checked files' descriptors (ours sit at or above kFirstPrivateFd, theirs below).
    child.descriptors.insert(child.descriptors.end(), fileDescriptors.begin(), fileDescriptors.end());
    // Nothing else: descriptors the host opened without close-on-exec stay out of the child.
    child.closeFrom = kReportFd + 1;
    for (const auto& [ours, theirs] : fileDescriptors) {
        child.closeFrom = std::max(child.closeFrom, theirs + 1);
    }
    pid_t pid = -1;
    const Deadline deadline = std::chrono::steady_clock::now() + timeout;
    run.spawnError = spawnChild(child, pid);
    reportWrite.reset();
    outputWrite.reset();
    if (run.spawnError != 0) {
        return run;
    }
    checkerSpawnCount.fetch_add(1, std::memory_order_relaxed);

    const UniqueFd pidfd(pidfdOpen(pid));
    ::fcntl(reportRead.get(), F_SETFL, O_NONBLOCK);
    ::fcntl(outputRead.get(), F_SETFL, O_NONBLOCK);

    ReportReader report;
    bool reportOpen = true;
    bool outputOpen = true;
    bool exited = false;
    bool finished = false;
    // Until the verdict, the end of the report (the child has ended) or the pidfd's word
    // that it has ended: a copy of the write end that a process forked by the host holds
    // cannot hold this up.
    while (reportOpen && !exited && !finished) {
        const int left = millisecondsUntil(deadline);
        if (left == 0) {
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
        const int ready = ::poll(events.data(), count, left);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        for (nfds_t i = 0; ready > 0 && i < count; ++i) {
            if (events[i].revents == 0) {
                continue;
            }
            if (events[i].fd == reportRead.get()) {
                reportOpen = report.drainFrom(reportRead.get(), run.reportLines);
                finished = report.finished();
            } else if (events[i].fd == outputRead.get()) {
                outputOpen = drain(outputRead.get(), run.output, kMaxCapturedOutput);
            } else {
                exited = true;
            }
        }
    }
    const bool killed = waitForExit(pid, pidfd, deadline, reportOpen, run);
    // Whatever the child wrote before it ended is in the pipes now.
    report.drainFrom(reportRead.get(), run.reportLines);
    drain(outputRead.get(), run.output, kMaxCapturedOutput);
    finished = report.finished();
    run.timedOut = killed && !finished;
    return run;
}

// ---- verdicts ------------------------------------------------------------------------------------

std::string oneLine(std::string text, std::size_t maxSize)
{
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::replace(text.begin(), text.end(), '\r', ' ');
    if (text.size() > maxSize) {
        text.resize(maxSize);
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
    if (space != std::string_view::npos
        && (first.find(".cc:") != std::string_view::npos || first.find(".h:") != std::string_view::npos)) {
        last.remove_prefix(space + 1);
    }
    return oneLine(std::string(last), kMaxQuotedMessage);
}

std::string describeEnd(const CheckerRun& run)
{
    switch (run.end) {
    case CheckerRun::End::Exited:
        return "exit status " + std::to_string(run.code);
    case CheckerRun::End::Signalled: {
        const char* name = ::sigabbrev_np(run.code);
        return std::string("signal ")
            + (name != nullptr ? std::string("SIG") + name : std::to_string(run.code));
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
    /// Checker options before the kind.
    std::vector<std::string> options = {};
    /// What the in-process checks take instead of `thirdPath`, when not empty.
    std::string preCheckPath = {};
    /// A directory whose whole tree is part of the key (espeak-ng's data), or "".
    std::string keyTree = {};
    /// The checker option that says the in-process checks have run, or nullptr.
    const char* structureCheckedOption = nullptr;
};

std::string filesInvolved(const CheckRequest& request)
{
    return request.modelPath + " (with " + request.tokensPath + " and " + request.thirdPath + ")";
}

ModelCheckResult failure(std::string problem)
{
    return ModelCheckResult{false, oneLine(std::move(problem), kMaxProblemLine), false};
}

ModelCheckResult verdict(
    const CheckRequest& request, const CheckerRun& run, std::chrono::milliseconds timeout)
{
    for (const std::string& line : run.reportLines) {
        if (line == kVerdictGood) {
            return ModelCheckResult{true, {}, false};
        }
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
        return failure(request.thirdPath
            + ": espeak-ng cannot use this data directory (it ended the checker while " + stage + ")" + said);
    }
    return failure(filesInvolved(request) + ": sherpa-onnx ended the checker while " + stage + " ("
        + describeEnd(run) + ")" + said);
}

/// Whether the checker got as far as its first report line: before that it has not
/// touched the files, so its end says nothing about them.
bool startedChecking(const CheckerRun& run)
{
    return std::any_of(run.reportLines.begin(), run.reportLines.end(), [](const std::string& line) {
        return line.starts_with(kStagePrefix) || line.starts_with(kProblemPrefix) || line == kVerdictGood;
    });
}

/// Why a run that never started checking did not: "" when it did start.
std::string whyItDidNotRun(
    const std::string& program, const CheckerRun& run, std::chrono::milliseconds timeout)
{
    if (run.spawnError != 0) {
        return program + " could not be started (" + std::strerror(run.spawnError) + ")";
    }
    if (startedChecking(run)) {
        return {};
    }
    if (run.timedOut) {
        return program + " did not start checking within " + std::to_string(timeout.count()) + " ms";
    }
    const std::string message = lastMessage(run.output);
    return program + " ended before it started checking (" + describeEnd(run) + ")"
        + (message.empty() ? std::string() : ": " + message);
}

/// The identity of the request's files (models/FileIdentity).
std::optional<FileIdentity> identityOf(const CheckRequest& request)
{
    return fileSetIdentity(request.kind, request.keyFiles, request.keyTree);
}

/// `identity`, or when files changed within the coarse clock's last ticks before it was
/// taken, the identity taken again once they are settled (a few milliseconds, next to the
/// checker's run): a verdict can then be stored for files written just before (models/FileIdentity.h).
std::optional<FileIdentity> settledIdentityOf(
    const CheckRequest& request, std::optional<FileIdentity> identity)
{
    constexpr int kMaxWaits = 10;
    constexpr useconds_t kWaitMicroseconds = 5000;
    for (int wait = 0; identity && !settled(*identity) && wait < kMaxWaits; ++wait) {
        ::usleep(kWaitMicroseconds);
        identity = identityOf(request);
    }
    return identity;
}

/// Device, inode, size and modification time of each file, as raw bytes; "" for a file
/// that cannot be examined (so that a file gone away never matches).
std::string statusIdentity(const struct stat& status)
{
    std::string key;
    const auto append
        = [&key](const auto& field) { key.append(reinterpret_cast<const char*>(&field), sizeof field); };
    append(status.st_dev);
    append(status.st_ino);
    append(status.st_size);
    append(status.st_mtim.tv_sec);
    append(status.st_mtim.tv_nsec);
    return key;
}

std::string plainIdentity(const std::string& file)
{
    struct stat status { };
    return ::stat(file.c_str(), &status) == 0 ? statusIdentity(status) : std::string();
}

// ---- the checked descriptors ------------------------------------------------------------------

constexpr const char* kProcSelfFd = "/proc/self/fd/";
/// The checker's numbers for the files' descriptors: right after the report's.
constexpr int kFirstCheckerFileFd = kReportFd + 1;

std::atomic<bool> descriptorPassing{true};

/// Whether this process has /proc/self/fd, looked at once.
bool procSelfFdAvailable()
{
    static const bool available = [] {
        struct stat status { };
        return ::stat("/proc/self/fd", &status) == 0 && S_ISDIR(status.st_mode);
    }();
    return available;
}

/// `path` opened read-only, close-on-exec and at or above kFirstPrivateFd (so that the
/// checker's dup2 onto its low numbers never meets it), when the path names a regular
/// file and its /proc/self/fd path reaches that same file; otherwise an empty descriptor.
/// Never blocks: a FIFO or device is not opened.
UniqueFd openRegularFile(const std::string& path, std::string& procPath)
{
    struct stat byPath { };
    if (::stat(path.c_str(), &byPath) != 0 || !S_ISREG(byPath.st_mode)) {
        return {};
    }
    const UniqueFd opened(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!opened.valid()) {
        return {};
    }
    UniqueFd fd(::fcntl(opened.get(), F_DUPFD_CLOEXEC, kFirstPrivateFd));
    struct stat byDescriptor { };
    if (!fd.valid() || ::fstat(fd.get(), &byDescriptor) != 0 || !S_ISREG(byDescriptor.st_mode)) {
        return {};
    }
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    procPath = kProcSelfFd + std::to_string(fd.get());
    struct stat byProcPath { };
    if (::stat(procPath.c_str(), &byProcPath) != 0 || byProcPath.st_dev != byDescriptor.st_dev
        || byProcPath.st_ino != byDescriptor.st_ino) {
        return {};
    }
    return fd;
}

/// A private directory (mode 0700, under TMPDIR) holding a link named like `path` to
/// `procPath`, for a model whose format onnxruntime picks by its name; "" when one cannot
/// be made (the engine then opens the caller's path).
std::string linkWithOriginalName(
    OpenedModelFiles& opened, const std::string& path, const std::string& procPath)
{
    if (opened.linkDirectory.empty()) {
        const char* temporary = std::getenv("TMPDIR");
        std::string directory = std::string(temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp")
            + "/ombrix-sherpa-XXXXXX";
        if (::mkdtemp(directory.data()) == nullptr) {
            return {};
        }
        opened.linkDirectory = std::move(directory);
    }
    const std::size_t slash = path.rfind('/');
    const std::string link
        = opened.linkDirectory + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
    if (::symlink(procPath.c_str(), link.c_str()) != 0) {
        return {};
    }
    opened.links.push_back(link);
    return link;
}

/// Opens every file the engine reads; nullptr (the paths are used, as on a system without
/// /proc) when descriptor passing is off or /proc/self/fd is missing.
std::shared_ptr<OpenedModelFiles> openModelFiles(const std::vector<std::string>& paths)
{
    if (!descriptorPassing.load(std::memory_order_relaxed) || !procSelfFdAvailable()) {
        return nullptr;
    }
    auto opened = std::make_shared<OpenedModelFiles>();
    for (std::size_t index = 0; index < paths.size(); ++index) {
        OpenedModelFiles::File file;
        file.fd = openRegularFile(paths[index], file.procPath);
        // Only the model's format is chosen by its name (onnxruntime: *.ort is ORT format).
        file.ortName = index == 0 && hasOrtFileName(paths[index]);
        if (file.fd.valid()) {
            file.enginePath
                = file.ortName ? linkWithOriginalName(*opened, paths[index], file.procPath) : file.procPath;
        }
        opened->files.push_back(std::move(file));
    }
    return opened;
}

/// The identity (as plainIdentity) of the file open at `fd`, or "".
std::string descriptorIdentity(int fd)
{
    struct stat status { };
    return ::fstat(fd, &status) == 0 ? statusIdentity(status) : std::string();
}

/// `text` with every "/proc/self/fd/N" of `replacements` ({N as text, path}) replaced by
/// the path it stands for (the checker names the files by the paths it was given).
std::string withCallerPaths(
    std::string text, const std::vector<std::pair<std::string, std::string>>& replacements)
{
    for (const auto& [procPath, callerPath] : replacements) {
        std::size_t at = 0;
        while ((at = text.find(procPath, at)) != std::string::npos) {
            const std::size_t end = at + procPath.size();
            if (end < text.size() && text[end] >= '0' && text[end] <= '9') {
                at = end; // another descriptor's number that starts with the same digits
                continue;
            }
            text.replace(at, procPath.size(), callerPath);
            at += callerPath.size();
        }
    }
    return text;
}

// ---- verdicts across processes (models/VerdictStore) ----------------------------------------------

/// True when the per-user store holds a verdict for exactly this identity.
bool persistedVerdictHolds(const FileIdentity& identity)
{
    if (!identity.complete || !identity.nanosecondTimes) {
        return false;
    }
    const std::optional<VerdictStore> store = VerdictStore::forCurrentUser();
    return store && store->contains(identity.key);
}

/// `path` with every link resolved, or "".
std::string resolved(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

/// True when the store of the installation whose checker this process uses holds a
/// verdict for exactly this identity, and every file of the request (links resolved)
/// lies inside that installation. The installation is the prefix above the checker's
/// lib/ directory; its store is written by the installers (docs/voices.md).
bool installationVerdictHolds(const CheckRequest& request, const FileIdentity& identity)
{
    if (!identity.complete || !identity.nanosecondTimes || VerdictStore::switchedOff()) {
        return false;
    }
    const std::string checker = resolved(findModelChecker());
    const std::size_t libSlash = checker.rfind('/');
    const std::size_t prefixSlash = libSlash == std::string::npos || libSlash == 0
        ? std::string::npos
        : checker.rfind('/', libSlash - 1);
    if (prefixSlash == std::string::npos || prefixSlash == 0) {
        return false; // no prefix above the checker's directory, or the root itself
    }
    const std::string prefix = checker.substr(0, prefixSlash);
    std::vector<std::string> paths = request.keyFiles;
    if (!request.keyTree.empty()) {
        paths.push_back(request.keyTree);
    }
    for (const std::string& path : paths) {
        if (!resolved(path).starts_with(prefix + "/")) {
            return false;
        }
    }
    const VerdictStore store(
        VerdictStore::installationDirectory(prefix), kModelCheckRuleVersion, VerdictStoreKind::Installation);
    return store.contains(identity.key);
}

/// Remembers a good verdict in the per-user store, where the file system's times are
/// fine enough that a rewrite always changes the key, and no file changed so shortly
/// before its identity was taken that a later change could keep its change time.
void persistVerdict(const FileIdentity& identity)
{
    if (!identity.complete || !identity.nanosecondTimes || !settled(identity)) {
        return;
    }
    if (const std::optional<VerdictStore> store = VerdictStore::forCurrentUser()) {
        store->remember(identity.key);
    }
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
    if (::dladdr1(
            reinterpret_cast<void*>(&moduleFilePath), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)
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

// The file of the loaded sherpa-onnx C library, or "".
std::string sherpaOnnxLibraryPath()
{
    Dl_info info{};
    link_map* map = nullptr;
    if (::dladdr1(reinterpret_cast<void*>(&SherpaOnnxCreateOnlineRecognizer), &info,
            reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)
            == 0
        || map == nullptr || map->l_name == nullptr || map->l_name[0] != '/') {
        return {};
    }
    return map->l_name;
}

bool isExecutableFile(const std::string& path)
{
    struct stat status { };
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// ---- one check -----------------------------------------------------------------------------------

/// "ombrix-sherpa-check is missing (looked for ...)", or which of the places holds a
/// file that cannot be run.
std::string missingCheckerReason(const std::vector<std::string>& searched)
{
    std::string places;
    for (const std::string& place : searched) {
        struct stat status { };
        if (::stat(place.c_str(), &status) == 0) {
            return place + (S_ISREG(status.st_mode) ? " is not executable" : " is not a file");
        }
        places += (places.empty() ? "" : ", ") + place;
    }
    return std::string(kModelCheckerProgramName) + " is missing (looked for " + places + ")";
}

/// The verdict when the checker could not run: the in-process checks alone (run here
/// if a test had switched them off, so that no file is ever loaded without any check),
/// never remembered, and a warning the first time this reason comes up.
ModelCheckResult checkedInProcessOnly(const CheckRequest& request,
    const std::optional<ModelCheckerOverride>& checkerOverride, std::string reason)
{
    if (checkerOverride && !checkerOverride->inProcessChecks) {
        if (std::string problem = request.preCheck(request.modelPath, request.tokensPath,
                request.preCheckPath.empty() ? request.thirdPath : request.preCheckPath);
            !problem.empty()) {
            return failure(std::move(problem));
        }
    }
    ModelCheckResult result{true};
    result.unchecked = true;
    CheckerState& state = checkerState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.reportedUnavailable.insert(reason).second) {
        result.warning = oneLine("The model checker " + reason
                + "; model files are loaded after the in-process checks only, which do not catch every "
                  "fault that can end the process",
            kMaxProblemLine);
    }
    return result;
}

/// A warning, once per value, when OMBRIX_SHERPA_CHECKER names no program that can run
/// (findModelChecker then goes on with the usual places).
std::string unusableConfiguredChecker()
{
    const char* configured = std::getenv(kModelCheckerEnvironmentVariable);
    if (configured == nullptr || configured[0] == '\0' || isExecutableFile(configured)) {
        return {};
    }
    CheckerState& state = checkerState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.reportedUnavailable.insert(std::string("configured ") + configured).second) {
        return {};
    }
    return oneLine(std::string(kModelCheckerEnvironmentVariable) + " names " + configured
            + ", which is missing or not an executable file; it is ignored and the checker is looked for in "
              "its usual places",
        kMaxProblemLine);
}

ModelCheckResult checkFilesWithChecker(const CheckRequest& request, const OpenedModelFiles* opened);

/// "" when each file of `paths` opened in `opened` is still the file its path names
/// (the in-process checks read the paths); otherwise the refusal.
std::string pathsStillNameDescriptors(
    const CheckRequest& request, const std::vector<std::string>& paths, const OpenedModelFiles* opened)
{
    for (std::size_t index = 0; opened != nullptr && index < paths.size(); ++index) {
        const OpenedModelFiles::File& file = opened->files[index];
        if (file.fd.valid() && plainIdentity(paths[index]) != descriptorIdentity(file.fd.get())) {
            return filesInvolved(request) + ": the files changed while they were being checked";
        }
    }
    return {};
}

ModelCheckResult checkFiles(const CheckRequest& request)
{
    std::string configuredWarning = unusableConfiguredChecker();
    // The files the engine reads, each opened once before anything reads it: the checker
    // and the engine get these descriptors, the checks in this process the paths (that
    // still name the same files before and after them).
    std::vector<std::string> engineFiles{request.modelPath, request.tokensPath};
    if (request.kind == std::string_view(kRecognizerKind)) {
        engineFiles.push_back(request.thirdPath);
    }
    std::shared_ptr<OpenedModelFiles> opened = openModelFiles(engineFiles);
    std::vector<std::string> identitiesBefore;
    for (std::size_t index = 0; index < engineFiles.size(); ++index) {
        const bool open = opened && opened->files[index].fd.valid();
        identitiesBefore.push_back(
            open ? descriptorIdentity(opened->files[index].fd.get()) : plainIdentity(engineFiles[index]));
    }
    ModelCheckResult result;
    if (std::string changed = pathsStillNameDescriptors(request, engineFiles, opened.get());
        !changed.empty()) {
        result = failure(std::move(changed));
    } else {
        result = checkFilesWithChecker(request, opened.get());
    }
    if (result.ok) {
        if (std::string changed = pathsStillNameDescriptors(request, engineFiles, opened.get());
            !changed.empty()) {
            result = failure(std::move(changed));
        }
    }
    if (result.ok) {
        result.checkedFiles = std::move(engineFiles);
        result.checkedIdentities = std::move(identitiesBefore);
        result.opened = std::move(opened);
    }
    if (!configuredWarning.empty()) {
        result.warning = result.warning.empty() ? std::move(configuredWarning)
                                                : configuredWarning + "; " + result.warning;
    }
    return result;
}

ModelCheckResult checkFilesWithChecker(const CheckRequest& request, const OpenedModelFiles* opened)
{
    CheckerState& state = checkerState();
    std::optional<ModelCheckerOverride> checkerOverride;
    std::optional<FileIdentity> identity = identityOf(request);
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        checkerOverride = state.checkerOverride;
        if (identity && state.provenGood.contains(identity->key)) {
            return ModelCheckResult{true, {}, true};
        }
    }
    if (identity && !checkerOverride
        && (persistedVerdictHolds(*identity) || installationVerdictHolds(request, *identity))) {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.provenGood.insert(identity->key);
        return ModelCheckResult{true, {}, true};
    }
    if (!checkerOverride || checkerOverride->inProcessChecks) {
        if (std::string problem = request.preCheck(request.modelPath, request.tokensPath,
                request.preCheckPath.empty() ? request.thirdPath : request.preCheckPath);
            !problem.empty()) {
            return failure(std::move(problem));
        }
    }

    std::string program;
    std::chrono::milliseconds timeout = modelCheckTimeoutFor(identity ? identity->totalBytes : 0);
    std::vector<std::string> arguments;
    if (checkerOverride) {
        program = checkerOverride->program;
        timeout = checkerOverride->timeout;
        arguments = checkerOverride->extraArguments;
    }
    if (program.empty()) {
        std::vector<std::string> searched;
        program = findModelChecker(&searched);
        if (program.empty()) {
            return checkedInProcessOnly(request, checkerOverride, missingCheckerReason(searched));
        }
    }

    if (request.structureCheckedOption != nullptr && (!checkerOverride || checkerOverride->inProcessChecks)) {
        arguments.emplace_back(request.structureCheckedOption); // not repeated in the checker
    }
    arguments.insert(arguments.end(), request.options.begin(), request.options.end());
    // The checker reads the files through our descriptors, as /proc/self/fd paths of its
    // own numbers; a model named *.ort keeps its path (onnxruntime picks the format by the
    // name), as does every file when there are no descriptors.
    std::vector<std::string> files{request.modelPath, request.tokensPath, request.thirdPath};
    std::vector<std::pair<int, int>> descriptors;
    std::vector<std::pair<std::string, std::string>> callerPaths;
    for (std::size_t index = 0; opened != nullptr && index < opened->files.size(); ++index) {
        const OpenedModelFiles::File& file = opened->files[index];
        if (!file.fd.valid() || file.ortName) {
            continue;
        }
        const int theirs = kFirstCheckerFileFd + static_cast<int>(descriptors.size());
        descriptors.emplace_back(file.fd.get(), theirs);
        std::string procPath = kProcSelfFd + std::to_string(theirs);
        callerPaths.emplace_back(procPath, files[index]);
        files[index] = std::move(procPath);
    }
    arguments.insert(arguments.end(), {request.kind, files[0], files[1], files[2]});
    if (identity && !checkerOverride) {
        identity = settledIdentityOf(request, std::move(identity));
    }
    const CheckerRun run
        = runChecker(program, std::move(arguments), request.environment, timeout, descriptors);
    if (std::string reason = whyItDidNotRun(program, run, timeout); !reason.empty()) {
        return checkedInProcessOnly(
            request, checkerOverride, withCallerPaths(std::move(reason), callerPaths));
    }
    ModelCheckResult result = verdict(request, run, timeout);
    if (!result.ok) {
        result.problem = withCallerPaths(std::move(result.problem), callerPaths);
        return result;
    }
    const std::optional<FileIdentity> identityAfter = identityOf(request);
    if (!identity || !identityAfter || identityAfter->key != identity->key) {
        return failure(filesInvolved(request) + ": the files changed while they were being checked");
    }
    if (!identity->complete) {
        return result;
    }
    if (!checkerOverride) {
        persistVerdict(*identity);
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.provenGood.size() >= kMaxProvenGoodEntries) {
        state.provenGood.clear();
    }
    state.provenGood.insert(identity->key);
    return result;
}

std::string preCheckVoice(
    const std::string& model, const std::string& tokens, const std::string& dataDirectory)
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
    std::string problem;
    const std::optional<ModelFileInfo> info = readModelFileInfo(model, problem);
    if (!info) {
        return problem;
    }
    problem = model_files::recognizerMetadataProblem(model, *info, true);
    if (!problem.empty()) {
        return problem;
    }
    const std::optional<RecognizerTokens> tokenIds = readRecognizerTokens(tokens, problem);
    if (!tokenIds) {
        return problem;
    }
    // The whole graph, before any other process or library reads it.
    return checkDecodingGraphFile(
        graph, GraphLabelLimits{tokenIds->ids, tokens, modelOutputSize(*info), model});
}

} // namespace

ModelCheckResult checkSpeechSynthesisFiles(const std::string& modelPath, const std::string& tokensPath,
    const std::string& dataDirPath, const std::string& espeakDataDir)
{
    FileSet keySet = voiceFileSet(modelPath, tokensPath, dataDirPath, espeakDataDir);
    CheckRequest request{kSpeechSynthesisKind, modelPath, tokensPath, espeakDataDir, &preCheckVoice,
        std::move(keySet.files), {kCheckerSanitizerOptions, kEspeakDataPathVariable + espeakDataDir}};
    if (espeakDataDir != dataDirPath) {
        // The voice's own tables are not what espeak-ng reads, but they must be sound too
        // (the one that is was proven with the first voice).
        request.options = {kVoiceDataOption, dataDirPath};
        request.preCheckPath = dataDirPath;
    }
    request.keyTree = std::move(keySet.tree);
    ModelCheckResult result = checkFiles(request);
    if (!result.ok && espeakDataDir != dataDirPath) {
        result.problem = oneLine(result.problem
                + " (espeak-ng in this process was initialised by its first voice and reads " + espeakDataDir
                + ", not " + dataDirPath + ")",
            kMaxProblemLine);
    }
    return result;
}

ModelCheckResult checkSpeechSynthesisFiles(
    const std::string& modelPath, const std::string& tokensPath, const std::string& dataDirPath)
{
    return checkSpeechSynthesisFiles(modelPath, tokensPath, dataDirPath, dataDirPath);
}

ModelCheckResult checkRecognizerFiles(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath)
{
    const CheckRequest request{kRecognizerKind, modelPath, tokensPath, graphPath, &preCheckRecognizer,
        recognizerFileSet(modelPath, tokensPath, graphPath).files, {kCheckerSanitizerOptions}, {}, {}, {},
        kStructureCheckedOption};
    return checkFiles(request);
}

std::string checkedFilesChanged(const ModelCheckResult& result)
{
    for (std::size_t file = 0; file < result.checkedFiles.size() && file < result.checkedIdentities.size();
         ++file) {
        const std::string now = plainIdentity(result.checkedFiles[file]);
        if (now.empty() || now != result.checkedIdentities[file]) {
            return oneLine(result.checkedFiles[file]
                    + ": the file was replaced or changed after it was checked, while the engine read it",
                kMaxProblemLine);
        }
    }
    return {};
}

std::string engineFilePath(const ModelCheckResult& result, std::size_t file, const std::string& callerPath)
{
    if (!result.opened || file >= result.opened->files.size()) {
        return callerPath;
    }
    const OpenedModelFiles::File& opened = result.opened->files[file];
    return opened.fd.valid() && !opened.enginePath.empty() ? opened.enginePath : callerPath;
}

std::string withCallerFilePaths(const ModelCheckResult& result, std::string text)
{
    std::vector<std::pair<std::string, std::string>> replacements;
    for (std::size_t file = 0; result.opened && file < result.opened->files.size(); ++file) {
        const OpenedModelFiles::File& opened = result.opened->files[file];
        if (opened.fd.valid() && !opened.enginePath.empty() && file < result.checkedFiles.size()) {
            replacements.emplace_back(opened.enginePath, result.checkedFiles[file]);
        }
    }
    return withCallerPaths(std::move(text), replacements);
}

void releaseCheckedDescriptors(ModelCheckResult& result)
{
    result.opened.reset();
}

void setDescriptorPassingForTesting(bool enabled)
{
    descriptorPassing.store(enabled, std::memory_order_relaxed);
}

std::chrono::milliseconds modelCheckTimeoutFor(std::uint64_t totalBytes)
{
    constexpr std::uint64_t kBytesPerMegabyte = 1024 * 1024;
    // Files of a TiB and more all get the bound of a TiB (weeks): no overflow anywhere.
    constexpr std::uint64_t kMostMegabytes = std::uint64_t{1} << 20;
    const std::uint64_t megabytes = std::min(
        totalBytes / kBytesPerMegabyte + (totalBytes % kBytesPerMegabyte != 0 ? 1 : 0), kMostMegabytes);
    return kModelCheckTimeout + kModelCheckTimePerMegabyte * static_cast<int64_t>(megabytes);
}

std::string findModelChecker(std::vector<std::string>* searched)
{
    std::vector<std::string> candidates;
    if (const char* configured = std::getenv(kModelCheckerEnvironmentVariable);
        configured != nullptr && configured[0] != '\0') {
        candidates.emplace_back(configured);
    }
    const std::string module = moduleFilePath();
    const std::string directory = module.substr(0, module.rfind('/') + 1);
    candidates.push_back(directory + kModelCheckerProgramName);
    candidates.push_back(directory + "../lib/" + kModelCheckerProgramName);
    // A host that compiles the nodes in is the module itself; the checker of the
    // installation it links sits beside that installation's sherpa-onnx library.
    if (const std::string library = sherpaOnnxLibraryPath(); !library.empty()) {
        candidates.push_back(library.substr(0, library.rfind('/') + 1) + kModelCheckerProgramName);
    }
    for (const std::string& candidate : candidates) {
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

unsigned modelCheckerSpawnCountForTesting()
{
    return checkerSpawnCount.load(std::memory_order_relaxed);
}

} // namespace ombrix::extensions::sherpa
