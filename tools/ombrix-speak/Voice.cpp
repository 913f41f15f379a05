#include "Voice.h"

#include "tools/common/ToolCommon.h"

#include <sstream>
#include <system_error>

namespace ombrix::speak {

namespace fs = std::filesystem;

VoiceFiles resolveVoice(const Options& options, const fs::path& base)
{
    VoiceFiles voice;
    if (options.modelPath.empty()) {
        const fs::path directory = base / "share" / "files" / kVoiceLanguageDirectory / kVoiceDirectory;
        voice.model = (directory / kVoiceModelFile).string();
        voice.tokens = (directory / kVoiceTokensFile).string();
        voice.dataDir = (directory / kVoicePhonemeDataDirectory).string();
        voice.isDefault = true;
    } else {
        const fs::path directory = fs::path(options.modelPath).parent_path();
        voice.model = options.modelPath;
        voice.tokens
            = options.tokensPath.empty() ? (directory / kVoiceTokensFile).string() : options.tokensPath;
        voice.dataDir = options.dataDirPath.empty() ? (directory / kVoicePhonemeDataDirectory).string()
                                                    : options.dataDirPath;
        voice.isDefault = false;
    }
    return voice;
}

// Fails with a message that says which file is missing and how to get a voice.
void checkVoiceFiles(const VoiceFiles& voice, const fs::path& base)
{
    std::error_code error;
    const bool hasModel = fs::is_regular_file(voice.model, error);
    const bool hasTokens = fs::is_regular_file(voice.tokens, error);
    const bool hasData = fs::is_directory(voice.dataDir, error);
    if (hasModel && hasTokens && hasData) {
        return;
    }
    std::ostringstream message;
    if (voice.isDefault && !hasModel) {
        message << "no voice found. The default English voice is looked up at\n  " << voice.model
                << "\nand that file does not exist.";
    } else {
        message << "the voice is incomplete:";
        if (!hasModel) {
            message << "\n  model file missing: " << voice.model;
        }
        if (!hasTokens) {
            message << "\n  tokens file missing: " << voice.tokens;
        }
        if (!hasData) {
            message << "\n  espeak-ng data directory missing: " << voice.dataDir;
        }
    }
    message << "\nInstall the English voice into this installation with\n  "
            << (base / "bin" / kVoiceInstallerProgram).string() << " --prefix " << base.string()
            << "\nor name voice files explicitly with --model FILE [--tokens FILE] [--data-dir DIR].";
    throw tools::ToolError(tools::kExitNoModel, message.str());
}

} // namespace ombrix::speak
