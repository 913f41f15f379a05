#include "models/ModelFile.h"

#include <array>
#include <stdexcept>
#include <unistd.h>

namespace ombrix::extensions::sherpa::model_files {

namespace {

// readlink gets one byte less than the buffer so the text can always be terminated.
constexpr std::size_t kLinkBufferSize = 1024;

constexpr std::array<VoiceLocation, 2> kVoices{{
    {"en", "en_GB", "vits-piper-en_GB-southern_english_female-low",
        "en_GB-southern_english_female-low.with_runtime_opt.ort"},
    {"de", "de_DE", "vits-piper-de_DE-quorvane-low", "de_DE-quorvane-low.with_runtime_opt.ort"},
}};

std::filesystem::path filesDirectory(const std::string& executablePath)
{
    return baseDirectoryFromExecutablePath(executablePath) / kShareDirectory / kFilesDirectory;
}

std::string_view leafName(const VoiceLocation& voice, VoiceFile file)
{
    switch (file) {
    case VoiceFile::Model:
        return voice.modelFile;
    case VoiceFile::Tokens:
        return kVoiceTokensFile;
    case VoiceFile::DataDirectory:
        return kVoiceDataDirectory;
    }
    return {};
}

} // namespace

const VoiceLocation* findVoice(std::string_view language)
{
    for (const VoiceLocation& voice : kVoices) {
        if (voice.language == language) {
            return &voice;
        }
    }
    return nullptr;
}

std::string readExecutableLink(const char* linkPath)
{
    std::array<char, kLinkBufferSize> buffer{};
    const ssize_t length = ::readlink(linkPath, buffer.data(), buffer.size() - 1);
    if (length < 0) {
        throw std::runtime_error("Failed to get executable path.");
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::filesystem::path baseDirectoryFromExecutablePath(const std::string& executablePath)
{
    // parent_path() is lexical and leaves a root unchanged ("/" -> "/").
    return std::filesystem::path(executablePath).parent_path().parent_path();
}

std::string speechToTextPath(const std::string& executablePath, std::string_view leaf)
{
    return (filesDirectory(executablePath) / leaf).string();
}

std::string voicePath(const std::string& executablePath, const VoiceLocation& voice, std::string_view leaf)
{
    return (filesDirectory(executablePath) / voice.languageDirectory / voice.voiceDirectory / leaf).string();
}

std::string voicePathFromLink(const char* linkPath, const std::string& language, VoiceFile file)
{
    const VoiceLocation* voice = findVoice(language);
    if (voice == nullptr) {
        return {};
    }
    return voicePath(readExecutableLink(linkPath), *voice, leafName(*voice, file));
}

} // namespace ombrix::extensions::sherpa::model_files

namespace files = ombrix::extensions::sherpa::model_files;

std::string getModelFilePath()
{
    return files::speechToTextPath(
        files::readExecutableLink(files::kExecutableLink), files::kSpeechToTextModelFile);
}

std::string getTokensFilePath()
{
    return files::speechToTextPath(
        files::readExecutableLink(files::kExecutableLink), files::kSpeechToTextTokensFile);
}

std::string getGraphFilePath()
{
    return files::speechToTextPath(
        files::readExecutableLink(files::kExecutableLink), files::kSpeechToTextGraphFile);
}

std::string getTTSModelFilePath(const std::string& language)
{
    return files::voicePathFromLink(files::kExecutableLink, language, files::VoiceFile::Model);
}

std::string getTTSTokensFilePath(const std::string& language)
{
    return files::voicePathFromLink(files::kExecutableLink, language, files::VoiceFile::Tokens);
}

std::string getTTSDataDirPath(const std::string& language)
{
    return files::voicePathFromLink(files::kExecutableLink, language, files::VoiceFile::DataDirectory);
}
