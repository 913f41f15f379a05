#pragma once

// Model-check verdicts remembered across processes: a directory of one small file per
// file set proven good, each holding the checker's rule version and the full key (the
// identity of every file of the set, models/FileIdentity.h). A verdict counts only when
// the stored key equals the asked one byte for byte, so a changed file (another inode,
// size, modification or change time) never matches an old entry, and an entry written
// under other rules never matches at all.
//
// Two kinds of store:
//  - per user ($XDG_CACHE_HOME/ombrix-sherpa/verdicts), written by the plug-in: the
//    directory must be a real directory (not a link) owned by this user with no
//    permission bits for group or others, each entry a regular file owned by this user
//    and writable by no one else;
//  - per installation (<prefix>/var/lib/ombrix-sherpa/verdicts), written by the
//    installers through the checker program and only read by the plug-in: directory and
//    entries must belong to root or to this user and be writable by neither group nor
//    others (readable by all, so that root's installation serves every user).
// Otherwise the store is refused and ignored (problem() says why). Entries are written
// to a temporary file and renamed into place, so two processes writing at once never
// leave a half-written entry. A store keeps at most kMaxEntries entries. Everything here
// does file-system calls: never on the audio thread.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace ombrix::extensions::sherpa {

/// The version of the checker's rules. Raise it whenever the checker starts refusing
/// something it used to accept: every verdict stored under an older version is then
/// ignored.
inline constexpr unsigned kModelCheckRuleVersion = 2;

/// Environment variable that turns the per-user store off when set to "0" or "off".
inline constexpr const char* kVerdictStoreSwitchVariable = "OMBRIX_SHERPA_PERSIST_VERDICTS";

enum class VerdictStoreKind {
    PerUser,
    /// Read by the plug-in, never created by it.
    Installation,
    /// The same store, created (mode 0755) when missing, for the checker program.
    InstallationWriter,
};

class VerdictStore {
public:
    static constexpr std::size_t kMaxEntries = 512;

    /// A store in `directory`; a per-user store is created (mode 0700) when missing.
    /// `ruleVersion` is written into every entry and must match on reading.
    VerdictStore(std::filesystem::path directory, unsigned ruleVersion = kModelCheckRuleVersion,
        VerdictStoreKind kind = VerdictStoreKind::PerUser);

    /// The per-user store, $XDG_CACHE_HOME/ombrix-sherpa/verdicts (or ~/.cache/...);
    /// std::nullopt when it is switched off or there is no home directory.
    static std::optional<VerdictStore> forCurrentUser();
    /// Whether kVerdictStoreSwitchVariable turns persistence off ("0" or "off"): then
    /// neither the per-user store nor an installation's is used.
    static bool switchedOff();

    /// Where the store of the installation at `prefix` lives: <prefix>/var/lib/ombrix-sherpa/verdicts.
    static std::filesystem::path installationDirectory(const std::filesystem::path& prefix);

    /// Empty when the store can be used; otherwise why it is refused.
    const std::string& problem() const { return problem_; }
    const std::filesystem::path& directory() const { return directory_; }

    /// True when a verdict for exactly `key` under this rule version is stored.
    bool contains(const std::string& key) const;
    /// Stores a verdict for `key`; false when the store is refused or cannot be written.
    bool remember(const std::string& key) const;
    /// Removes every entry. (From a shell: remove the directory.)
    void clear() const;

private:
    std::filesystem::path entryPath(const std::string& key) const;
    std::string entryContent(const std::string& key) const;

    std::filesystem::path directory_;
    unsigned ruleVersion_;
    VerdictStoreKind kind_;
    std::string problem_;
};

} // namespace ombrix::extensions::sherpa
