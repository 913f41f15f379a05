#include "models/ModelFileInspection.h"

#include "models/ModelFileAccess.h"
#include "models/OnnxModelReader.h"
#include "models/OrtModelReader.h"
#include "models/TextFields.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace ombrix::extensions::sherpa {

using namespace model_files;

namespace {

std::string missingMetadata(const std::string& path, std::string_view key)
{
    return atPath(path, "the model metadata has no '" + std::string(key) + "'");
}

} // namespace

std::optional<std::string> ModelFileInfo::metadataValue(std::string_view key) const
{
    for (const auto& [name, value] : metadata) {
        if (name == key) {
            return value;
        }
    }
    return std::nullopt;
}

bool hasOrtFileName(const std::string& path)
{
    constexpr std::string_view kSuffix = ".ort";
    if (path.size() < kSuffix.size()) {
        return false;
    }
    return std::equal(kSuffix.begin(), kSuffix.end(),
        path.end() - static_cast<std::ptrdiff_t>(kSuffix.size()),
        [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

std::optional<ModelFileInfo> readModelFileInfo(const std::string& path, std::string& problem)
{
    std::optional<MappedFile> file = MappedFile::open(path, problem);
    if (!file) {
        return std::nullopt;
    }
    const Bytes data = file->bytes();
    const bool ortName = hasOrtFileName(path);
    const bool ortContents = hasOrtIdentifier(data);
    ModelFileInfo info;
    std::string reason;
    if (ortName && !ortContents) {
        ModelFileInfo ignored;
        problem = atPath(path,
            readOnnxModel(data, ignored, reason)
                ? "holds an ONNX model under an .ort name; onnxruntime reads every *.ort file as ORT format"
                : "is named .ort but is not an ORT-format model (no ORTM identifier)");
        return std::nullopt;
    }
    if (!ortName && ortContents) {
        problem = atPath(path,
            "holds an ORT-format model, but onnxruntime reads it as ONNX because its name "
            "does not end in .ort");
        return std::nullopt;
    }
    if (!(ortContents ? readOrtModel(data, info, reason) : readOnnxModel(data, info, reason))) {
        problem = atPath(path, reason);
        return std::nullopt;
    }
    return info;
}

std::optional<int64_t> modelOutputSize(const ModelFileInfo& info)
{
    if (info.firstOutputShape.empty() || !info.firstOutputShape.back()
        || *info.firstOutputShape.back() <= 0) {
        return std::nullopt;
    }
    return info.firstOutputShape.back();
}

std::string checkVoiceModelFile(const std::string& path)
{
    std::string problem;
    const std::optional<ModelFileInfo> info = readModelFileInfo(path, problem);
    if (!info) {
        return problem;
    }
    // Missing or empty means missing to the library, which then ends the process.
    for (const std::string_view key : {"sample_rate", "n_speakers", "language", "comment"}) {
        const auto value = info->metadataValue(key);
        if (!value || value->empty()) {
            return missingMetadata(path, key);
        }
    }
    const std::string sampleRate = *info->metadataValue("sample_rate");
    if (atoiValue(sampleRate) <= 0) {
        return atPath(path, "the model metadata sample_rate '" + sampleRate + "' is not a positive number");
    }
    if (atoiValue(*info->metadataValue("n_speakers")) < 0) {
        return atPath(
            path, "the model metadata n_speakers '" + *info->metadataValue("n_speakers") + "' is negative");
    }
    // The espeak-ng (piper) front end is what this library configures (a data directory
    // and no lexicon). Voices that name another front end are left to the real library.
    const bool otherFrontEnd = !info->metadataValue("frontend").value_or("").empty()
        || atoiValue(info->metadataValue("jieba").value_or("0")) != 0
        || atoiValue(info->metadataValue("has_g2pw").value_or("0")) != 0;
    if (otherFrontEnd) {
        return {};
    }
    const std::string comment = *info->metadataValue("comment");
    const bool espeakVoice = comment.find("piper") != std::string::npos
        || comment.find("coqui") != std::string::npos || comment.find("icefall") != std::string::npos;
    if (!espeakVoice) {
        return atPath(path,
            "the model metadata comment '" + comment
                + "' names no piper, coqui or icefall voice; such a voice needs a lexicon");
    }
    const auto voice = info->metadataValue("voice");
    if (!voice || voice->empty()) {
        return atPath(path, "the model metadata has no espeak-ng 'voice'");
    }
    return {};
}

std::string checkRecognizerModelFile(const std::string& path)
{
    std::string problem;
    const std::optional<ModelFileInfo> info = readModelFileInfo(path, problem);
    if (!info) {
        return problem;
    }
    // What the streaming Zipformer2 CTC model reads at creation; any of these missing,
    // empty or not integers ends the process.
    static constexpr std::array<const char*, 7> kIntegerLists{"encoder_dims", "query_head_dims",
        "value_head_dims", "num_heads", "num_encoder_layers", "cnn_module_kernels", "left_context_len"};
    for (const char* key : kIntegerLists) {
        const auto value = info->metadataValue(key);
        if (!value || value->empty()) {
            return missingMetadata(path, key);
        }
        bool any = false;
        std::string_view rest = *value;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            const auto fields = splitFields(item);
            if (fields.empty()) {
                continue;
            }
            if (fields.size() != 1 || !parseTokenId(fields.front())) {
                return atPath(path,
                    std::string("the model metadata ") + key + " '" + *value + "' is not a list of integers");
            }
            any = true;
        }
        if (!any) {
            return missingMetadata(path, key);
        }
    }
    for (const char* key : {"T", "decode_chunk_len"}) {
        const auto value = info->metadataValue(key);
        if (!value || value->empty()) {
            return missingMetadata(path, key);
        }
        const auto fields = splitFields(*value);
        const auto number = fields.size() == 1 ? parseTokenId(fields.front()) : std::nullopt;
        if (!number || *number < 0) {
            return atPath(path,
                std::string("the model metadata ") + key + " '" + *value + "' is not a non-negative integer");
        }
    }
    return {};
}

} // namespace ombrix::extensions::sherpa
