#include "models/ModelFileAccess.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ombrix::extensions::sherpa::model_files {

namespace {

// Text files (tokens) are small; anything larger is not a tokens file.
constexpr std::size_t kMaxTextFileBytes = 16u << 20;

} // namespace

std::string atPath(const std::string& path, const std::string& what)
{
    return path + ": " + what;
}

std::string openError(const std::string& path, int error)
{
    if (error == ENOENT) {
        return atPath(path, "does not exist");
    }
    return atPath(path, std::string("cannot be opened (") + std::strerror(error) + ")");
}

std::string joinPath(const std::string& directory, const std::string& leaf)
{
    if (directory.empty() || directory.back() == '/') {
        return directory + leaf;
    }
    return directory + "/" + leaf;
}

std::string fileTypeProblem(const std::string& path, mode_t mode)
{
    if (S_ISDIR(mode)) {
        return atPath(path, "is a directory, not a file");
    }
    if (S_ISFIFO(mode)) {
        return atPath(path, "is a FIFO (named pipe), not a regular file");
    }
    if (S_ISSOCK(mode)) {
        return atPath(path, "is a socket, not a regular file");
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return atPath(path, "is a device, not a regular file");
    }
    return atPath(path, "is not a regular file");
}

std::string regularFileProblem(const std::string& path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0) {
        return openError(path, errno);
    }
    return S_ISREG(status.st_mode) ? std::string() : fileTypeProblem(path, status.st_mode);
}

std::optional<MappedFile> MappedFile::open(const std::string& path, std::string& problem, bool wholeFile)
{
    // Judged before opening: opening a FIFO for reading waits for a writer, and a device
    // may never end. The descriptor is opened without blocking and judged again, in case
    // the path was replaced in between.
    problem = regularFileProblem(path);
    if (!problem.empty()) {
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        problem = openError(path, errno);
        return std::nullopt;
    }
    std::optional<MappedFile> file = openDescriptor(path, fd, problem, wholeFile);
    ::close(fd);
    return file;
}

std::optional<MappedFile> MappedFile::openDescriptor(
    const std::string& path, int fd, std::string& problem, bool wholeFile)
{
    struct stat status { };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        problem = fileTypeProblem(path, status.st_mode);
        return std::nullopt;
    }
    if (status.st_size == 0) {
        problem = atPath(path, "is empty");
        return std::nullopt;
    }
    const auto size = static_cast<std::size_t>(status.st_size);
    void* const address
        = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | (wholeFile ? MAP_POPULATE : 0), fd, 0);
    if (address == MAP_FAILED) {
        problem = atPath(path, std::string("cannot be read (") + std::strerror(errno) + ")");
        return std::nullopt;
    }
    return MappedFile(static_cast<const uint8_t*>(address), size);
}

MappedFile::~MappedFile()
{
    if (address != nullptr) {
        ::munmap(const_cast<uint8_t*>(address), size);
    }
}

std::optional<std::string> readTextFile(const std::string& path, std::string& problem)
{
    std::optional<MappedFile> file = MappedFile::open(path, problem);
    if (!file) {
        return std::nullopt;
    }
    if (file->bytes().size() > kMaxTextFileBytes) {
        problem = atPath(path, "is larger than 16 MiB, which no tokens file is");
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(file->bytes().data()), file->bytes().size());
}

} // namespace ombrix::extensions::sherpa::model_files
