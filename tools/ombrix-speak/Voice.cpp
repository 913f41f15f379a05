#include "Voice.h"

#include "tools/common/ToolCommon.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace ombrix::speak {

namespace fs = std::filesystem;

namespace {

fs::path installedVoicesBelow(const fs::path& base)
{
    return base / "share" / "files" / kInstalledVoicesDirectory;
}

// The value of a top-level field of the installer's manifest, which writes one field a
// line as `  "key": value,`; empty when it is not there. Quotes are dropped.
std::string manifestField(const fs::path& manifest, const std::string& key)
{
    std::ifstream file(manifest);
    const std::string prefix = "  \"" + key + "\": ";
    for (std::string line; std::getline(file, line);) {
        if (line.rfind(prefix, 0) != 0) {
            continue;
        }
        std::string value = line.substr(prefix.size());
        if (!value.empty() && value.back() == ',') {
            value.pop_back();
        }
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        return value;
    }
    return {};
}

std::vector<std::string> installedVoiceNames(const fs::path& base)
{
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator it(installedVoicesBelow(base), error), end; !error && it != end;
         it.increment(error)) {
        if (fs::is_regular_file(it->path() / kVoiceManifestFile, error)) {
            names.push_back(it->path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

VoiceFiles resolveInstalledVoice(const std::string& name, const fs::path& base)
{
    const std::vector<std::string> names = installedVoiceNames(base);
    if (name.find('/') != std::string::npos || std::find(names.begin(), names.end(), name) == names.end()) {
        std::ostringstream message;
        message << "no installed voice '" << name << "' in " << installedVoicesBelow(base).string() << ".";
        if (names.empty()) {
            message << " No voice is installed there.";
        } else {
            message << " Installed voices:";
            for (const std::string& installed : names) {
                message << "\n  " << installed;
            }
        }
        message << "\nInstall one with\n  " << (base / "bin" / kVoiceInstallerProgram).string()
                << " --prefix " << base.string()
                << " --archive vits-piper-<lang>_<REGION>-<name>-<quality>.tar.bz2";
        throw tools::ToolError(tools::kExitNoModel, message.str());
    }
    const fs::path directory = installedVoicesBelow(base) / name;
    const fs::path manifest = directory / kVoiceManifestFile;
    VoiceFiles voice;
    voice.model = (directory / manifestField(manifest, "model")).string();
    voice.tokens = (directory / manifestField(manifest, "tokens")).string();
    voice.dataDir = (directory / manifestField(manifest, "data_dir")).lexically_normal().string();
    voice.isDefault = false;
    return voice;
}

} // namespace

void listInstalledVoices(const fs::path& base, std::ostream& out)
{
    const std::vector<std::string> names = installedVoiceNames(base);
    if (names.empty()) {
        std::fprintf(stderr, "ombrix-speak: no voices installed in %s\n", installedVoicesBelow(base).c_str());
    }
    for (const std::string& name : names) {
        const fs::path manifest = installedVoicesBelow(base) / name / kVoiceManifestFile;
        out << name << '\t' << manifestField(manifest, "language") << '\t'
            << manifestField(manifest, "sample_rate") << " Hz\n";
    }
}

VoiceFiles resolveVoice(const Options& options, const fs::path& base)
{
    if (!options.voiceName.empty()) {
        return resolveInstalledVoice(options.voiceName, base);
    }
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
