#pragma once

// Helpers shared by the text-to-speech node tests: fixture voices, reference output from
// the engine itself, a block driver standing in for the host's audio thread, and an
// event recorder.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/AudioBuffer.h"
#include "host/AudioBus.h"
#include "host/EventEmitter.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"

namespace ombrix::testing {

using extensions::sherpa::SherpaTTSNode;
using GeneratedAudio = SherpaTTSNode::Internals::GeneratedAudio;

/// Generous upper bound for anything a test waits for.
inline constexpr std::chrono::seconds kWaitTimeout{30};
inline constexpr unsigned kInnerBlockFrames = 160;
/// Two sentences of the synthetic voice: 58 tokens, 11600 samples at 16000 Hz.
inline constexpr const char* kTwoSentences = "Hello world. How are you?";

struct VoiceFiles {
    std::string model;
    std::string tokens;
    std::string dataDirectory;
};

/// <fixtures>/<name>/{model.onnx,tokens.txt,espeak-ng-data}.
VoiceFiles fixtureVoice(const std::string& name);

/// What the engine itself returns for `text` (speaker 0, speed 1) with `voice`; the
/// engine is created once per voice and process. `sampleRate` receives the rate the
/// engine reports.
std::vector<float> referenceSamples(
    const VoiceFiles& voice, const std::string& text, int* sampleRate = nullptr);
/// The same with speaker `speakerId` at `speed` (the node's generation settings).
std::vector<float> referenceSamples(
    const VoiceFiles& voice, const std::string& text, int speakerId, float speed, int* sampleRate = nullptr);

/// Polls `condition` until it holds or `timeout` passes; returns its last value.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kWaitTimeout);

/// Waits until the node's worker has published an item other than `previous`.
GeneratedAudio* waitForPublished(SherpaTTSNode& node, const GeneratedAudio* previous = nullptr);

/// Drives a node's produce() like the host's audio thread: owns the channel arrays, sets
/// the bus format once, and pulls one block per call.
class BlockDriver {
public:
    BlockDriver(SherpaTTSNode& node, int sampleRate, unsigned channels, unsigned frames);
    BlockDriver(const BlockDriver&) = delete;
    BlockDriver& operator=(const BlockDriver&) = delete;

    /// Pulls one block; returns produce()'s result.
    bool pull();
    const float* channel(unsigned index) const { return storage[index].data(); }
    std::vector<float> channelCopy(unsigned index) const { return storage[index]; }
    unsigned frames() const { return frameCount; }
    unsigned channels() const { return static_cast<unsigned>(storage.size()); }

private:
    SherpaTTSNode& node;
    unsigned frameCount;
    std::vector<std::vector<float>> storage;
    std::vector<float*> pointers;
    AudioBuffer<float> buffer;
    AudioBus bus;
};

/// Records every event of an emitter (name, "text" of the data if any, emitting thread).
/// The listener keeps the recorded state alive by itself, so an emission still running on
/// another thread when the recorder goes away is harmless.
class EventRecorder {
public:
    struct Event {
        std::string name;
        std::string text;
        std::thread::id thread;
    };

    explicit EventRecorder(EventEmitter& emitter);
    ~EventRecorder();
    EventRecorder(const EventRecorder&) = delete;
    EventRecorder& operator=(const EventRecorder&) = delete;

    /// For a test that destroys the emitter first: the listener is then gone with it, and
    /// the recorder must not remove it.
    void forgetEmitter() { emitter = nullptr; }

    std::vector<Event> events() const;
    std::vector<std::string> textsOf(const std::string& name) const;
    std::size_t count(const std::string& name) const;
    /// Waits until at least `n` events named `name` were recorded.
    bool waitForCount(
        const std::string& name, std::size_t n, std::chrono::milliseconds timeout = kWaitTimeout);

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        std::vector<Event> recorded;
    };

    EventEmitter* emitter;
    EventEmitter::ListenerId id = 0;
    std::shared_ptr<State> state;
};

} // namespace ombrix::testing
