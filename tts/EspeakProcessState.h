#pragma once

#include <mutex>
#include <string>

namespace ombrix::extensions::sherpa {

/**
 * The process-wide state that espeak-ng (linked into sherpa-onnx) keeps, as far as this
 * library controls it: the environment variable "ESPEAK_DATA_PATH", and whether espeak-ng
 * has been initialised (it initialises once per process, with the data directory of the
 * first engine created, and never reads a data directory path again).
 *
 * Every node of every thread takes one process-wide lock (a Lock) around setting the
 * variable and creating an engine, so the library never writes the environment while
 * another of its threads reads it inside an engine creation, and loads in different
 * nodes are ordered. What this cannot protect: other code of the host process calling
 * getenv/setenv at the same time (glibc's environment is not thread-safe); such code
 * would have to avoid running concurrently with a voice load.
 */
class EspeakProcessState {
public:
    /// Holds the process-wide lock; blocking. Never hold it while waiting for a node's
    /// worker or audio thread.
    class Lock {
    public:
        Lock();
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        std::unique_lock<std::mutex> lock;
    };

    /// Sets "ESPEAK_DATA_PATH" to `path` (overwriting), unless it already holds exactly
    /// that value. Returns true when the variable was written.
    static bool setDataPath(const Lock& lock, const std::string& path);

    /// Whether an engine created by this library has initialised espeak-ng in this process.
    static bool isInitialised(const Lock& lock);
    /// The data directory espeak-ng reads for every voice from now on: the one it was
    /// initialised with, or `ownDataPath` (the voice's own) while it is not initialised.
    static std::string dataPathInUse(const Lock& lock, const std::string& ownDataPath);
    /// Records that an engine was created with `dataPath`; the first call decides.
    static void markInitialised(const Lock& lock, const std::string& dataPath);
};

} // namespace ombrix::extensions::sherpa
