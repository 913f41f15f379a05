#include "models/OrtModelReader.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace ombrix::extensions::sherpa::model_files {

namespace {

constexpr std::size_t kFlatBufferIdentifierOffset = 4;
constexpr std::string_view kOrtIdentifier = "ORTM";

// Field indices of onnxruntime's ort.fbs schema that are read here.
constexpr unsigned kOrtSessionModel = 1;
constexpr unsigned kOrtModelGraph = 7;
constexpr unsigned kOrtModelMetadata = 9;
constexpr unsigned kOrtEntryKey = 0;
constexpr unsigned kOrtEntryValue = 1;
constexpr unsigned kOrtGraphNodeArgs = 1;
constexpr unsigned kOrtGraphOutputs = 6;
constexpr unsigned kOrtValueInfoName = 0;
constexpr unsigned kOrtValueInfoType = 2;
constexpr unsigned kOrtTypeInfoValueType = 1;
constexpr unsigned kOrtTypeInfoValue = 2;
constexpr uint8_t kOrtTypeInfoTensor = 1;
constexpr unsigned kOrtTensorShape = 1;
constexpr unsigned kOrtShapeDims = 0;
constexpr unsigned kOrtDimensionValue = 0;
constexpr unsigned kOrtDimensionValueType = 0;
constexpr unsigned kOrtDimensionValueValue = 1;
constexpr uint8_t kOrtDimensionIsValue = 1;

/// Bounds-checked reading of a flatbuffer. Positions are byte offsets into the buffer;
/// every accessor returns std::nullopt instead of reading outside it.
class FlatBuffer {
public:
    explicit FlatBuffer(Bytes data)
        : data(data)
    {
    }

    template <typename T>
    std::optional<T> scalar(std::size_t position) const
    {
        if (position > data.size() || data.size() - position < sizeof(T)) {
            return std::nullopt;
        }
        T value;
        std::memcpy(&value, data.data() + position, sizeof(T));
        return value;
    }

    /// The position of the object that the offset stored at `position` points to.
    std::optional<std::size_t> follow(std::size_t position) const
    {
        const auto offset = scalar<uint32_t>(position);
        if (!offset || *offset > data.size() - position) {
            return std::nullopt;
        }
        return position + *offset;
    }

    /// The position of field `index` of the table at `table`, when the field is present.
    std::optional<std::size_t> field(std::size_t table, unsigned index) const
    {
        const auto tableToVtable = scalar<int32_t>(table);
        if (!tableToVtable) {
            return std::nullopt;
        }
        const int64_t vtable = static_cast<int64_t>(table) - *tableToVtable;
        if (vtable < 0 || static_cast<uint64_t>(vtable) >= data.size()) {
            return std::nullopt;
        }
        const auto vtableSize = scalar<uint16_t>(static_cast<std::size_t>(vtable));
        const std::size_t entry = 4 + 2 * static_cast<std::size_t>(index);
        if (!vtableSize || entry + 2 > *vtableSize) {
            return std::nullopt;
        }
        const auto fieldOffset = scalar<uint16_t>(static_cast<std::size_t>(vtable) + entry);
        if (!fieldOffset || *fieldOffset == 0 || table + *fieldOffset >= data.size()) {
            return std::nullopt;
        }
        return table + *fieldOffset;
    }

    /// The table that field `index` of `table` refers to.
    std::optional<std::size_t> tableField(std::size_t table, unsigned index) const
    {
        const auto position = field(table, index);
        return position ? follow(*position) : std::nullopt;
    }

    std::optional<std::string> stringField(std::size_t table, unsigned index) const
    {
        const auto position = field(table, index);
        const auto start = position ? follow(*position) : std::nullopt;
        return start ? stringAt(*start) : std::nullopt;
    }

    std::optional<std::string> stringAt(std::size_t start) const
    {
        const auto length = scalar<uint32_t>(start);
        if (!length || *length > data.size() - start - 4) {
            return std::nullopt;
        }
        return std::string(reinterpret_cast<const char*>(data.data() + start + 4), *length);
    }

    /// Positions of the offset slots of a vector of tables or strings held in field
    /// `index` of `table`; empty when the field is absent or malformed.
    std::vector<std::size_t> vectorField(std::size_t table, unsigned index) const
    {
        std::vector<std::size_t> elements;
        const auto position = field(table, index);
        const auto start = position ? follow(*position) : std::nullopt;
        const auto count = start ? scalar<uint32_t>(*start) : std::nullopt;
        if (!count || *count > (data.size() - *start - 4) / 4) {
            return elements;
        }
        for (uint32_t i = 0; i < *count; ++i) {
            elements.push_back(*start + 4 + 4 * static_cast<std::size_t>(i));
        }
        return elements;
    }

private:
    Bytes data;
};

std::vector<std::optional<int64_t>> ortOutputShape(const FlatBuffer& buffer, std::size_t graph)
{
    std::vector<std::optional<int64_t>> shape;
    const auto outputs = buffer.vectorField(graph, kOrtGraphOutputs);
    const auto outputName = outputs.empty() ? std::nullopt : buffer.follow(outputs.front());
    const auto name = outputName ? buffer.stringAt(*outputName) : std::nullopt;
    if (!name) {
        return shape;
    }
    for (const std::size_t slot : buffer.vectorField(graph, kOrtGraphNodeArgs)) {
        const auto valueInfo = buffer.follow(slot);
        if (!valueInfo || buffer.stringField(*valueInfo, kOrtValueInfoName) != name) {
            continue;
        }
        const auto typeInfo = buffer.tableField(*valueInfo, kOrtValueInfoType);
        const auto valueTypePosition
            = typeInfo ? buffer.field(*typeInfo, kOrtTypeInfoValueType) : std::nullopt;
        const auto valueType = valueTypePosition ? buffer.scalar<uint8_t>(*valueTypePosition) : std::nullopt;
        if (valueType != kOrtTypeInfoTensor) {
            return shape;
        }
        const auto tensor = buffer.tableField(*typeInfo, kOrtTypeInfoValue);
        const auto tensorShape = tensor ? buffer.tableField(*tensor, kOrtTensorShape) : std::nullopt;
        if (!tensorShape) {
            return shape;
        }
        for (const std::size_t dimSlot : buffer.vectorField(*tensorShape, kOrtShapeDims)) {
            const auto dimension = buffer.follow(dimSlot);
            const auto value = dimension ? buffer.tableField(*dimension, kOrtDimensionValue) : std::nullopt;
            const auto typePosition = value ? buffer.field(*value, kOrtDimensionValueType) : std::nullopt;
            const auto type = typePosition ? buffer.scalar<uint8_t>(*typePosition) : std::nullopt;
            const auto sizePosition = value ? buffer.field(*value, kOrtDimensionValueValue) : std::nullopt;
            const auto size = sizePosition ? buffer.scalar<int64_t>(*sizePosition) : std::nullopt;
            shape.push_back(type == kOrtDimensionIsValue ? size : std::nullopt);
        }
        return shape;
    }
    return shape;
}

} // namespace

bool hasOrtIdentifier(Bytes data)
{
    return data.size() >= kFlatBufferIdentifierOffset + kOrtIdentifier.size()
        && std::memcmp(
               data.data() + kFlatBufferIdentifierOffset, kOrtIdentifier.data(), kOrtIdentifier.size())
        == 0;
}

bool readOrtModel(Bytes data, ModelFileInfo& info, std::string& reason)
{
    const FlatBuffer buffer(data);
    const auto session = buffer.follow(0);
    const auto model = session ? buffer.tableField(*session, kOrtSessionModel) : std::nullopt;
    const auto graph = model ? buffer.tableField(*model, kOrtModelGraph) : std::nullopt;
    if (!graph) {
        reason = "not a readable ORT-format model (no model graph)";
        return false;
    }
    for (const std::size_t slot : buffer.vectorField(*model, kOrtModelMetadata)) {
        const auto entry = buffer.follow(slot);
        if (!entry) {
            continue;
        }
        info.metadata.emplace_back(buffer.stringField(*entry, kOrtEntryKey).value_or(""),
            buffer.stringField(*entry, kOrtEntryValue).value_or(""));
    }
    info.firstOutputShape = ortOutputShape(buffer, *graph);
    info.format = ModelFileFormat::Ort;
    return true;
}

} // namespace ombrix::extensions::sherpa::model_files
