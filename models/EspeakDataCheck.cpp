// espeak-ng data directories (declared in ModelFileInspection.h).

#include "models/ModelFileAccess.h"
#include "models/ModelFileInspection.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace ombrix::extensions::sherpa {

using namespace model_files;

namespace {

constexpr std::array<const char*, 4> kEspeakRequiredFiles{"phontab", "phonindex", "phondata", "intonations"};
constexpr uint32_t kEspeakDataVersion = 0x00014801; // the version the built-in espeak-ng accepts
constexpr const char* kEspeakVersionedFile = "phondata";

} // namespace

std::vector<std::string> espeakDataFiles(const std::string& dataDirectory)
{
    std::vector<std::string> files;
    for (const char* name : kEspeakRequiredFiles) {
        files.push_back(joinPath(dataDirectory, name));
    }
    return files;
}

std::string checkEspeakDataDirectory(const std::string& path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0) {
        return errno == ENOENT
            ? atPath(path, "does not exist")
            : atPath(path, std::string("cannot be examined (") + std::strerror(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) {
        return atPath(path, "is not a directory");
    }
    for (const std::string& file : espeakDataFiles(path)) {
        if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return atPath(path, "lacks the espeak-ng data file " + file.substr(file.rfind('/') + 1));
        }
    }
    const std::string versioned = joinPath(path, kEspeakVersionedFile);
    std::ifstream in(versioned, std::ios::binary);
    uint32_t version = 0;
    if (!in.read(reinterpret_cast<char*>(&version), sizeof version)) {
        return atPath(versioned, "is too short to be espeak-ng data");
    }
    if (version != kEspeakDataVersion) {
        char text[64];
        std::snprintf(text, sizeof text, "has data version 0x%x; this espeak-ng needs 0x%x", version,
            kEspeakDataVersion);
        return atPath(versioned, text);
    }
    return {};
}

} // namespace ombrix::extensions::sherpa
