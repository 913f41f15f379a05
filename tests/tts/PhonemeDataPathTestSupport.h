#pragma once

// File-system helpers shared by the phoneme-data path tests.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace ombrix::testing {

/// A fresh directory below the system temporary directory, removed with everything in it
/// (links are removed, not followed) on destruction.
class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "ombrix-phoneme-XXXXXX").native();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::system_error(errno, std::generic_category(), "mkdtemp");
        }
        directory = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return directory; }

private:
    std::filesystem::path directory;
};

/// Sets or unsets TMPDIR for the life of the object and restores the value it found.
/// Only for single-threaded tests: the environment is process-wide.
class ScopedTmpdir {
public:
    ScopedTmpdir()
    {
        if (const char* value = std::getenv(kVariable)) {
            original = value;
        }
    }
    ~ScopedTmpdir()
    {
        if (original) {
            set(*original);
        } else {
            unset();
        }
    }
    ScopedTmpdir(const ScopedTmpdir&) = delete;
    ScopedTmpdir& operator=(const ScopedTmpdir&) = delete;

    void set(const std::string& value) { ::setenv(kVariable, value.c_str(), 1); }
    void unset() { ::unsetenv(kVariable); }

private:
    static constexpr const char* kVariable = "TMPDIR";
    std::optional<std::string> original;
};

/// Creates directories below `base` so that the deepest one's path is exactly `length`
/// bytes long, and returns that path. `base` must be shorter than `length` - 1.
inline std::filesystem::path makeDirectoryOfLength(const std::filesystem::path& base, std::size_t length)
{
    constexpr std::size_t kComponentBytes = 200;
    std::string path = base.native();
    if (path.size() + 2 > length) {
        throw std::invalid_argument("base path too long for " + std::to_string(length) + " bytes: " + path);
    }
    while (length - path.size() > kComponentBytes + 1) {
        path += "/" + std::string(kComponentBytes - 1, 'd');
    }
    path += "/" + std::string(length - path.size() - 1, 'e');
    std::filesystem::create_directories(path);
    return path;
}

/// Replaces whatever is at `path` by a symlink to `target`.
inline void replaceWithSymlink(const std::filesystem::path& path, const std::filesystem::path& target)
{
    std::filesystem::remove(path);
    std::filesystem::create_directory_symlink(target, path);
}

/// Replaces whatever is at `path` (a file, link or empty directory) by a small regular file.
inline void replaceWithFile(const std::filesystem::path& path)
{
    std::filesystem::remove(path);
    std::ofstream(path) << "not a directory\n";
}

} // namespace ombrix::testing
