#include "SpeakToolSupport.h"

#include "utils/SherpaOnnxHandles.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace ombrix::testing {

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory()
{
    std::string pattern = (fs::temp_directory_path() / "ombrix-tool-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed for " + pattern);
    }
    root = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code error;
    fs::remove_all(root, error);
}

namespace {

std::string unescape(const std::string& quoted)
{
    std::string out;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 1 == quoted.size()) {
            out += quoted[i];
            continue;
        }
        const char next = quoted[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
    }
    return out;
}

SpokenPiece& pieceNumber(SpeakTimeline& timeline, int number)
{
    if (number < 1 || static_cast<std::size_t>(number) > timeline.pieces.size()) {
        throw std::runtime_error("timeline names piece " + std::to_string(number) + " before it started");
    }
    return timeline.pieces[static_cast<std::size_t>(number) - 1];
}

} // namespace

SpeakTimeline parseTimeline(const std::string& standardOutput)
{
    // Timeline lines: graph seconds, wall seconds, then the event (see
    // tools/ombrix-speak/SpeakSession.cpp).
    // std::regex is avoided on purpose: g++ 12 warns inside it in sanitizer builds.
    auto startsWith
        = [](const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; };
    SpeakTimeline timeline;
    std::istringstream lines(standardOutput);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        double graphSeconds = 0.0;
        double wallSeconds = 0.0;
        if (!(fields >> graphSeconds >> wallSeconds)) {
            continue;
        }
        std::string event;
        std::getline(fields >> std::ws, event);
        if (event.rfind("last word sent", 0) == 0) {
            timeline.lastWordSent = true;
            continue;
        }
        if (event.rfind("end of output", 0) == 0) {
            timeline.outputEnded = true;
            continue;
        }
        std::istringstream words(event);
        std::string piece;
        int number = 0;
        std::string rest;
        if (!(words >> piece >> number) || piece != "piece") {
            timeline.unknownLines.push_back(line);
            continue;
        }
        std::getline(words >> std::ws, rest);
        // A long text is shortened, with its full length after it: "..." (N bytes).
        std::size_t textBytes = 0;
        if (const std::size_t suffix = rest.rfind("\" (");
            suffix != std::string::npos && rest.back() == ')' && startsWith(rest, "started: \"")) {
            textBytes = std::stoul(rest.substr(suffix + 3));
            rest.resize(suffix + 1);
        }
        if (startsWith(rest, "started: \"") && rest.size() >= 11 && rest.back() == '"') {
            if (static_cast<std::size_t>(number) != timeline.pieces.size() + 1) {
                throw std::runtime_error("pieces out of order in: " + line);
            }
            SpokenPiece started;
            started.text = unescape(rest.substr(10, rest.size() - 11));
            started.textBytes = textBytes != 0 ? textBytes : started.text.size();
            started.startedSeconds = graphSeconds;
            timeline.pieces.push_back(started);
        } else if (startsWith(rest, "playing")) {
            pieceNumber(timeline, number).playingSeconds = graphSeconds;
        } else if (rest == "finished") {
            SpokenPiece& finished = pieceNumber(timeline, number);
            finished.end = SpokenPiece::End::Finished;
            finished.finishedSeconds = graphSeconds;
        } else if (startsWith(rest, "interrupted by piece ")) {
            SpokenPiece& cut = pieceNumber(timeline, number);
            std::istringstream detail(rest.substr(21));
            std::string heard;
            if (!(detail >> cut.interruptedBy)) {
                throw std::runtime_error("malformed line: " + line);
            }
            std::getline(detail, heard);
            cut.end = SpokenPiece::End::Interrupted;
            const std::string unit = " s of its audio";
            if (startsWith(heard, " after ") && heard.size() > unit.size()
                && heard.compare(heard.size() - unit.size(), unit.size(), unit) == 0) {
                cut.heardBeforeInterruption = std::stod(heard.substr(7));
            } else if (startsWith(heard, ", at most ")) {
                cut.heardBeforeInterruption = 0.0;
            } else {
                throw std::runtime_error("malformed line: " + line);
            }
        } else {
            timeline.unknownLines.push_back(line);
        }
    }
    return timeline;
}

VoicePaths fixtureVoice()
{
    const fs::path directory = fs::path(OMBRIX_FIXTURES_DIR) / "voice-en";
    return {(directory / "model.onnx").string(), (directory / "tokens.txt").string(),
        (directory / "espeak-ng-data").string()};
}

VoicePaths defaultVoiceBelow(const fs::path& base)
{
    const fs::path directory
        = base / "share" / "files" / "en_GB" / "vits-piper-en_GB-southern_english_female-low";
    return {(directory / "en_GB-southern_english_female-low.with_runtime_opt.ort").string(),
        (directory / "tokens.txt").string(), (directory / "espeak-ng-data").string()};
}

std::vector<float> engineSamples(const VoicePaths& voice, const std::string& text)
{
    using namespace ombrix::extensions::sherpa;
    // espeak-ng is initialised once per process, with the first engine's phoneme data;
    // later engines only have theirs checked for existence. That first directory must
    // outlive every test of this process, so it is always the build tree's (the voices
    // the tests use all carry the same Debian espeak-ng data).
    static const std::string phonemeData = fixtureVoice().dataDir;
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = voice.model.c_str();
    config.model.vits.tokens = voice.tokens.c_str();
    config.model.vits.data_dir = phonemeData.c_str();
    const OfflineTtsPtr tts(SherpaOnnxCreateOfflineTts(&config));
    if (!tts) {
        return {};
    }
    const GeneratedAudioPtr audio(SherpaOnnxOfflineTtsGenerate(tts.get(), text.c_str(), 0, 1.0f));
    if (!audio) {
        return {};
    }
    return std::vector<float>(audio->samples, audio->samples + audio->n);
}

std::vector<float> resampleFrom16k(const std::vector<float>& samples, int sampleRate)
{
    constexpr double kEngineRate = 16000.0;
    constexpr std::size_t kLeadPadding = 160; // 10 ms at 16 kHz
    constexpr std::size_t kRingingPadding = 800; // 50 ms at 16 kHz
    std::vector<float> padded(kLeadPadding, 0.0f);
    padded.insert(padded.end(), samples.begin(), samples.end());
    padded.resize(padded.size() + kRingingPadding, 0.0f);
    const double ratio = sampleRate / kEngineRate;
    std::vector<float> out(static_cast<std::size_t>(std::ceil(padded.size() * ratio)) + 16);
    std::size_t produced = 0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t error = soxr_oneshot(kEngineRate, sampleRate, 1, padded.data(), padded.size(), nullptr,
        out.data(), out.size(), &produced, &io, &quality, nullptr);
    if (error != nullptr) {
        throw std::runtime_error(std::string("soxr_oneshot: ") + error);
    }
    out.resize(produced);
    return out;
}

Placement placeReference(const std::vector<float>& signal, const std::vector<float>& reference,
    std::ptrdiff_t first, std::ptrdiff_t last, std::size_t compareBegin, std::size_t compareEnd,
    std::size_t probeLength)
{
    // Samples outside the signal (before its start or after its end) are silence.
    auto at = [&signal](std::ptrdiff_t index) -> double {
        return index >= 0 && static_cast<std::size_t>(index) < signal.size()
            ? signal[static_cast<std::size_t>(index)]
            : 0.0;
    };
    compareEnd = std::min(compareEnd, reference.size());
    compareBegin = std::min(compareBegin, compareEnd);
    const std::size_t probeEnd = std::min(compareEnd, compareBegin + probeLength);
    Placement best;
    double bestCost = std::numeric_limits<double>::infinity();
    for (std::ptrdiff_t offset = first; offset <= last; ++offset) {
        double cost = 0.0;
        for (std::size_t i = compareBegin; i < probeEnd && cost < bestCost; ++i) {
            const double d = at(offset + static_cast<std::ptrdiff_t>(i)) - reference[i];
            cost += d * d;
        }
        if (cost < bestCost) {
            bestCost = cost;
            best.offset = offset;
        }
    }
    best.maxError = 0.0;
    for (std::size_t i = compareBegin; i < compareEnd; ++i) {
        const double d = at(best.offset + static_cast<std::ptrdiff_t>(i)) - reference[i];
        best.maxError = std::max(best.maxError, std::fabs(d));
        best.referencePeak = std::max(best.referencePeak, static_cast<double>(std::fabs(reference[i])));
    }
    return best;
}

double peak(const std::vector<float>& signal, std::size_t begin, std::size_t end)
{
    double largest = 0.0;
    for (std::size_t i = begin; i < std::min(end, signal.size()); ++i) {
        largest = std::max(largest, static_cast<double>(std::fabs(signal[i])));
    }
    return largest;
}

double energy(const std::vector<float>& signal, std::size_t begin, std::size_t end)
{
    double sum = 0.0;
    for (std::size_t i = begin; i < std::min(end, signal.size()); ++i) {
        sum += static_cast<double>(signal[i]) * signal[i];
    }
    return sum;
}

WavHeader readWavHeader(const std::string& path)
{
    WavHeader header;
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto u16 = [&](std::size_t at) {
        return static_cast<unsigned>(static_cast<unsigned char>(bytes[at]))
            | static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        header.problem = "no RIFF/WAVE signature";
        return header;
    }
    // A stream that could not be rewound carries the unknown-size marker instead.
    constexpr unsigned kUnknownSize = 0xFFFFFFFFu;
    header.unknownSizes = u32(4) == kUnknownSize;
    if (!header.unknownSizes && u32(4) + 8 != bytes.size()) {
        header.problem = "RIFF size " + std::to_string(u32(4)) + " does not match the file size "
            + std::to_string(bytes.size());
        return header;
    }
    bool haveFormat = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::string id = bytes.substr(at, 4);
        std::size_t size = u32(at + 4);
        const std::size_t body = at + 8;
        if (id == "data" && header.unknownSizes) {
            if (size != kUnknownSize) {
                header.problem = "RIFF size unknown but data size " + std::to_string(size);
                return header;
            }
            size = bytes.size() - body; // the samples run to the end
        }
        if (body + size > bytes.size()) {
            header.problem = "chunk " + id + " runs past the end of the file";
            return header;
        }
        if (id == "fmt " && size >= 16) {
            header.formatTag = u16(body);
            header.channels = u16(body + 2);
            header.sampleRate = u32(body + 4);
            header.byteRate = u32(body + 8);
            header.blockAlign = u16(body + 12);
            header.bitsPerSample = u16(body + 14);
            if (header.formatTag == 0xFFFE && size >= 40) {
                header.formatTag = u16(body + 24); // sub-format GUID starts with the tag
            }
            haveFormat = true;
        } else if (id == "data") {
            header.dataBytes = size;
            if (!haveFormat) {
                header.problem = "data chunk before fmt chunk";
                return header;
            }
            header.valid = header.blockAlign == header.channels * header.bitsPerSample / 8
                && header.byteRate == header.sampleRate * header.blockAlign && header.blockAlign != 0
                && size % header.blockAlign == 0;
            if (!header.valid) {
                header.problem = "inconsistent fmt fields or data size";
            }
            return header;
        }
        at = body + size + (size & 1);
    }
    header.problem = "no data chunk";
    return header;
}

SubprocessOptions withArguments(std::vector<std::string> programArguments)
{
    SubprocessOptions options;
    options.arguments = std::move(programArguments);
    return options;
}

std::string speakToolInBuildTree()
{
    return std::string(OMBRIX_BIN_DIR) + "/ombrix-speak";
}

} // namespace ombrix::testing
