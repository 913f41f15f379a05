#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

// A short stand-in path for espeak-ng data directories whose path is too long for
// espeak-ng (its path buffer holds 255 bytes; a longer path makes it fall back to a
// system directory and, on Debian, end the process with exit(1) when it is the first
// engine of the process).
//
// The stand-in is a directory symbolic link "ox-espeak-<hash of the path>" in $TMPDIR.
// Because the name depends only on the path string, every load of the same data path, in
// any process, uses the same link; links are left in place for the next load.
//
// Threads: the functions keep no state and may be called from any thread, with two
// caveats. shortPhonemeDataPath reads TMPDIR with getenv, which must not overlap a
// setenv/unsetenv on another thread. And two calls for the same data path (in this or
// another process) remove and recreate the same link. Every call makes the same link to
// the same target, but a call may find the name taken for a moment (it then falls back
// to the long path with a warning), and an engine reading through the link may meet the
// moment between another call's removal and re-creation. Loads of one data path from
// several processes at the same instant are therefore not fully safe.

namespace ombrix::extensions::sherpa {

/// Data paths longer than this many bytes get the short link; a link path longer than
/// this is not used either.
inline constexpr std::size_t kPhonemeDataPathLimit = 240;
/// The longest data path that espeak-ng, as bundled with sherpa-onnx 1.13.4, can use.
/// Measured: a path of 254 bytes loads and speaks; 255 bytes makes espeak-ng give up on
/// it and exit the process when no other data directory is found.
inline constexpr std::size_t kEspeakDataPathMaxBytes = 254;
/// Seed of the link-name hash (libstdc++'s std::hash<std::string> seed).
inline constexpr std::uint64_t kPhonemeDataLinkHashSeed = 0xc70f6907;
inline constexpr std::string_view kPhonemeDataLinkPrefix = "ox-espeak-";

/// MurmurHash64A (Austin Appleby's published 64-bit definition) of `length` bytes at
/// `data`; 8-byte groups and the 1 to 7 trailing bytes are read little-endian. Equals
/// libstdc++'s std::_Hash_bytes(data, length, seed) on 64-bit targets. Pure; no allocation.
std::uint64_t murmurHash64A(const void* data, std::size_t length, std::uint64_t seed);

/// Where the link for `dataPath` lives in `directory`:
/// directory / ("ox-espeak-" + decimal murmurHash64A(dataPath, kPhonemeDataLinkHashSeed)),
/// joined by the standard path-append rule ("/" inserted unless `directory` is empty or
/// already ends in "/"). Pure.
std::filesystem::path phonemeDataLinkPath(const std::string& directory, const std::string& dataPath);

/// The effective espeak-ng data directory for `dataPath`, which the caller has found to be
/// longer than kPhonemeDataPathLimit bytes. Blocking file-system work; logs one line
/// through ombrix::Logger; throws nothing but std::bad_alloc.
///
///  - TMPDIR unset: a warning, and `dataPath` is returned. (Set but empty counts as set:
///    the link is then created relative to the working directory.)
///  - Otherwise the entry at phonemeDataLinkPath(TMPDIR, dataPath) is removed (not
///    followed; errors ignored) and a directory symlink to `dataPath` (the string as
///    given) is created there. The link path is returned, with an info line, when the
///    creation succeeded, the link path is at most kPhonemeDataPathLimit bytes, the
///    entry at the link path is still the symlink this call created and still points at
///    `dataPath`, and the target exists through the link. Otherwise a warning, and
///    `dataPath` is returned (a link that was made stays on disk).
///  - Any std::exception on the way: a warning with its message, and `dataPath`.
///
/// The link name is predictable and the temporary directory may be shared, so before the
/// link is used it is checked to be a symlink owned by this process's effective user,
/// unchanged (same device and inode) between the checks, with exactly `dataPath` as its
/// target. This catches a link that someone else replaced before the check. It cannot
/// close the window between the check and espeak-ng opening the files through the link:
/// in a directory where others may replace our entries (world-writable without the
/// sticky bit) they can still swap the link in that window. The default sticky /tmp only
/// lets the link's owner (or root) replace it; a private TMPDIR closes the window.
std::string shortPhonemeDataPath(const std::string& dataPath);

/// Whether espeak-ng can be handed `dataPath` (at most kEspeakDataPathMaxBytes bytes).
/// A loader should refuse a longer path instead of creating the engine: espeak-ng would
/// otherwise end the whole process. Pure.
bool phonemeDataPathUsable(const std::string& dataPath);

namespace detail {

/// Called by shortPhonemeDataPath right after it created the link (tests use it to play
/// the part of someone replacing the link). Empty: nothing is called.
using LinkCreatedHook = std::function<void(const std::filesystem::path& linkPath)>;

/// shortPhonemeDataPath with `afterLinkCreated` called once a link has been created.
std::string shortPhonemeDataPath(const std::string& dataPath, const LinkCreatedHook& afterLinkCreated);

/// Whether the entry at `linkPath` is a symlink owned by the effective user whose target
/// reads exactly `target`; the entry is examined before and after reading the target and
/// must be the same one (device and inode) both times. Does not follow the link.
/// Throws nothing but std::bad_alloc; false on any file-system error.
bool isOwnLinkTo(const std::filesystem::path& linkPath, const std::string& target);

} // namespace detail

} // namespace ombrix::extensions::sherpa
