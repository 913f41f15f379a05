#pragma once

// Opening model files for the readers of ModelFileInspection.h: every reader goes through
// these, so a file is judged (missing, a directory, empty, unreadable) the same way
// whatever its format. Internal to the readers; the messages start with the path.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace ombrix::extensions::sherpa::model_files {

using Bytes = std::span<const uint8_t>;

/// "<path>: <what>", the form of every problem line.
std::string atPath(const std::string& path, const std::string& what);

/// The problem line for an open() that failed with `error`.
std::string openError(const std::string& path, int error);

/// "" when `path` (after following symbolic links) is a regular file; otherwise what it
/// is instead ("does not exist", a directory, a FIFO, a device...). Never opens it.
std::string regularFileProblem(const std::string& path);

/// The problem line for a path whose file type (st_mode) is not a regular file.
std::string fileTypeProblem(const std::string& path, mode_t mode);

/// `leaf` inside `directory`, with one "/" between them.
std::string joinPath(const std::string& directory, const std::string& leaf);

/// A whole file mapped read-only; only the pages that are read get loaded.
class MappedFile {
public:
    /// Maps `path`; std::nullopt and `problem` set when it is missing, not a regular
    /// file (checked before opening, so a FIFO or device never blocks), empty or cannot
    /// be mapped. Never blocks on the file.
    /// With `wholeFile`, every page is loaded at once (for readers that read it all).
    static std::optional<MappedFile> open(
        const std::string& path, std::string& problem, bool wholeFile = false);
    /// Maps the file open at `fd` (which stays open and owned by the caller), named
    /// `path` in the problem; refused as open() refuses what is not a regular file or
    /// is empty.
    static std::optional<MappedFile> openDescriptor(
        const std::string& path, int fd, std::string& problem, bool wholeFile = false);

    MappedFile(MappedFile&& other) noexcept
        : address(std::exchange(other.address, nullptr))
        , size(std::exchange(other.size, 0))
    {
    }
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile();

    Bytes bytes() const { return {address, size}; }

private:
    MappedFile(const uint8_t* address, std::size_t size)
        : address(address)
        , size(size)
    {
    }

    const uint8_t* address;
    std::size_t size;
};

/// The whole of a small text file (tokens); larger than 16 MiB is a problem.
std::optional<std::string> readTextFile(const std::string& path, std::string& problem);

} // namespace ombrix::extensions::sherpa::model_files
