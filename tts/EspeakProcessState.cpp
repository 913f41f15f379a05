#include "tts/EspeakProcessState.h"

#include <cstdlib>

namespace ombrix::extensions::sherpa {

namespace {

constexpr const char* kEspeakDataPathVariable = "ESPEAK_DATA_PATH";
constexpr int kOverwrite = 1;

std::mutex& processMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Guarded by processMutex().
bool espeakInitialised = false;
std::string initialisedDataPath;

} // namespace

EspeakProcessState::Lock::Lock()
    : lock(processMutex())
{
}

EspeakProcessState::Lock::~Lock() = default;

bool EspeakProcessState::setDataPath(const Lock& /*lock*/, const std::string& path)
{
    const char* current = std::getenv(kEspeakDataPathVariable);
    if (current != nullptr && path == current) {
        return false;
    }
    ::setenv(kEspeakDataPathVariable, path.c_str(), kOverwrite);
    return true;
}

bool EspeakProcessState::isInitialised(const Lock& /*lock*/)
{
    return espeakInitialised;
}

std::string EspeakProcessState::dataPathInUse(const Lock& /*lock*/, const std::string& ownDataPath)
{
    return espeakInitialised ? initialisedDataPath : ownDataPath;
}

void EspeakProcessState::markInitialised(const Lock& /*lock*/, const std::string& dataPath)
{
    if (!espeakInitialised) {
        espeakInitialised = true;
        initialisedDataPath = dataPath;
    }
}

} // namespace ombrix::extensions::sherpa
