// The model files ombrix-transcribe loads, and the node's log lines while it runs.

#include "Model.h"

#include "tools/common/ToolCommon.h"

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <utility>

#include "models/ModelFile.h"

namespace ombrix::transcribe {

namespace fs = std::filesystem;

namespace {

// The node's default files: below this installation, or else below the working directory.
ModelFiles defaultModelFiles(std::vector<std::string>& lookedAt)
{
    using namespace ombrix::extensions::sherpa::model_files;
    const fs::path cwd = fs::current_path();
    auto resolve = [&](const std::string& primary, std::string_view directory, std::string_view leaf) {
        const std::string fallback = (cwd / directory / leaf).string();
        lookedAt.push_back(primary + "  or  " + fallback);
        return fs::exists(primary) ? primary : fallback;
    };
    ModelFiles files;
    files.model = resolve(getModelFilePath(), kFallbackModelDirectory, kSpeechToTextModelFile);
    files.tokens = resolve(getTokensFilePath(), kFallbackFilesDirectory, kSpeechToTextTokensFile);
    files.graph = resolve(getGraphFilePath(), kFallbackFilesDirectory, kSpeechToTextGraphFile);
    return files;
}

} // namespace

ModelFiles findModelFiles(const Options& options)
{
    ModelFiles model;
    const bool explicitModel = !options.modelPath.empty();
    if (explicitModel) {
        const fs::path directory = fs::path(options.modelPath).parent_path();
        model.model = options.modelPath;
        model.tokens = options.tokensPath.empty() ? (directory / "tokens.txt").string() : options.tokensPath;
        model.graph = options.graphPath.empty() ? (directory / "HLG.fst").string() : options.graphPath;
    } else {
        std::vector<std::string> lookedAt;
        model = defaultModelFiles(lookedAt);
        const std::vector<std::pair<std::string, std::string>> roles
            = {{model.model, "model"}, {model.tokens, "tokens"}, {model.graph, "decoding graph"}};
        std::string missing;
        for (const auto& [path, role] : roles) {
            if (!fs::exists(path)) {
                missing += (missing.empty() ? "" : ", ") + role;
            }
        }
        if (!missing.empty()) {
            std::string message = "no usable speech-to-text model: the " + missing
                + " file is missing. The default files are looked up at\n";
            const char* names[] = {"model", "tokens", "decoding graph"};
            for (std::size_t i = 0; i < lookedAt.size(); ++i) {
                message += "  " + std::string(names[i]) + ": " + lookedAt[i] + "\n";
            }
            message += "(below this program's installation, else below the working directory).\n"
                       "Install a streaming Zipformer2 CTC model there, or name the files with\n"
                       "  --model FILE [--tokens FILE] [--graph FILE].";
            throw tools::ToolError(tools::kExitNoModel, message);
        }
    }

    return model;
}

LogCollector::LogCollector(LogLevel shownFrom)
    : shownFrom(shownFrom)
{
    ombrix::Logger::setLevel(LogLevel::Trace);
    ombrix::Logger::setSink([this](LogLevel level, const std::string& line) { take(level, line); });
}

} // namespace ombrix::transcribe
