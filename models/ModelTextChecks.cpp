// tokens.txt of voices and recognisers, and the OpenFst header of decoding graphs
// (declared in ModelFileInspection.h).

#include "models/ModelTextChecks.h"

#include "models/ModelFileInspection.h"
#include "models/TextFields.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

namespace ombrix::extensions::sherpa {

using namespace model_files;

namespace {

constexpr int32_t kFstMagicNumber = 2125659606; // 0x7eb2fdd6, little-endian on disk
constexpr int32_t kFstMaxTypeNameLength = 256;
constexpr int64_t kCtcBlankId = 0;

/// A length-prefixed string of the header at `position`, which moves past it.
std::optional<std::string> readFstString(Bytes header, std::size_t& position)
{
    int32_t length = 0;
    if (header.size() - position < sizeof length) {
        return std::nullopt;
    }
    std::memcpy(&length, header.data() + position, sizeof length);
    position += sizeof length;
    if (length < 0 || length > kFstMaxTypeNameLength
        || header.size() - position < static_cast<std::size_t>(length)) {
        return std::nullopt;
    }
    std::string text(
        reinterpret_cast<const char*>(header.data() + position), static_cast<std::size_t>(length));
    position += static_cast<std::size_t>(length);
    return text;
}

} // namespace

std::string checkVoiceTokensFile(const std::string& path)
{
    std::string problem;
    const std::optional<std::string> text = readTextFile(path, problem);
    return text ? model_files::checkVoiceTokensText(path, *text) : problem;
}

std::string model_files::checkVoiceTokensText(const std::string& path, std::string_view text)
{
    const std::vector<std::string_view> lines = splitLines(text);
    std::map<char32_t, std::size_t> lineOfSymbol;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (line.find('\r') != std::string_view::npos) {
            // The voice's token reader keeps the CR in the line, so a line " \r3" (the
            // space symbol) and "3 \r..." are read wrongly: the space symbol is lost and
            // "3" is taken as a symbol with the id 0.
            return atPath(path,
                lineAt(i)
                    + " has a carriage return (CRLF line ends); sherpa-onnx would lose the space symbol and "
                      "map \"3\" to id 0: use LF only");
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

std::optional<RecognizerTokens> readRecognizerTokens(const std::string& path, std::string& problem)
{
    const std::optional<std::string> text = readTextFile(path, problem);
    return text ? model_files::readRecognizerTokensText(path, *text, problem) : std::nullopt;
}

std::optional<RecognizerTokens> model_files::readRecognizerTokensText(
    const std::string& path, std::string_view text, std::string& problem)
{
    RecognizerTokens tokens;
    // The library looks the blank up by these names, in this order.
    static constexpr std::array<std::string_view, 3> kBlankSymbols{"<blk>", "<eps>", "<blank>"};
    std::array<std::optional<int64_t>, kBlankSymbols.size()> blankIds;
    std::map<std::string_view, std::size_t> lineOfSymbol;
    const std::vector<std::string_view> lines = splitLines(text);
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
        // A line with only an id is the space symbol.
        const std::string_view symbol = fields.size() == 2 ? fields.front() : std::string_view(" ");
        // The recogniser's text is these symbols joined: a malformed one garbles it.
        if (!decodeUtf8(symbol)) {
            problem = atPath(path, lineAt(i) + ": the symbol is not valid UTF-8");
            return std::nullopt;
        }
        // Two ids with one symbol decode to wrong text.
        if (const auto [where, inserted] = lineOfSymbol.emplace(symbol, i); !inserted) {
            problem = atPath(path,
                lineAt(i) + " repeats the symbol '" + std::string(symbol) + "' of " + lineAt(where->second));
            return std::nullopt;
        }
        for (std::size_t blank = 0; blank < kBlankSymbols.size(); ++blank) {
            if (symbol == kBlankSymbols[blank]) {
                blankIds[blank] = *id;
            }
        }
    }
    const auto blank
        = std::find_if(blankIds.begin(), blankIds.end(), [](const auto& id) { return id.has_value(); });
    if (blank == blankIds.end()) {
        // sherpa-onnx ends the process when it creates such a recogniser.
        problem = atPath(path, "has no blank symbol (<blk>, <eps> or <blank>)");
        return std::nullopt;
    }
    // The CTC graph decoder takes token 0 as the blank, as every published streaming
    // Zipformer2 CTC model has it (icefall writes "<blk> 0").
    if (**blank != kCtcBlankId) {
        const auto name = kBlankSymbols[static_cast<std::size_t>(blank - blankIds.begin())];
        problem = atPath(path,
            "has the blank symbol " + std::string(name) + " at id " + std::to_string(**blank)
                + "; a streaming Zipformer2 CTC model's blank is id " + std::to_string(kCtcBlankId));
        return std::nullopt;
    }
    return tokens;
}

std::string checkGraphFileHeader(const std::string& path)
{
    std::string problem;
    const std::optional<MappedFile> file = MappedFile::open(path, problem);
    return file ? model_files::checkGraphHeaderBytes(path, file->bytes()) : problem;
}

std::string model_files::checkGraphHeaderBytes(const std::string& path, Bytes data)
{
    int32_t magic = 0;
    if (data.size() < sizeof magic
        || (std::memcpy(&magic, data.data(), sizeof magic), magic != kFstMagicNumber)) {
        return atPath(path, "is not an OpenFst graph (no FST magic number)");
    }
    std::size_t position = sizeof magic;
    const std::optional<std::string> fstType = readFstString(data, position);
    const std::optional<std::string> arcType = fstType ? readFstString(data, position) : std::nullopt;
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
