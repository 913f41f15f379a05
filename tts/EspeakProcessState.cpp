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

void EspeakProcessState::markInitialised(const Lock& /*lock*/)
{
    espeakInitialised = true;
}

} // namespace ombrix::extensions::sherpa
