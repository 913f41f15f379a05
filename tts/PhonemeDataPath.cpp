#include "tts/PhonemeDataPath.h"

#include <cstdlib>
#include <exception>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "host/Logger.h"

namespace ombrix::extensions::sherpa {

namespace fs = std::filesystem;

namespace {

constexpr const char* kTemporaryDirectoryVariable = "TMPDIR";

// MurmurHash64A constants.
constexpr std::uint64_t kMurmurMultiplier = 0xc6a4a7935bd1e995ULL;
constexpr int kMurmurShift = 47;
constexpr std::size_t kMurmurBlockBytes = 8;
constexpr unsigned kBitsPerByte = 8;

/// Little-endian value of `count` (at most 8) bytes, independent of host byte order.
std::uint64_t loadLittleEndian(const unsigned char* bytes, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t index = count; index-- > 0;) {
        value = (value << kBitsPerByte) | bytes[index];
    }
    return value;
}

std::uint64_t shiftMix(std::uint64_t value)
{
    return value ^ (value >> kMurmurShift);
}

std::string shortPathOrFallback(const std::string& dataPath, const std::string& temporaryDirectory,
    const detail::LinkCreatedHook& afterLinkCreated)
{
    const fs::path linkPath = phonemeDataLinkPath(temporaryDirectory, dataPath);

    std::error_code removeError;
    fs::remove(linkPath, removeError); // whatever was there; failures show up at creation

    std::error_code createError;
    fs::create_directory_symlink(dataPath, linkPath, createError);
    if (!createError && afterLinkCreated) {
        afterLinkCreated(linkPath);
    }

    const std::string& linkString = linkPath.native();
    if (!createError && linkString.size() <= kPhonemeDataPathLimit) {
        if (!detail::isOwnLinkTo(linkPath, dataPath)) {
            Logger::warning("[SherpaTTSNode] Short espeak-ng-data symlink " + linkString
                + " was replaced by an entry that is not ours or does not point at " + dataPath
                + "; espeak-ng may fail to load its data on this long path.");
            return dataPath;
        }
        if (fs::exists(linkPath)) {
            Logger::info("[SherpaTTSNode] espeak-ng-data path is " + std::to_string(dataPath.size())
                + " chars (exceeds espeak-ng's 255-byte limit); using short symlink: " + linkString);
            return linkString;
        }
    }
    Logger::warning("[SherpaTTSNode] Could not create short espeak-ng-data symlink (" + createError.message()
        + "); espeak-ng may fail to load its data on this long path.");
    return dataPath;
}

} // namespace

std::uint64_t murmurHash64A(const void* data, std::size_t length, std::uint64_t seed)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    const std::size_t wholeBlocksEnd = length - length % kMurmurBlockBytes;

    std::uint64_t hash = seed ^ (length * kMurmurMultiplier);
    for (std::size_t offset = 0; offset < wholeBlocksEnd; offset += kMurmurBlockBytes) {
        const std::uint64_t block
            = shiftMix(loadLittleEndian(bytes + offset, kMurmurBlockBytes) * kMurmurMultiplier)
            * kMurmurMultiplier;
        hash ^= block;
        hash *= kMurmurMultiplier;
    }
    if (const std::size_t tail = length % kMurmurBlockBytes; tail != 0) {
        hash ^= loadLittleEndian(bytes + wholeBlocksEnd, tail);
        hash *= kMurmurMultiplier;
    }
    return shiftMix(shiftMix(hash) * kMurmurMultiplier);
}

fs::path phonemeDataLinkPath(const std::string& directory, const std::string& dataPath)
{
    const std::uint64_t hash = murmurHash64A(dataPath.data(), dataPath.size(), kPhonemeDataLinkHashSeed);
    return fs::path(directory) / (std::string(kPhonemeDataLinkPrefix) + std::to_string(hash));
}

std::string shortPhonemeDataPath(const std::string& dataPath)
{
    return detail::shortPhonemeDataPath(dataPath, {});
}

bool phonemeDataPathUsable(const std::string& dataPath)
{
    return dataPath.size() <= kEspeakDataPathMaxBytes;
}

namespace detail {

std::string shortPhonemeDataPath(const std::string& dataPath, const LinkCreatedHook& afterLinkCreated)
{
    // std::getenv must not run while another thread changes the environment (setenv may
    // move it); callers keep their own environment writes away from this call.
    const char* temporaryDirectory = std::getenv(kTemporaryDirectoryVariable);
    if (temporaryDirectory == nullptr) {
        // clang-format off
        Logger::warning("[SherpaTTSNode] espeak-ng-data path is too long and TMPDIR is unset; espeak-ng may fail to load its data.");
        // clang-format on
        return dataPath;
    }
    try {
        return shortPathOrFallback(dataPath, temporaryDirectory, afterLinkCreated);
    } catch (const std::exception& error) {
        Logger::warning(
            std::string("[SherpaTTSNode] espeak-ng-data symlink workaround failed: ") + error.what());
        return dataPath;
    }
}

bool isOwnLinkTo(const fs::path& linkPath, const std::string& target)
{
    struct stat before { };
    struct stat after { };
    if (::lstat(linkPath.c_str(), &before) != 0 || !S_ISLNK(before.st_mode) || before.st_uid != ::geteuid()) {
        return false;
    }
    std::error_code error;
    const fs::path actualTarget = fs::read_symlink(linkPath, error);
    if (error) {
        return false;
    }
    if (::lstat(linkPath.c_str(), &after) != 0 || after.st_dev != before.st_dev
        || after.st_ino != before.st_ino) {
        return false;
    }
    return actualTarget.native() == target;
}

} // namespace detail

} // namespace ombrix::extensions::sherpa
