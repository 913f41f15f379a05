// Action dispatch on a real text-to-speech node with random parameter maps: action names
// (the node's own, other letter cases, random ones), parameters of every OXAny kind under
// the node's keys and random keys, interleaved with format changes and audio blocks
// pulled as the host's audio thread would. A fresh node per input.
//
// Nothing may crash, and the only exceptions that may leave callAction are the host
// map's (OXAnyKeyError for a missing parameter, OXAnyTypeError for one of the wrong
// kind), plus std::filesystem::filesystem_error from "loadModel" (a path the file system
// cannot even test, e.g. a component over 255 bytes: the node lets file-system errors
// pass by design). Known actions must answer success; "loadModel" a boolean.
//
// Model paths are placed under a directory that does not exist, so that no random file
// of the machine is handed to sherpa-onnx (which ends the process on bad contents; that
// is the model checker's business, not this fuzzer's). With OMBRIX_FUZZ_VOICE_DIR set to
// a voice directory (model.onnx, tokens.txt, espeak-ng-data), a "modelPath" starting with
// '@' loads that voice, so that random texts reach the real engine and its audio plays.
// The node proves voice files good with the model checker program before it loads them;
// OMBRIX_FUZZ_MODEL_CHECKER names that program (e.g. <build>/lib/ombrix-sherpa-check of
// the normal build), which this build does not make.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "host/Logger.h"
#include "host/OXAny.h"
#include "models/ModelFileChecker.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"

namespace {

using ombrix::AudioBuffer;
using ombrix::AudioBus;
using ombrix::AudioBusFormat;
using ombrix::OXAny;
using ombrix::OXAnyKeyError;
using ombrix::OXAnyMap;
using ombrix::OXAnyTypeError;
using ombrix::extensions::sherpa::SherpaTTSNode;

constexpr std::size_t kMaxOperations = 64;
constexpr int kMaxDepth = 3;
constexpr unsigned kMaxFrames = 1024;
constexpr unsigned kMaxChannels = 2;
constexpr const char* kMissingDirectory = "/nonexistent-ombrix-fuzz/";
constexpr char kVoiceMark = '@';

constexpr std::array<const char*, 10> kActions = {"synthesize", "appendStreamingText", "clearStreamingBuffer",
    "loadModel", "Synthesize", "", "finished", "synthesisStarted", "synthesizeWith", "stop"};
constexpr std::array<const char*, 9> kKeys
    = {"text", "token", "isFinal", "modelPath", "tokensPath", "dataPath", "speakerId", "speed", ""};
constexpr std::array<int, 5> kRates = {16000, 48000, 44100, 8000, 0};

std::string voiceDirectory;

/// What the run reached, printed at exit: voices loaded and blocks that carried sound.
std::size_t voicesLoaded = 0;
std::size_t blocksWithSound = 0;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "action dispatch: %s\n", what.c_str());
    std::abort();
}

OXAny randomValue(FuzzedDataProvider& data, int depth);

OXAnyMap randomMap(FuzzedDataProvider& data, int depth)
{
    OXAnyMap map;
    const int entries = data.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < entries && data.remaining_bytes() > 0; ++i) {
        const std::string key = data.ConsumeBool()
            ? kKeys[data.ConsumeIntegralInRange<std::size_t>(0, kKeys.size() - 1)]
            : data.ConsumeRandomLengthString(12);
        map.set(key, randomValue(data, depth + 1));
    }
    return map;
}

OXAny randomValue(FuzzedDataProvider& data, int depth)
{
    switch (data.ConsumeIntegralInRange<int>(0, depth < kMaxDepth ? 7 : 6)) {
    case 0:
        return OXAny();
    case 1:
        return OXAny(data.ConsumeBool());
    case 2:
        return OXAny(data.ConsumeIntegral<int>());
    case 3:
        return OXAny(data.ConsumeIntegral<std::int64_t>());
    case 4:
        return OXAny(data.ConsumeFloatingPoint<double>());
    case 5:
        return OXAny(data.ConsumeFloatingPoint<float>());
    case 6:
        return OXAny(data.ConsumeRandomLengthString(300));
    default:
        return OXAny(randomMap(data, depth));
    }
}

/// Parameters of the right keys and kinds for `name` (random contents), so that inputs
/// get past the map access into the node; random maps cover the rest.
OXAnyMap wellFormedParameters(FuzzedDataProvider& data, const std::string& name)
{
    OXAnyMap parameters;
    if (name == "synthesize") {
        parameters.set("text", OXAny(data.ConsumeRandomLengthString(200)));
    } else if (name == "appendStreamingText") {
        parameters.set("token", OXAny(data.ConsumeRandomLengthString(40)));
        if (data.ConsumeBool()) {
            parameters.set("isFinal", OXAny(data.ConsumeBool()));
        }
    } else if (name == "synthesizeWith") {
        // Speaker and speed of any kind: out-of-range values are answered with an error.
        parameters.set("text", OXAny(data.ConsumeRandomLengthString(200)));
        for (const char* key : {"speakerId", "speed"}) {
            if (data.ConsumeBool()) {
                parameters.set(key,
                    data.ConsumeBool() ? OXAny(data.ConsumeRandomLengthString(12))
                                       : randomValue(data, kMaxDepth));
            }
        }
    } else if (name == "loadModel") {
        const bool voice = !voiceDirectory.empty() && data.ConsumeBool();
        parameters.set(
            "modelPath", OXAny(voice ? std::string(1, kVoiceMark) : data.ConsumeRandomLengthString(300)));
        parameters.set("tokensPath", OXAny(data.ConsumeRandomLengthString(300)));
        parameters.set("dataPath", OXAny(data.ConsumeRandomLengthString(300)));
    }
    return parameters;
}

/// Keeps model files of the machine away from sherpa-onnx: every path string goes under a
/// missing directory, except a model path starting with '@' when OMBRIX_FUZZ_VOICE_DIR is
/// set (then all three are that voice's files).
OXAnyMap confinePaths(const OXAnyMap& parameters)
{
    OXAnyMap confined = parameters;
    const bool voice = !voiceDirectory.empty() && parameters.hasKey("modelPath")
        && parameters.at("modelPath").getType() == OXAny::Type::String
        && parameters.at("modelPath").convert<std::string>().starts_with(kVoiceMark);
    const std::array<std::pair<const char*, const char*>, 3> files
        = {{{"modelPath", "/model.onnx"}, {"tokensPath", "/tokens.txt"}, {"dataPath", "/espeak-ng-data"}}};
    for (const auto& [key, leaf] : files) {
        if (!parameters.hasKey(key) || parameters.at(key).getType() != OXAny::Type::String) {
            continue;
        }
        const std::string path = parameters.at(key).convert<std::string>();
        confined.set(key, OXAny(voice ? voiceDirectory + leaf : kMissingDirectory + path));
    }
    return confined;
}

/// The host's side of the graph: one output bus whose format may change between blocks.
struct Graph {
    explicit Graph(SherpaTTSNode& source)
        : node(source)
    {
        for (unsigned c = 0; c < kMaxChannels; ++c) {
            pointers[c] = storage[c].data();
        }
    }

    void setFormat(int rate, unsigned channels)
    {
        AudioBusFormat format(rate, channels);
        if (node.setBusFormat(format)) {
            // The node accepts one or two channels only.
            if (channels < 1 || channels > kMaxChannels) {
                fail("setBusFormat accepted " + std::to_string(channels) + " channels");
            }
            currentRate = rate;
            currentChannels = channels;
            bus.setFormat(format);
        } else if (channels == 1 || channels == 2) {
            fail("setBusFormat refused " + std::to_string(channels) + " channels");
        }
    }

    void pull(unsigned frames, int blocks)
    {
        if (currentChannels == 0) {
            return; // the host sets a format before it pulls
        }
        buffer = AudioBuffer<float>(pointers.data(), currentChannels, frames, false, currentRate);
        bus.setBuffer(&buffer);
        for (int b = 0; b < blocks; ++b) {
            node.produce(bus);
            for (unsigned c = 0; c < currentChannels; ++c) {
                bool sound = false;
                for (unsigned i = 0; i < frames; ++i) {
                    const float sample = storage[c][i];
                    if (!(sample >= -4.0f && sample <= 4.0f)) {
                        fail("a sample out of range or not a number");
                    }
                    sound = sound || sample != 0.0f;
                }
                blocksWithSound += sound && c == 0 ? 1 : 0;
            }
        }
    }

    SherpaTTSNode& node;
    std::array<std::array<float, kMaxFrames>, kMaxChannels> storage{};
    std::array<float*, kMaxChannels> pointers{};
    AudioBuffer<float> buffer;
    AudioBus bus;
    int currentRate = 0;
    unsigned currentChannels = 0;
};

/// Lets the worker synthesise everything queued so far: waits until the queue is empty and
/// no synthesis is under way. The worker marks a synthesis active when it takes the text,
/// before it takes the engine lock, so the engine lock alone would let a waiter in ahead
/// of the synthesis of the last text.
void waitForWorker(SherpaTTSNode& node)
{
    auto& internals = node.getInternalsForTesting();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(internals.queueMutex);
            if (internals.textQueue.empty() && !internals.synthesisActive) {
                break;
            }
        }
        std::this_thread::yield();
    }
}

void dispatch(SherpaTTSNode& node, const std::string& name, const OXAnyMap& parameters)
{
    const bool known = name == "synthesize" || name == "appendStreamingText" || name == "clearStreamingBuffer"
        || name == "loadModel" || name == "stop";
    try {
        const auto result
            = node.callAction(name, name == "loadModel" ? confinePaths(parameters) : parameters);
        if (known && !result.isSuccess()) {
            fail("action '" + name + "' answered an error: " + result.getError());
        }
        if (name == "loadModel") {
            if (result.getValue().getType() != OXAny::Type::Bool) {
                fail("loadModel did not answer a boolean");
            }
            voicesLoaded += result.getValue().convert<bool>() ? 1 : 0;
        }
    } catch (const OXAnyKeyError&) {
    } catch (const OXAnyTypeError&) {
    } catch (const std::filesystem::filesystem_error& e) {
        if (name != "loadModel") {
            fail("action '" + name + "' threw a file-system error: " + e.what());
        }
    } catch (const std::exception& e) {
        fail("action '" + name + "' threw " + e.what());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    // OMBRIX_FUZZ_LOG=1 keeps the node's log lines (on stderr) for looking into one input.
    if (std::getenv("OMBRIX_FUZZ_LOG") == nullptr) {
        ombrix::Logger::setSink([](ombrix::LogLevel, const std::string&) {});
    } else {
        ombrix::Logger::setLevel(ombrix::LogLevel::Debug);
    }
    if (const char* voice = std::getenv("OMBRIX_FUZZ_VOICE_DIR")) {
        voiceDirectory = voice;
    }
    if (const char* checker = std::getenv("OMBRIX_FUZZ_MODEL_CHECKER")) {
        ombrix::extensions::sherpa::ModelCheckerOverride checkerOverride;
        checkerOverride.program = checker;
        ombrix::extensions::sherpa::setModelCheckerOverrideForTesting(checkerOverride);
    }
    // Long data paths make the node create short links in TMPDIR: keep them in a scratch
    // directory of this run.
    std::filesystem::path scratch = std::filesystem::temp_directory_path() / "ombrix-fuzz-tmp";
    std::filesystem::create_directories(scratch);
    setenv("TMPDIR", scratch.c_str(), 1);
    if (!voiceDirectory.empty()) {
        // The voice mode must really reach the engine and the audio path: one fixed
        // scenario before fuzzing (load, speak, play), or the run stops here.
        SherpaTTSNode node{OXAnyMap()};
        Graph graph(node);
        graph.setFormat(16000, 1);
        dispatch(node, "loadModel",
            OXAnyMap{{"modelPath", OXAny(std::string(1, kVoiceMark))}, {"tokensPath", OXAny("")},
                {"dataPath", OXAny("")}});
        dispatch(node, "synthesize", OXAnyMap{{"text", OXAny("Hello world.")}});
        waitForWorker(node);
        graph.pull(160, 50);
        if (voicesLoaded != 1 || blocksWithSound == 0) {
            std::fprintf(stderr,
                "fuzz_tts_actions: the voice of OMBRIX_FUZZ_VOICE_DIR did not load or play "
                "(%zu loaded, %zu blocks with sound)\n",
                voicesLoaded, blocksWithSound);
            std::exit(1);
        }
    }
    std::atexit([] {
        std::fprintf(stderr, "fuzz_tts_actions: %zu voices loaded, %zu blocks with sound\n", voicesLoaded,
            blocksWithSound);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider data(bytes, size);
    // The configuration: "text" (of any kind) and unknown keys. A "text" that is not a
    // string fails the construction with the host map's exception, like an action.
    std::unique_ptr<SherpaTTSNode> created;
    try {
        created = std::make_unique<SherpaTTSNode>(randomMap(data, kMaxDepth - 1));
    } catch (const OXAnyTypeError&) {
        created = std::make_unique<SherpaTTSNode>(OXAnyMap());
    }
    SherpaTTSNode& node = *created;
    Graph graph(node);
    // The graph's own rate first (a converting one costs the resampler's warm-up: later).
    graph.setFormat(16000, data.ConsumeIntegralInRange<unsigned>(1, 2));
    if (!voiceDirectory.empty() && data.ConsumeBool()) {
        dispatch(node, "loadModel",
            OXAnyMap{{"modelPath", OXAny(std::string(1, kVoiceMark))}, {"tokensPath", OXAny("")},
                {"dataPath", OXAny("")}});
    }
    for (std::size_t step = 0; step < kMaxOperations && data.remaining_bytes() > 0; ++step) {
        switch (data.ConsumeIntegralInRange<int>(0, 16)) {
        case 0:
            graph.setFormat(kRates[data.ConsumeIntegralInRange<std::size_t>(0, kRates.size() - 1)],
                data.ConsumeIntegralInRange<unsigned>(0, 3));
            break;
        case 1:
            waitForWorker(node);
            break;
        case 2:
        case 3:
            graph.pull(data.ConsumeIntegralInRange<unsigned>(1, kMaxFrames),
                data.ConsumeIntegralInRange<int>(1, 20));
            break;
        default: {
            const std::string name = data.ConsumeBool()
                ? kActions[data.ConsumeIntegralInRange<std::size_t>(0, kActions.size() - 1)]
                : data.ConsumeRandomLengthString(24);
            dispatch(node, name, data.ConsumeBool() ? wellFormedParameters(data, name) : randomMap(data, 0));
            break;
        }
        }
    }
    return 0;
}
