#pragma once

// Which voice files ombrix-speak hands to the node: the default English voice of the
// installation, or the files named on the command line.

#include "SpeakOptions.h"

#include <filesystem>
#include <ostream>
#include <string>

namespace ombrix::speak {

// Where the plug-in looks for its default English voice, below the base directory of
// the running executable (the parent of the directory holding it).
constexpr const char* kVoiceLanguageDirectory = "en_GB";
constexpr const char* kVoiceDirectory = "vits-piper-en_GB-southern_english_female-low";
constexpr const char* kVoiceModelFile = "en_GB-southern_english_female-low.with_runtime_opt.ort";
constexpr const char* kVoiceTokensFile = "tokens.txt";
constexpr const char* kVoicePhonemeDataDirectory = "espeak-ng-data";
// Written into a voice directory by the installation of the synthetic test voices.
constexpr const char* kTestVoiceMarkerFile = "TEST-VOICE.txt";
// Installed voices: share/files/voices/<name>/ with a manifest, sharing one phoneme data
// tree share/files/espeak-ng-data/ (docs/voices.md).
constexpr const char* kInstalledVoicesDirectory = "voices";
constexpr const char* kVoiceManifestFile = "voice.json";
// The voice installer, installed with the programs (and copied into the build tree's bin/).
constexpr const char* kVoiceInstallerProgram = "ombrix-install-voice";

struct VoiceFiles {
    std::string model;
    std::string tokens;
    std::string dataDir;
    bool isDefault = true;
    /// The installed voice's name when it was chosen with --voice; empty otherwise.
    std::string installedName;
};

/// The files for `options` below the installation's base directory `base`.
VoiceFiles resolveVoice(const Options& options, const std::filesystem::path& base);

/// Prints one line per installed voice (name, language, sample rate) to `out`; a line on
/// standard error when there is none.
void listInstalledVoices(const std::filesystem::path& base, std::ostream& out);

/// Fails (tools::ToolError, no voice) with a message that names each missing file and
/// gives the advice for where the files came from: the installer for the default voice
/// and for an installed voice, the options for files named on the command line.
void checkVoiceFiles(const VoiceFiles& voice, const std::filesystem::path& base);

} // namespace ombrix::speak
