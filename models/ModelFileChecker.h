#pragma once

// Proving model files safe before sherpa-onnx loads them into this process.
//
// sherpa-onnx 1.13.4 ends its host process on most kinds of bad file contents (_Exit,
// exit inside espeak-ng, a segfault at the first decode), which no in-process guard can
// catch. So before a node loads a voice or a recogniser, these functions run the real
// library on the same files in a child process: the program ombrix-sherpa-check, shipped
// next to the plug-in library. Only when that child has loaded the files, used them once
// (one short synthesis; one decode of a second of test noise plus a check of every graph label) and
// reported "OK" as its last act are the files called good. Cheap checks in this process
// come first (models/ModelFileInspection.h), so that the common faults are named exactly
// without starting a process at all.
//
// Files proven good are remembered for the life of the process and in the per-user
// store, keyed by device, inode, size and modification and change times (nanoseconds) of
// every file involved (for a voice, every entry below the espeak-ng data directory it is
// judged with; models/FileIdentity.h), so a later load of the same files, in this or a
// later process, costs a few hundred stat calls and a replaced or touched file is checked
// again. Verdicts that the installers stored in the installation's store
// (<prefix>/var/lib/ombrix-sherpa/verdicts, the prefix above the checker's lib/) count
// for files inside that prefix (models/VerdictStore.h; docs/voices.md has the trust model).
//
// The checker is a safety net, not a gate: when it cannot run at all (not installed, not
// startable, or ending before it reports its first stage, as when the dynamic loader
// fails), files are judged by the in-process checks alone and the caller is given one
// warning line per reason and process. Once the checker has reported a stage, any end
// without a good verdict is a verdict against the files.
//
// Thread-safety: every function may be called from any thread at any time; checks of
// different files run in parallel. A check blocks the calling thread until the child has
// finished (tens of milliseconds for the test models, longer for large real models), at
// most modelCheckTimeoutFor(the files' size). Nothing here logs or throws for bad files; the caller logs
// `problem`. Never call from the audio thread.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa {

/// The model files of one check, each opened once (read-only, close-on-exec) before any
/// check reads it: the checker and the engine are handed paths of these descriptors, so
/// they read the file that was checked even when another file is renamed over its path
/// meanwhile. Closes the descriptors (and removes its private links) when it goes.
class OpenedModelFiles;

struct ModelCheckResult {
    ModelCheckResult(bool ok = false, std::string problem = {}, bool fromCache = false)
        : ok(ok)
        , problem(std::move(problem))
        , fromCache(fromCache)
    {
    }

    bool ok = false;
    /// One line naming the file at fault and what is wrong with it; empty when ok.
    std::string problem;
    /// The verdict was remembered from an earlier check of the same unchanged files.
    bool fromCache = false;
    /// The checker could not run (missing, could not be started, or ended before it
    /// began checking): `ok` is the verdict of the in-process checks alone, and is never
    /// remembered (the next check tries the checker again).
    bool unchecked = false;
    /// Set with `unchecked` the first time this process meets the reason: one line (without
    /// a class prefix) saying why and that the files are loaded after the in-process checks
    /// only, for the caller to log as a warning. Empty when the reason was reported before.
    /// Also set, whatever the verdict, the first time OMBRIX_SHERPA_CHECKER names a value
    /// that is missing or not an executable file (the usual places are searched then).
    std::string warning;
    /// The files the verdict is about (model, tokens, graph; a voice's model and tokens)
    /// and their identity (device, inode, size, modification time) when the check began,
    /// for checkedFilesUnchanged() after the engine has read them.
    std::vector<std::string> checkedFiles;
    std::vector<std::string> checkedIdentities; ///< one per file of checkedFiles
    /// The descriptors the files were checked through (null when /proc is missing or a file
    /// could not be opened once as a regular file: the engine then opens the paths).
    std::shared_ptr<const OpenedModelFiles> opened;
};

/// The path the engine is to open for file `file` of `result.checkedFiles`: a
/// /proc/self/fd path of the checked descriptor (for a model named *.ort, a link with the
/// original name in a private directory, as onnxruntime picks the format by the name), or
/// `callerPath` when there is no such descriptor. Valid while `result.opened` lives.
std::string engineFilePath(const ModelCheckResult& result, std::size_t file, const std::string& callerPath);

/// `text` (a message of the engine) with the paths engineFilePath gave for `result`'s files
/// replaced by the caller's paths of those files, so that a line names what the caller gave.
std::string withCallerFilePaths(const ModelCheckResult& result, std::string text);

/// Closes the checked descriptors and removes their links, once the engine has read them.
void releaseCheckedDescriptors(ModelCheckResult& result);

/// After a good verdict, once the engine has read the files (through the checked
/// descriptors, or by their paths when there were none): "" when every
/// file of `result.checkedFiles` is still the one that was checked (same device, inode,
/// size and modification time), otherwise one line naming the first that changed (or went
/// away); the engine may then have read contents that were never checked. A few stat
/// calls. "" as well for a result without files (a check that never ran).
std::string checkedFilesChanged(const ModelCheckResult& result);

/// File name of the checker program, looked for in this order: the path in the
/// environment variable below (when set and not empty), next to the module (plug-in
/// library or executable) that holds this code: `<moduleDir>/<name>`, then
/// `<moduleDir>/../lib/<name>`, and last next to the sherpa-onnx library the process
/// loaded (`<prefix>/lib` of the installation a host that compiles the nodes in links).
inline constexpr const char* kModelCheckerProgramName = "ombrix-sherpa-check";
/// Names the checker program to use, for hosts whose checker is elsewhere.
inline constexpr const char* kModelCheckerEnvironmentVariable = "OMBRIX_SHERPA_CHECKER";

/// How long a checker may run before it is killed and the files are called bad, for
/// files of `totalBytes` together: kModelCheckTimeout plus kModelCheckTimePerMegabyte for
/// every MiB. The checker reads every file at least twice (its own checks, then the
/// library's load), so its time grows with their size: measured on a two-core machine
/// under a load average of 10, a recogniser with a 33 MiB graph took 0.7 to 1.6 s, about
/// 20 to 50 ms per MiB. The per-MiB part is ten times the worst of that, so a machine or
/// disk ten times slower than that loaded one still finishes; the fixed part covers
/// starting the process and the library's set-up on a slow machine with a cold disk
/// (the test models take well under a second). A checker that never returns still holds
/// a load (and its node's engine lock) for a bounded time: 30 s plus 5 s per 10 MiB.
inline constexpr std::chrono::milliseconds kModelCheckTimeout{30000};
inline constexpr std::chrono::milliseconds kModelCheckTimePerMegabyte{500};
std::chrono::milliseconds modelCheckTimeoutFor(std::uint64_t totalBytes);

/// Checks a VITS (piper) voice as the text-to-speech node loads it: `modelPath`,
/// `tokensPath` and `dataDirPath`, the phoneme-data directory exactly as it will be handed
/// to the engine (after any short-path substitution). `espeakDataDir` is the directory
/// espeak-ng will read for it: `dataDirPath` until this process has initialised espeak-ng,
/// from then on the one it was initialised with (it never reads another). The checker
/// creates and uses the voice with that directory, so that its verdict is this process's;
/// the voice's own data, which the library will then not read, must still be sound. The
/// three-argument form is for a voice whose own directory is the one espeak-ng reads.
ModelCheckResult checkSpeechSynthesisFiles(const std::string& modelPath, const std::string& tokensPath,
    const std::string& dataDirPath, const std::string& espeakDataDir);
ModelCheckResult checkSpeechSynthesisFiles(
    const std::string& modelPath, const std::string& tokensPath, const std::string& dataDirPath);

/// Checks a streaming Zipformer2 CTC recogniser with its HLG graph as the speech-to-text
/// node loads it.
ModelCheckResult checkRecognizerFiles(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath);

/// Where the checker program was found, or "" (with the places looked at in `searched`).
std::string findModelChecker(std::vector<std::string>* searched = nullptr);

/// Forgets every file proven good (the next check of any files starts a checker again).
void forgetCheckedModelFiles();

/// Test hook: run `program` (empty: the checker found next to the module) with
/// `extraArguments` before the usual ones, and `timeout` instead of modelCheckTimeoutFor;
/// `inProcessChecks` false goes straight to the checker, so that what the real library
/// does with a bad file is what decides. std::nullopt restores the normal behaviour.
/// Also forgets every file proven good.
struct ModelCheckerOverride {
    std::string program;
    std::chrono::milliseconds timeout = kModelCheckTimeout;
    bool inProcessChecks = true;
    std::vector<std::string> extraArguments;
};
void setModelCheckerOverrideForTesting(std::optional<ModelCheckerOverride> checkerOverride);

/// Test hook: false makes the checks behave as on a system without /proc (the files are
/// not opened; the checker and the engine are given the paths). True restores the normal
/// behaviour.
void setDescriptorPassingForTesting(bool enabled);

/// Test hook: how many checker processes this process has started so far.
unsigned modelCheckerSpawnCountForTesting();

} // namespace ombrix::extensions::sherpa
