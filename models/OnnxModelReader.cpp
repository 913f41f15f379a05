#include "models/OnnxModelReader.h"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa::model_files {

namespace {

// Wire types of the protobuf encoding.
constexpr uint32_t kWireVarint = 0;
constexpr uint32_t kWireFixed64 = 1;
constexpr uint32_t kWireLengthDelimited = 2;
constexpr uint32_t kWireFixed32 = 5;
constexpr int kMaxVarintShift = 63;

// Field numbers of onnx.proto that are read here.
constexpr uint32_t kModelIrVersion = 1;
constexpr uint32_t kModelGraph = 7;
constexpr uint32_t kModelMetadataProps = 14;
constexpr uint32_t kEntryKey = 1;
constexpr uint32_t kEntryValue = 2;
constexpr uint32_t kGraphOutput = 12;
constexpr uint32_t kValueInfoType = 2;
constexpr uint32_t kTypeTensor = 1;
constexpr uint32_t kTensorShape = 2;
constexpr uint32_t kShapeDim = 1;
constexpr uint32_t kDimValue = 1;

struct ProtoField {
    uint32_t number = 0;
    uint32_t wireType = 0;
    uint64_t value = 0; ///< varint and fixed values
    Bytes bytes; ///< length-delimited values
};

bool readVarint(Bytes& data, uint64_t& value)
{
    value = 0;
    for (int shift = 0; shift <= kMaxVarintShift; shift += 7) {
        if (data.empty()) {
            return false;
        }
        const uint8_t byte = data.front();
        data = data.subspan(1);
        value |= static_cast<uint64_t>(byte & 0x7fu) << shift;
        if ((byte & 0x80u) == 0) {
            return true;
        }
    }
    return false;
}

/// Calls visit(const ProtoField&) for every field of one message, in order. Returns false
/// when the bytes are not a well-formed message or when visit returns false.
template <typename Visit>
bool forEachProtoField(Bytes message, Visit&& visit)
{
    while (!message.empty()) {
        uint64_t tag = 0;
        if (!readVarint(message, tag)) {
            return false;
        }
        ProtoField field;
        field.number = static_cast<uint32_t>(tag >> 3);
        field.wireType = static_cast<uint32_t>(tag & 7u);
        if (field.number == 0 || (tag >> 3) > UINT32_MAX) {
            return false;
        }
        switch (field.wireType) {
        case kWireVarint:
            if (!readVarint(message, field.value)) {
                return false;
            }
            break;
        case kWireFixed64:
        case kWireFixed32: {
            const std::size_t width = field.wireType == kWireFixed64 ? 8 : 4;
            if (message.size() < width) {
                return false;
            }
            std::memcpy(&field.value, message.data(), width);
            message = message.subspan(width);
            break;
        }
        case kWireLengthDelimited: {
            uint64_t length = 0;
            if (!readVarint(message, length) || length > message.size()) {
                return false;
            }
            field.bytes = message.first(static_cast<std::size_t>(length));
            message = message.subspan(static_cast<std::size_t>(length));
            break;
        }
        default: // groups (3, 4) are not used by ONNX; 6 and 7 do not exist
            return false;
        }
        if (!visit(field)) {
            return false;
        }
    }
    return true;
}

std::string asString(Bytes bytes)
{
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

/// Finds the first field `number` (length-delimited) of `message`.
std::optional<Bytes> firstSubmessage(Bytes message, uint32_t number)
{
    std::optional<Bytes> found;
    const bool wellFormed = forEachProtoField(message, [&](const ProtoField& field) {
        if (!found && field.number == number && field.wireType == kWireLengthDelimited) {
            found = field.bytes;
        }
        return true;
    });
    return wellFormed ? found : std::nullopt;
}

std::vector<std::optional<int64_t>> onnxOutputShape(Bytes valueInfo)
{
    std::vector<std::optional<int64_t>> shape;
    const auto type = firstSubmessage(valueInfo, kValueInfoType);
    const auto tensor = type ? firstSubmessage(*type, kTypeTensor) : std::nullopt;
    const auto tensorShape = tensor ? firstSubmessage(*tensor, kTensorShape) : std::nullopt;
    if (!tensorShape) {
        return shape;
    }
    forEachProtoField(*tensorShape, [&](const ProtoField& dim) {
        if (dim.number != kShapeDim || dim.wireType != kWireLengthDelimited) {
            return true;
        }
        std::optional<int64_t> size;
        forEachProtoField(dim.bytes, [&](const ProtoField& part) {
            if (part.number == kDimValue && part.wireType == kWireVarint) {
                size = static_cast<int64_t>(part.value);
            }
            return true;
        });
        shape.push_back(size);
        return true;
    });
    return shape;
}

} // namespace

bool readOnnxModel(Bytes data, ModelFileInfo& info, std::string& reason)
{
    bool hasIrVersion = false;
    std::optional<Bytes> graph;
    const bool wellFormed = forEachProtoField(data, [&](const ProtoField& field) {
        switch (field.number) {
        case kModelIrVersion:
            hasIrVersion = field.wireType == kWireVarint;
            return hasIrVersion;
        case kModelGraph:
            graph = field.bytes;
            return field.wireType == kWireLengthDelimited;
        case kModelMetadataProps: {
            if (field.wireType != kWireLengthDelimited) {
                return false;
            }
            std::pair<std::string, std::string> entry;
            const bool entryOk = forEachProtoField(field.bytes, [&](const ProtoField& part) {
                if (part.wireType == kWireLengthDelimited && part.number == kEntryKey) {
                    entry.first = asString(part.bytes);
                } else if (part.wireType == kWireLengthDelimited && part.number == kEntryValue) {
                    entry.second = asString(part.bytes);
                }
                return true;
            });
            info.metadata.push_back(std::move(entry));
            return entryOk;
        }
        default:
            return true;
        }
    });
    if (!wellFormed) {
        reason = "not an ONNX model (the bytes are not a protobuf message)";
        return false;
    }
    if (!hasIrVersion || !graph) {
        reason = "not an ONNX model (no IR version or no graph)";
        return false;
    }
    if (const auto output = firstSubmessage(*graph, kGraphOutput)) {
        info.firstOutputShape = onnxOutputShape(*output);
    }
    info.format = ModelFileFormat::Onnx;
    return true;
}

} // namespace ombrix::extensions::sherpa::model_files
