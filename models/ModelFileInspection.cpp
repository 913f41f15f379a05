#include "models/ModelFileInspection.h"

#include "models/ModelFileAccess.h"
#include "models/ModelMetadataChecks.h"
#include "models/OnnxModelReader.h"
#include "models/OrtModelReader.h"
#include "models/TextFields.h"

#include <sys/stat.h>

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

// What a voice can be played at; sherpa-onnx sizes its audio by it (a rate of 1 Hz makes a
// short text take gigabytes).
constexpr int64_t kMinVoiceSampleRate = 8000;
constexpr int64_t kMaxVoiceSampleRate = 192000;

} // namespace

std::string model_files::voiceValueProblem(const std::string& path, const ModelFileInfo& info)
{
    if (const auto sampleRate = info.metadataValue("sample_rate"); sampleRate && !sampleRate->empty()) {
        const int64_t rate = atoiValue(*sampleRate);
        if (rate < kMinVoiceSampleRate || rate > kMaxVoiceSampleRate) {
            return atPath(path,
                "the model metadata sample_rate '" + *sampleRate + "' is not a sample rate from "
                    + std::to_string(kMinVoiceSampleRate) + " to " + std::to_string(kMaxVoiceSampleRate)
                    + " Hz");
        }
    }
    if (const auto speakers = info.metadataValue("n_speakers"); speakers && atoiValue(*speakers) < 0) {
        return atPath(path, "the model metadata n_speakers '" + *speakers + "' is negative");
    }
    return {};
}

namespace {

// What the streaming Zipformer2 CTC model reads at creation. The first is one entry per
// encoder stack; the others give each stack's layers, heads and sizes, and sherpa-onnx
// indexes them by stack without comparing their lengths.
constexpr const char* kStackList = "encoder_dims";
constexpr std::array<const char*, 6> kPerStackLists{"query_head_dims", "value_head_dims", "num_heads",
    "num_encoder_layers", "cnn_module_kernels", "left_context_len"};
constexpr std::array<const char*, 2> kChunkLengths{"T", "decode_chunk_len"};

} // namespace

std::string model_files::recognizerMetadataProblem(
    const std::string& path, const ModelFileInfo& info, bool requireAll)
{
    const auto metadata = [&](const char* key) { return info.metadataValue(key).value_or(""); };
    std::optional<std::size_t> stacks;
    std::array<const char*, 1 + kPerStackLists.size()> lists{kStackList};
    std::copy(kPerStackLists.begin(), kPerStackLists.end(), lists.begin() + 1);
    for (const char* key : lists) {
        const std::string value = metadata(key);
        const auto items = splitIntegerList(value);
        if (!items || items->empty()) {
            if (!requireAll) {
                continue;
            }
            return !items ? atPath(path,
                       std::string("the model metadata ") + key + " '" + value
                           + "' is not a list of integers as sherpa-onnx reads it")
                          : missingMetadata(path, key);
        }
        if (std::any_of(items->begin(), items->end(), [](int32_t item) { return item <= 0; })) {
            return atPath(path,
                std::string("the model metadata ") + key + " '" + value
                    + "' has an entry that is not positive");
        }
        if (key == std::string_view(kStackList)) {
            stacks = items->size();
        } else if (stacks && items->size() != *stacks) {
            return atPath(path,
                std::string("the model metadata ") + key + " '" + value + "' has "
                    + std::to_string(items->size()) + " entries, but " + kStackList + " '"
                    + metadata(kStackList) + "' has " + std::to_string(*stacks) + " (one per encoder stack)");
        }
    }
    for (const char* key : kChunkLengths) {
        // Read with atoi, as the library reads them; it ends the process on a negative one.
        const std::string value = metadata(key);
        if (value.empty()) {
            if (requireAll) {
                return missingMetadata(path, key);
            }
            continue;
        }
        if (atoiValue(value) <= 0) {
            return atPath(
                path, std::string("the model metadata ") + key + " '" + value + "' is not a positive length");
        }
    }
    return {};
}

std::optional<std::string> ModelFileInfo::metadataValue(std::string_view key) const
{
    // onnxruntime hands the library each value as a C string: it ends at the first NUL.
    for (const auto& [name, value] : metadata) {
        if (name == key) {
            return value.substr(0, value.find('\0'));
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
    if (std::string problem = voiceValueProblem(path, *info); !problem.empty()) {
        return problem;
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

std::string checkVoiceModelValues(const std::string& path)
{
    std::string problem;
    const std::optional<ModelFileInfo> info = readModelFileInfo(path, problem);
    return info ? voiceValueProblem(path, *info) : std::string();
}

std::string checkRecognizerModelFile(const std::string& path)
{
    std::string problem;
    const std::optional<ModelFileInfo> info = readModelFileInfo(path, problem);
    return info ? recognizerMetadataProblem(path, *info, true) : problem;
}

std::string checkRecognizerModelValues(const std::string& path)
{
    std::string problem;
    const std::optional<ModelFileInfo> info = readModelFileInfo(path, problem);
    return info ? recognizerMetadataProblem(path, *info, false) : std::string();
}

std::string checkNotSpecialFile(const std::string& path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
        return {};
    }
    return fileTypeProblem(path, status.st_mode);
}

} // namespace ombrix::extensions::sherpa
