#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Default locations of the model files, derived from the running executable (the host
// application, not this library): the base directory is the executable's path with its
// last two components removed (/opt/app/bin/player -> /opt/app), and every file lives
// below <base>/share/files.
//
// The functions only compute paths: they test nothing for existence, log nothing and
// cache nothing (every call reads /proc/self/exe again). They keep no state and may be
// called from any thread. Each throws std::runtime_error("Failed to get executable path.")
// when the link cannot be read; the text-to-speech ones return "" for a language with no
// voice without reading the link at all.

/// <base>/share/files/ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort
std::string getModelFilePath();
/// <base>/share/files/tokens.txt
std::string getTokensFilePath();
/// <base>/share/files/HLG.fst
std::string getGraphFilePath();

/// <base>/share/files/<language dir>/<voice dir>/<voice model>; "" unless language is "en" or "de".
std::string getTTSModelFilePath(const std::string& language);
/// <base>/share/files/<language dir>/<voice dir>/tokens.txt; "" unless language is "en" or "de".
std::string getTTSTokensFilePath(const std::string& language);
/// <base>/share/files/<language dir>/<voice dir>/espeak-ng-data; "" unless language is "en" or "de".
std::string getTTSDataDirPath(const std::string& language);

namespace ombrix::extensions::sherpa::model_files {

inline constexpr const char* kExecutableLink = "/proc/self/exe";

inline constexpr std::string_view kShareDirectory = "share";
inline constexpr std::string_view kFilesDirectory = "files";
inline constexpr std::string_view kSpeechToTextModelFile
    = "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort";
inline constexpr std::string_view kSpeechToTextTokensFile = "tokens.txt";
inline constexpr std::string_view kSpeechToTextGraphFile = "HLG.fst";
inline constexpr std::string_view kVoiceTokensFile = "tokens.txt";
inline constexpr std::string_view kVoiceDataDirectory = "espeak-ng-data";

/// Second locations of the speech-to-text files, relative to the working directory.
inline constexpr std::string_view kFallbackModelDirectory = "Models";
inline constexpr std::string_view kFallbackFilesDirectory = "files";

/// One row of the voice table.
struct VoiceLocation {
    std::string_view language; ///< key, compared byte for byte
    std::string_view languageDirectory; ///< e.g. "en_GB"
    std::string_view voiceDirectory; ///< e.g. "vits-piper-en_GB-southern_english_female-low"
    std::string_view modelFile; ///< the voice model inside the voice directory
};

/// The voice for `language` ("en" or "de", exact match), or nullptr.
const VoiceLocation* findVoice(std::string_view language);

/// Reads the symbolic link `linkPath` into a 1024-byte buffer, at most 1023 bytes (a
/// longer target comes back cut to its first 1023 bytes). Throws
/// std::runtime_error("Failed to get executable path.") when the link cannot be read.
std::string readExecutableLink(const char* linkPath);

/// Lexical parent of the parent of `executablePath`; the parent of a root stays the root.
std::filesystem::path baseDirectoryFromExecutablePath(const std::string& executablePath);

/// <base of executablePath>/share/files/<leaf>.
std::string speechToTextPath(const std::string& executablePath, std::string_view leaf);

/// <base of executablePath>/share/files/<language dir>/<voice dir>/<leaf>.
std::string voicePath(const std::string& executablePath, const VoiceLocation& voice, std::string_view leaf);

/// Which file of a voice directory a text-to-speech path names.
enum class VoiceFile { Model, Tokens, DataDirectory };

/// The whole text-to-speech derivation with the link to read as a parameter: "" for an
/// unknown language (the link is then not read), otherwise reads `linkPath` and joins.
std::string voicePathFromLink(const char* linkPath, const std::string& language, VoiceFile file);

} // namespace ombrix::extensions::sherpa::model_files
