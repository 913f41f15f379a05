// The in-process model-file readers on arbitrary bytes: the ONNX and ORT model readers
// with the metadata judgement behind them, both tokens.txt readers, the OpenFst header
// check, and espeak-ng's phoneme tables and voice-file tunes. These run inside the host
// before anything else looks at a file, so they must never read outside what they were
// given, whatever it holds.
//
// The first input byte chooses the reader (its value modulo the number of readers: 0
// ONNX, 1 ORT, 2 voice tokens, 3 recogniser tokens, 4 graph header, 5 espeak-ng
// tables); the rest is its input. For the espeak-ng
// tables the rest edits a good data directory (OMBRIX_FUZZ_ESPEAK_DATA, default the
// system's espeak-ng-data): a cut of one table, then single-byte pokes, so that inputs
// reach deep into structures that random bytes would never form.
//
// Checked besides memory safety: a refusal always names the file first, a reader that
// fails says why, and the good espeak-ng data passes (at start-up).

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "models/DecodingGraphCheck.h"
#include "models/EspeakDataCheck.h"
#include "models/ModelMetadataChecks.h"
#include "models/ModelTextChecks.h"
#include "models/OnnxModelReader.h"
#include "models/OrtModelReader.h"

namespace {

using namespace ombrix::extensions::sherpa;
using namespace ombrix::extensions::sherpa::model_files;

const std::string kPath = "fuzzed";

enum class Reader : uint8_t { Onnx, Ort, VoiceTokens, RecognizerTokens, GraphHeader, EspeakTables, Count };

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_model_readers: %s\n", what.c_str());
    std::abort();
}

/// "" or a line that starts with the path it was given.
void expectProblemLine(const std::string& problem)
{
    if (!problem.empty() && problem.rfind(kPath + ": ", 0) != 0) {
        fail("a problem that does not start with the file's path: " + problem);
    }
}

Bytes bytesOf(const std::string& data)
{
    return {reinterpret_cast<const uint8_t*>(data.data()), data.size()};
}

struct GoodEspeakData {
    std::array<std::string, 4> tables; // phontab, phonindex, phondata, intonations
    bool present = false;
};

const GoodEspeakData& goodEspeakData()
{
    static const GoodEspeakData data = [] {
        GoodEspeakData result;
        const char* directory = std::getenv("OMBRIX_FUZZ_ESPEAK_DATA");
        const std::string base
            = directory != nullptr ? directory : "/usr/lib/x86_64-linux-gnu/espeak-ng-data";
        const std::array<const char*, 4> names{"phontab", "phonindex", "phondata", "intonations"};
        result.present = true;
        for (std::size_t i = 0; i < names.size(); ++i) {
            std::ifstream in(base + "/" + names[i], std::ios::binary);
            result.tables[i].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            result.present = result.present && !result.tables[i].empty();
        }
        if (result.present) {
            const auto fault = findEspeakTableFault({bytesOf(result.tables[0]), bytesOf(result.tables[1]),
                bytesOf(result.tables[2]), bytesOf(result.tables[3])});
            if (fault) {
                fail("the good espeak-ng data in " + base + " is refused: " + fault->file + ": "
                    + fault->what);
            }
        } else {
            std::fprintf(
                stderr, "fuzz_model_readers: no espeak-ng data in %s; tables start empty\n", base.c_str());
        }
        return result;
    }();
    return data;
}

void fuzzModel(Reader reader, const std::string& data)
{
    ModelFileInfo info;
    std::string reason;
    const bool read = reader == Reader::Onnx
        ? readOnnxModel(bytesOf(data), info, reason)
        : (hasOrtIdentifier(bytesOf(data)), readOrtModel(bytesOf(data), info, reason));
    if (!read) {
        if (reason.empty()) {
            fail("a model reader failed without a reason");
        }
        return;
    }
    modelOutputSize(info);
    expectProblemLine(voiceValueProblem(kPath, info));
    expectProblemLine(recognizerMetadataProblem(kPath, info, true));
    expectProblemLine(recognizerMetadataProblem(kPath, info, false));
}

void fuzzEspeak(FuzzedDataProvider& input)
{
    GoodEspeakData edited = goodEspeakData();
    std::string& table = edited.tables[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    if (input.ConsumeBool()) {
        table.resize(input.ConsumeIntegralInRange<std::size_t>(0, table.size()));
    }
    while (input.remaining_bytes() >= 5 && !table.empty()) {
        const auto at = input.ConsumeIntegralInRange<std::size_t>(0, table.size() - 1);
        table[at] = static_cast<char>(input.ConsumeIntegral<uint8_t>());
    }
    const EspeakTables tables{bytesOf(edited.tables[0]), bytesOf(edited.tables[1]), bytesOf(edited.tables[2]),
        bytesOf(edited.tables[3])};
    if (const auto fault = findEspeakTableFault(tables)) {
        if (fault->file.empty() || fault->what.empty()) {
            fail("a table fault without a file or a reason");
        }
        return;
    }
    // Tables that pass: the tune names, and a voice file made of what is left.
    const std::string voiceFile = input.ConsumeRemainingBytesAsString();
    findMissingTune(voiceFile, espeakTuneNames(tables.intonations));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const auto reader = static_cast<Reader>(data[0] % static_cast<uint8_t>(Reader::Count));
    FuzzedDataProvider input(data + 1, size - 1);
    switch (reader) {
    case Reader::Onnx:
    case Reader::Ort:
        fuzzModel(reader, input.ConsumeRemainingBytesAsString());
        break;
    case Reader::VoiceTokens:
        expectProblemLine(checkVoiceTokensText(kPath, input.ConsumeRemainingBytesAsString()));
        break;
    case Reader::RecognizerTokens: {
        std::string problem;
        if (!readRecognizerTokensText(kPath, input.ConsumeRemainingBytesAsString(), problem)) {
            if (problem.empty()) {
                fail("the recogniser tokens reader failed without a reason");
            }
            expectProblemLine(problem);
        }
        break;
    }
    case Reader::GraphHeader: {
        const std::string graph = input.ConsumeRemainingBytesAsString();
        expectProblemLine(checkGraphHeaderBytes(kPath, bytesOf(graph)));
        // The whole graph, against the fixture recogniser's three tokens and outputs.
        static const std::set<int64_t> kTokenIds{0, 1, 2};
        const std::string problem
            = checkDecodingGraphBytes(kPath, reinterpret_cast<const uint8_t*>(graph.data()), graph.size(),
                GraphLabelLimits{kTokenIds, "tokens.txt", 3, "model.onnx"});
        if (!problem.empty()) {
            expectProblemLine(problem);
        }
        break;
    }
    case Reader::EspeakTables:
        fuzzEspeak(input);
        break;
    case Reader::Count:
        break;
    }
    return 0;
}
