#include "TTSNodeTestSupport.h"

#include <algorithm>
#include <map>
#include <stdexcept>

#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace ombrix::testing {

using extensions::sherpa::GeneratedAudioPtr;
using extensions::sherpa::OfflineTtsPtr;

VoiceFiles fixtureVoice(const std::string& name)
{
    const std::string directory = std::string(OMBRIX_FIXTURES_DIR) + "/" + name;
    return {directory + "/model.onnx", directory + "/tokens.txt", directory + "/espeak-ng-data"};
}

std::vector<float> referenceSamples(const VoiceFiles& voice, const std::string& text, int* sampleRate)
{
    return referenceSamples(voice, text, 0, 1.0f, sampleRate);
}

std::vector<float> referenceSamples(
    const VoiceFiles& voice, const std::string& text, int speakerId, float speed, int* sampleRate)
{
    static std::mutex mutex;
    static std::map<std::string, OfflineTtsPtr> engines;
    std::lock_guard<std::mutex> lock(mutex);
    OfflineTtsPtr& engine = engines[voice.model];
    if (!engine) {
        SherpaOnnxOfflineTtsConfig config{};
        config.model.vits.model = voice.model.c_str();
        config.model.vits.tokens = voice.tokens.c_str();
        config.model.vits.data_dir = voice.dataDirectory.c_str();
        engine.reset(SherpaOnnxCreateOfflineTts(&config));
        if (!engine) {
            throw std::runtime_error("reference engine could not be created for " + voice.model);
        }
    }
    SherpaOnnxGenerationConfig generation{};
    generation.sid = speakerId;
    generation.speed = speed;
    const GeneratedAudioPtr audio(
        SherpaOnnxOfflineTtsGenerateWithConfig(engine.get(), text.c_str(), &generation, nullptr, nullptr));
    if (!audio) {
        throw std::runtime_error("reference engine produced nothing for: " + text);
    }
    if (sampleRate != nullptr) {
        *sampleRate = audio->sample_rate;
    }
    return std::vector<float>(audio->samples, audio->samples + audio->n);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

GeneratedAudio* waitForPublished(SherpaTTSNode& node, const GeneratedAudio* previous)
{
    auto& latest = node.getInternalsForTesting().latestAudio;
    waitUntil([&] {
        const GeneratedAudio* current = latest.load();
        return current != nullptr && current != previous;
    });
    GeneratedAudio* current = latest.load();
    return current != previous ? current : nullptr;
}

BlockDriver::BlockDriver(SherpaTTSNode& owner, int sampleRate, unsigned channels, unsigned frames)
    : node(owner)
    , frameCount(frames)
    , storage(channels, std::vector<float>(frames, 0.0f))
{
    for (auto& channel : storage) {
        pointers.push_back(channel.data());
    }
    buffer = AudioBuffer<float>(pointers.data(), channels, frames, true, sampleRate);
    AudioBusFormat format(sampleRate, channels);
    bus.setFormat(format);
    bus.setBuffer(&buffer);
    if (!node.setBusFormat(format)) {
        throw std::runtime_error("node refused the bus format");
    }
}

bool BlockDriver::pull()
{
    return node.produce(bus);
}

EventRecorder::EventRecorder(EventEmitter& source)
    : emitter(&source)
    , state(std::make_shared<State>())
{
    id = emitter->addEventListener("*", [state = state](const std::string& name, const OXAny& data) {
        Event event{name, {}, std::this_thread::get_id()};
        if (data.getType() == OXAny::Type::Map) {
            const OXAnyMap map = data.convert<OXAnyMap>();
            if (map.hasKey("text")) {
                event.text = map.at("text").convert<std::string>();
            }
        }
        std::lock_guard<std::mutex> lock(state->mutex);
        state->recorded.push_back(std::move(event));
        state->changed.notify_all();
    });
}

EventRecorder::~EventRecorder()
{
    if (emitter != nullptr) {
        emitter->removeEventListener(id);
    }
}

std::vector<EventRecorder::Event> EventRecorder::events() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->recorded;
}

std::vector<std::string> EventRecorder::textsOf(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    std::vector<std::string> texts;
    for (const auto& event : state->recorded) {
        if (event.name == name) {
            texts.push_back(event.text);
        }
    }
    return texts;
}

std::size_t EventRecorder::count(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return static_cast<std::size_t>(std::count_if(state->recorded.begin(), state->recorded.end(),
        [&name](const Event& event) { return event.name == name; }));
}

bool EventRecorder::waitForCount(const std::string& name, std::size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(state->recorded.begin(), state->recorded.end(),
                   [&name](const Event& event) { return event.name == name; }))
            >= n;
    });
}

} // namespace ombrix::testing
