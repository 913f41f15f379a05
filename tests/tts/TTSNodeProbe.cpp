// Runs one text-to-speech node scenario in a process of its own and prints what happened,
// for tests that need a fresh process (espeak-ng initialises once per process, from the
// first engine's data directory) or an executable placed where no default voice exists.
//
//   tts_node_probe construct-and-speak
//       Constructs a node with the configuration text "Hello.", waits until the worker
//       has dealt with it, and destroys the node.
//   tts_node_probe load-and-speak <model> <tokens> <data directory>
//       Constructs a node without configuration, loads the voice, and when that worked
//       speaks "Hello world. How are you?" at 16000 Hz mono to its end.
//   tts_node_probe refuse-then-speak <bad model> <bad tokens> <bad data> <model> <tokens> <data>
//       Constructs a node without configuration, loads the first (bad) voice as the
//       process's first engine, prints "refused=0|1", then goes on as load-and-speak with
//       the second voice.
//
// Output on stdout, one item per line: "loaded=0|1", "samples=<n>" (the samples played
// up to the last non-zero one), "espeak=<ESPEAK_DATA_PATH>", then every log line as
// "log=<level>|<line>". Exit status 0 when the scenario ran, 2 on a usage error.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "host/Logger.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"

namespace {

using ombrix::AudioBuffer;
using ombrix::AudioBus;
using ombrix::AudioBusFormat;
using ombrix::Logger;
using ombrix::LogLevel;
using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::extensions::sherpa::SherpaTTSNode;

constexpr std::chrono::seconds kTimeout{30};
constexpr int kSampleRate = 16000;
constexpr unsigned kBlockFrames = 160;
constexpr const char* kEngineFailed = "[SherpaTTSNode] Speech engine failed on the text";

std::mutex logMutex;
std::vector<std::string> logLines;

bool logged(const std::string& substring)
{
    std::lock_guard<std::mutex> lock(logMutex);
    for (const auto& line : logLines) {
        if (line.find(substring) != std::string::npos) {
            return true;
        }
    }
    return false;
}

template <typename Condition>
bool waitUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void constructAndSpeak()
{
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap{{"text", OXAny("Hello.")}});
    waitUntil([] {
        return logged("synthesize is called but TTS instance is not initialized.") || logged("[LATENCY]");
    });
    node.reset();
}

void loadAndSpeak(const std::string& model, const std::string& tokens, const std::string& data,
    char** refusedFirst = nullptr)
{
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    if (refusedFirst != nullptr) {
        const bool refused = !node->loadModel(refusedFirst[0], refusedFirst[1], refusedFirst[2]);
        std::cout << "refused=" << (refused ? 1 : 0) << "\n";
    }
    const bool loaded = node->loadModel(model, tokens, data);
    std::cout << "loaded=" << (loaded ? 1 : 0) << "\n";
    const char* espeak = std::getenv("ESPEAK_DATA_PATH");
    std::cout << "espeak=" << (espeak != nullptr ? espeak : "") << "\n";
    if (loaded) {
        std::atomic<int> finished{0};
        node->addEventListener(
            "finished", [&finished](const std::string&, const OXAny&) { finished.fetch_add(1); });
        std::vector<float> channel(kBlockFrames);
        float* channels[] = {channel.data()};
        AudioBuffer<float> buffer(channels, 1, kBlockFrames, true, kSampleRate);
        AudioBusFormat format(kSampleRate, 1);
        AudioBus bus(format);
        bus.setBuffer(&buffer);
        node->setBusFormat(format);
        node->synthesize("Hello world. How are you?");
        // The samples are counted without the pauses of an output that runs ahead of the
        // synthesis, so the text's audio is complete before it is pulled.
        // A voice that fails on the text logs it and never completes a generation.
        waitUntil([&] {
            const auto* item = node->getInternalsForTesting().latestAudio.load();
            return (item != nullptr && item->generationComplete.load()) || logged(kEngineFailed);
        });
        std::vector<float> played;
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (
            finished.load() == 0 && !logged(kEngineFailed) && std::chrono::steady_clock::now() < deadline) {
            node->produce(bus);
            played.insert(played.end(), channel.begin(), channel.end());
        }
        while (!played.empty() && played.back() == 0.0f) {
            played.pop_back();
        }
        std::cout << "samples=" << played.size() << "\n";
    }
    node.reset();
}

} // namespace

int main(int argc, char** argv)
{
    Logger::setLevel(LogLevel::Debug);
    Logger::setSink([](LogLevel level, const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex);
        logLines.push_back(std::string(Logger::levelName(level)) + "|" + line);
    });
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "construct-and-speak" && argc == 2) {
        constructAndSpeak();
    } else if (mode == "load-and-speak" && argc == 5) {
        loadAndSpeak(argv[2], argv[3], argv[4]);
    } else if (mode == "refuse-then-speak" && argc == 8) {
        loadAndSpeak(argv[5], argv[6], argv[7], argv + 2);
    } else {
        std::cerr << "usage: tts_node_probe construct-and-speak | load-and-speak <model> <tokens> <data> | "
                     "refuse-then-speak <bad model> <bad tokens> <bad data> <model> <tokens> <data>\n";
        return 2;
    }
    Logger::setSink({});
    std::lock_guard<std::mutex> lock(logMutex);
    for (const auto& line : logLines) {
        std::cout << "log=" << line << "\n";
    }
    return 0;
}
