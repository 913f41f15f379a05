#include "BenchSupport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <fstream>
#include <unistd.h>

#include "host/Logger.h"

namespace ombrix::bench {

namespace {

std::vector<Figure>& figures()
{
    static std::vector<Figure> table;
    return table;
}

std::atomic<std::uint64_t> loggedLines{0};

bool realSize = false;

std::vector<void (*)()>& lateRegistrations()
{
    static std::vector<void (*)()> registrations;
    return registrations;
}

} // namespace

bool realSizeMode()
{
    return realSize;
}

void setRealSizeMode(bool on)
{
    realSize = on;
}

bool registerLateRegistration(void (*registration)())
{
    lateRegistrations().push_back(registration);
    return true;
}

void runLateRegistrations()
{
    for (void (*registration)() : lateRegistrations()) {
        registration();
    }
}

bool registerFigure(Figure figure)
{
    figures().push_back(std::move(figure));
    return true;
}

const std::vector<Figure>& registeredFigures()
{
    // Registration order follows the static initialisation of the files: sort by id.
    std::stable_sort(
        figures().begin(), figures().end(), [](const Figure& a, const Figure& b) { return a.id < b.id; });
    return figures();
}

void installQuietLogger()
{
    Logger::setSink(
        [](LogLevel, const std::string&) { loggedLines.fetch_add(1, std::memory_order_relaxed); });
}

std::uint64_t quietLoggerLines()
{
    return loggedLines.load();
}

VoiceFiles fixtureVoice(const std::string& name)
{
    const std::string directory = std::string(OMBRIX_FIXTURES_DIR) + "/" + name;
    return {directory + "/model.onnx", directory + "/tokens.txt", directory + "/espeak-ng-data"};
}

RecogniserFiles fixtureRecogniser()
{
    const std::string directory = std::string(OMBRIX_FIXTURES_DIR) + "/asr";
    return {directory + "/model.onnx", directory + "/tokens.txt", directory + "/HLG.fst"};
}

std::string sentences(std::size_t count)
{
    static constexpr std::array<const char*, 4> kSentences
        = {"Hello world. ", "How are you today? ", "The weather is fine, thank you. ", "See you soon! "};
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += kSentences[i % kSentences.size()];
    }
    return text;
}

std::vector<std::string> tokenStream(std::size_t count)
{
    static constexpr std::array<const char*, 24> kWords = {"The", " quick", " brown", " fox", " jumps",
        " over", " the", " lazy", " dog", " and", " then", " it", " runs", " back", " home", " to", " sleep",
        " for", " a", " while", " because", " it", " is", " tired"};
    std::vector<std::string> tokens;
    tokens.reserve(count);
    std::uint32_t state = 12345; // fixed seed: the same stream in every run
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    std::size_t wordsInSentence = 0;
    while (tokens.size() < count) {
        const std::uint32_t pick = next();
        if (wordsInSentence > 8 && pick % 7 == 0) {
            tokens.emplace_back(pick % 3 == 0 ? "?" : ".");
            wordsInSentence = 0;
        } else if (wordsInSentence > 4 && pick % 11 == 0) {
            tokens.emplace_back(",");
        } else if (pick % 29 == 0) {
            tokens.emplace_back(" 3");
            tokens.emplace_back(".5");
            ++wordsInSentence;
        } else if (pick % 13 == 0) {
            tokens.emplace_back(" some");
            tokens.emplace_back("thing");
            ++wordsInSentence;
        } else {
            tokens.emplace_back(kWords[pick % kWords.size()]);
            ++wordsInSentence;
        }
    }
    tokens.resize(count);
    return tokens;
}

std::size_t residentKiB()
{
    std::ifstream statm("/proc/self/statm");
    std::size_t totalPages = 0;
    std::size_t residentPages = 0;
    if (!(statm >> totalPages >> residentPages)) {
        return 0;
    }
    return residentPages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

BlockPuller::BlockPuller(SingleBusAudioSourceNode& source, int sampleRate, unsigned channels, unsigned frames)
    : node(source)
    , frameCount(frames)
    , storage(channels, std::vector<float>(frames, 0.0f))
{
    for (auto& channelStorage : storage) {
        pointers.push_back(channelStorage.data());
    }
    buffer = AudioBuffer<float>(pointers.data(), channels, frames, true, sampleRate);
    AudioBusFormat format(sampleRate, channels);
    bus.setFormat(format);
    bus.setBuffer(&buffer);
    node.setBusFormat(format);
}

bool BlockPuller::pull()
{
    return node.produce(bus);
}

bool BlockPuller::lastBlockHasSound() const
{
    for (const auto& channelStorage : storage) {
        if (std::any_of(channelStorage.begin(), channelStorage.end(), [](float s) { return s != 0.0f; })) {
            return true;
        }
    }
    return false;
}

} // namespace ombrix::bench
