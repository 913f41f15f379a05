#include "models/ModelFileInspection.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <span>

namespace ombrix::extensions::sherpa {

namespace {

using Bytes = std::span<const uint8_t>;

// ---- files --------------------------------------------------------------------------------

std::string atPath(const std::string& path, const std::string& what)
{
    return path + ": " + what;
}

std::string openError(const std::string& path, int error)
{
    if (error == ENOENT) {
        return atPath(path, "does not exist");
    }
    return atPath(path, std::string("cannot be opened (") + std::strerror(error) + ")");
}

/// A whole file mapped read-only; only the pages that are read get loaded.
class MappedFile {
public:
    static std::optional<MappedFile> open(const std::string& path, std::string& problem)
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            problem = openError(path, errno);
            return std::nullopt;
        }
        struct stat status { };
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            problem = atPath(
                path, S_ISDIR(status.st_mode) ? "is a directory, not a file" : "is not a regular file");
            ::close(fd);
            return std::nullopt;
        }
        if (status.st_size == 0) {
            problem = atPath(path, "is empty");
            ::close(fd);
            return std::nullopt;
        }
        const auto size = static_cast<std::size_t>(status.st_size);
        void* const address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        const int mapError = errno;
        ::close(fd);
        if (address == MAP_FAILED) {
            problem = atPath(path, std::string("cannot be read (") + std::strerror(mapError) + ")");
            return std::nullopt;
        }
        return MappedFile(static_cast<const uint8_t*>(address), size);
    }

    MappedFile(MappedFile&& other) noexcept
        : address(std::exchange(other.address, nullptr))
        , size(std::exchange(other.size, 0))
    {
    }
    MappedFile& operator=(MappedFile&&) = delete;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile()
    {
        if (address != nullptr) {
            ::munmap(const_cast<uint8_t*>(address), size);
        }
    }

    Bytes bytes() const { return {address, size}; }

private:
    MappedFile(const uint8_t* address, std::size_t size)
        : address(address)
        , size(size)
    {
    }

    const uint8_t* address;
    std::size_t size;
};

// Text files (tokens) are small; anything larger is not a tokens file.
constexpr std::size_t kMaxTextFileBytes = 16u << 20;

std::optional<std::string> readTextFile(const std::string& path, std::string& problem)
{
    std::optional<MappedFile> file = MappedFile::open(path, problem);
    if (!file) {
        return std::nullopt;
    }
    if (file->bytes().size() > kMaxTextFileBytes) {
        problem = atPath(path, "is larger than 16 MiB, which no tokens file is");
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(file->bytes().data()), file->bytes().size());
}

// ---- protobuf (ONNX) ------------------------------------------------------------------------

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

bool parseOnnx(Bytes data, ModelFileInfo& info, std::string& reason)
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

// ---- flatbuffers (ORT format) ---------------------------------------------------------------

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

bool hasOrtIdentifier(Bytes data)
{
    return data.size() >= kFlatBufferIdentifierOffset + kOrtIdentifier.size()
        && std::memcmp(
               data.data() + kFlatBufferIdentifierOffset, kOrtIdentifier.data(), kOrtIdentifier.size())
        == 0;
}

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

bool parseOrt(Bytes data, ModelFileInfo& info, std::string& reason)
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

// ---- text ------------------------------------------------------------------------------------

/// The character class that std::istream's >> skips in the "C" locale.
bool isStreamSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isStreamSpace(line[i])) {
            ++i;
        }
        const std::size_t start = i;
        while (i < line.size() && !isStreamSpace(line[i])) {
            ++i;
        }
        if (i > start) {
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

/// Lines as std::getline yields them: a final newline does not start another line.
std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

/// An integer as std::istream reads one into an int32_t (optional sign, digits, in range).
std::optional<int64_t> parseTokenId(std::string_view field)
{
    if (!field.empty() && field.front() == '+') {
        field.remove_prefix(1);
    }
    int32_t value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc() || end != field.data() + field.size()) {
        return std::nullopt;
    }
    return value;
}

/// What atoi makes of a metadata value: leading blanks, a sign, then as many digits as
/// there are (0 when there are none).
int64_t atoiValue(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && isStreamSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    constexpr int64_t kAtoiLimit = 1LL << 40; // far beyond any meaningful value; stops overflow
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < kAtoiLimit; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

/// Strict UTF-8 decoding; std::nullopt for malformed input.
std::optional<std::u32string> decodeUtf8(std::string_view text)
{
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        std::size_t length = 0;
        char32_t code = 0;
        if (lead < 0x80u) {
            length = 1;
            code = lead;
        } else if ((lead & 0xe0u) == 0xc0u) {
            length = 2;
            code = lead & 0x1fu;
        } else if ((lead & 0xf0u) == 0xe0u) {
            length = 3;
            code = lead & 0x0fu;
        } else if ((lead & 0xf8u) == 0xf0u) {
            length = 4;
            code = lead & 0x07u;
        } else {
            return std::nullopt;
        }
        if (text.size() - i < length) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xc0u) != 0x80u) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3fu);
        }
        static constexpr std::array<char32_t, 5> kSmallestOfLength{0, 0, 0x80, 0x800, 0x10000};
        if (code < kSmallestOfLength[length] || code > 0x10ffff) {
            return std::nullopt;
        }
        out.push_back(code);
        i += length;
    }
    return out;
}

std::string lineAt(std::size_t index)
{
    return "line " + std::to_string(index + 1);
}

std::string missingMetadata(const std::string& path, std::string_view key)
{
    return atPath(path, "the model metadata has no '" + std::string(key) + "'");
}

// ---- espeak-ng data -----------------------------------------------------------------------

constexpr std::array<const char*, 4> kEspeakRequiredFiles{"phontab", "phonindex", "phondata", "intonations"};
constexpr uint32_t kEspeakDataVersion = 0x00014801; // the version the built-in espeak-ng accepts
constexpr const char* kEspeakVersionedFile = "phondata";

std::string joinPath(const std::string& directory, const std::string& leaf)
{
    if (directory.empty() || directory.back() == '/') {
        return directory + leaf;
    }
    return directory + "/" + leaf;
}

// ---- OpenFst header -------------------------------------------------------------------------

constexpr int32_t kFstMagicNumber = 2125659606; // 0x7eb2fdd6, little-endian on disk
constexpr int32_t kFstMaxTypeNameLength = 256;

std::optional<std::string> readFstString(std::istream& in)
{
    int32_t length = 0;
    if (!in.read(reinterpret_cast<char*>(&length), sizeof length) || length < 0
        || length > kFstMaxTypeNameLength) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(length), '\0');
    if (!in.read(text.data(), length)) {
        return std::nullopt;
    }
    return text;
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
            parseOnnx(data, ignored, reason)
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
    if (!(ortContents ? parseOrt(data, info, reason) : parseOnnx(data, info, reason))) {
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

std::string checkVoiceTokensFile(const std::string& path)
{
    std::string problem;
    const std::optional<std::string> text = readTextFile(path, problem);
    if (!text) {
        return problem;
    }
    const std::vector<std::string_view> lines = splitLines(*text);
    std::map<char32_t, std::size_t> lineOfSymbol;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.find('\r') != std::string_view::npos) {
            return atPath(path, lineAt(i) + " has a carriage return (CRLF line ends); use LF only");
        }
        const std::vector<std::string_view> fields = splitFields(line);
        if (fields.empty()) {
            return atPath(path, lineAt(i) + " is empty");
        }
        if (fields.size() > 2) {
            return atPath(path, lineAt(i) + " has more than two fields");
        }
        if (!parseTokenId(fields.back())) {
            return atPath(path, lineAt(i) + ": '" + std::string(fields.back()) + "' is not an integer id");
        }
        // A line with only an id is the space symbol.
        const std::string_view symbol = fields.size() == 1 ? std::string_view(" ") : fields.front();
        const std::optional<std::u32string> codePoints = decodeUtf8(symbol);
        if (!codePoints) {
            return atPath(path, lineAt(i) + ": the symbol is not valid UTF-8");
        }
        if (symbol == "<BLNK>") {
            continue; // skipped by the library
        }
        if (codePoints->size() != 1) {
            return atPath(
                path, lineAt(i) + ": the symbol '" + std::string(symbol) + "' is not a single character");
        }
        const auto [where, inserted] = lineOfSymbol.emplace(codePoints->front(), i);
        if (!inserted) {
            return atPath(path,
                lineAt(i) + " repeats the symbol '" + std::string(symbol) + "' of " + lineAt(where->second));
        }
    }
    if (lines.empty()) {
        return atPath(path, "has no tokens");
    }
    static constexpr std::array<std::pair<char32_t, const char*>, 3> kRequired{{
        {U'_', "the pad symbol '_'"},
        {U'^', "the start symbol '^'"},
        {U'$', "the end symbol '$'"},
    }};
    for (const auto& [symbol, name] : kRequired) {
        if (!lineOfSymbol.contains(symbol)) {
            return atPath(path, std::string("lacks ") + name);
        }
    }
    return {};
}

std::vector<std::string> espeakDataFiles(const std::string& dataDirectory)
{
    std::vector<std::string> files;
    for (const char* name : kEspeakRequiredFiles) {
        files.push_back(joinPath(dataDirectory, name));
    }
    return files;
}

std::string checkEspeakDataDirectory(const std::string& path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0) {
        return errno == ENOENT
            ? atPath(path, "does not exist")
            : atPath(path, std::string("cannot be examined (") + std::strerror(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) {
        return atPath(path, "is not a directory");
    }
    for (const std::string& file : espeakDataFiles(path)) {
        if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
            return atPath(path, "lacks the espeak-ng data file " + file.substr(file.rfind('/') + 1));
        }
    }
    const std::string versioned = joinPath(path, kEspeakVersionedFile);
    std::ifstream in(versioned, std::ios::binary);
    uint32_t version = 0;
    if (!in.read(reinterpret_cast<char*>(&version), sizeof version)) {
        return atPath(versioned, "is too short to be espeak-ng data");
    }
    if (version != kEspeakDataVersion) {
        char text[64];
        std::snprintf(text, sizeof text, "has data version 0x%x; this espeak-ng needs 0x%x", version,
            kEspeakDataVersion);
        return atPath(versioned, text);
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

std::optional<RecognizerTokens> readRecognizerTokens(const std::string& path, std::string& problem)
{
    std::optional<std::string> text = readTextFile(path, problem);
    if (!text) {
        return std::nullopt;
    }
    RecognizerTokens tokens;
    bool hasBlank = false;
    const std::vector<std::string_view> lines = splitLines(*text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::string_view> fields = splitFields(lines[i]);
        if (fields.empty()) {
            continue;
        }
        if (fields.size() > 2) {
            problem = atPath(path, lineAt(i) + " has more than two fields");
            return std::nullopt;
        }
        const auto id = parseTokenId(fields.back());
        if (!id) {
            problem = atPath(path, lineAt(i) + ": '" + std::string(fields.back()) + "' is not an integer id");
            return std::nullopt;
        }
        tokens.ids.insert(*id);
        if (fields.size() == 2) {
            const std::string_view symbol = fields.front();
            hasBlank = hasBlank || symbol == "<blk>" || symbol == "<eps>" || symbol == "<blank>";
        }
    }
    if (!hasBlank) {
        problem = atPath(path, "has no blank symbol (<blk>, <eps> or <blank>)");
        return std::nullopt;
    }
    return tokens;
}

std::string checkGraphFileHeader(const std::string& path)
{
    std::string problem;
    // Opened through the mapping helper for its messages (missing, directory, empty).
    if (!MappedFile::open(path, problem)) {
        return problem;
    }
    std::ifstream in(path, std::ios::binary);
    int32_t magic = 0;
    if (!in.read(reinterpret_cast<char*>(&magic), sizeof magic) || magic != kFstMagicNumber) {
        return atPath(path, "is not an OpenFst graph (no FST magic number)");
    }
    const std::optional<std::string> fstType = readFstString(in);
    const std::optional<std::string> arcType = fstType ? readFstString(in) : std::nullopt;
    if (!arcType) {
        return atPath(path, "has a damaged OpenFst header");
    }
    if (*fstType != "vector" && *fstType != "const") {
        return atPath(
            path, "is an OpenFst graph of type '" + *fstType + "'; only vector and const can be read");
    }
    if (*arcType != "standard") {
        return atPath(
            path, "is an OpenFst graph with '" + *arcType + "' arcs; only standard arcs can be read");
    }
    return {};
}

} // namespace ombrix::extensions::sherpa
