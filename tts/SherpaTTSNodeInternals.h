#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/AudioBus.h"
#include "host/AudioGraphResampler.h"
#include "host/OXAny.h"
#include "tts/SherpaTTSNode.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace ombrix::extensions::sherpa {

/// The engine's audio is always played at this rate; a graph at another rate gets it
/// through the resampler, and a voice that reports another rate is converted to it on
/// the worker.
inline constexpr int kInnerSampleRate = 16000;
/// Block size (frames) in which the resampler pulls audio at the inner rate.
inline constexpr int kInnerBlockSize = 160;
/// The node speaks with speaker 0 of the voice at normal speed.
inline constexpr int32_t kSpeakerId = 0;
inline constexpr float kSpeechSpeed = 1.0f;

/**
 * All state of one text-to-speech node.
 *
 * Threads and what each one touches:
 *  - application threads: enqueueText, appendStreamingText, clearStreamingBuffer,
 *    loadModel (takes engineMutex for the whole load);
 *  - the worker (workerLoop): takes texts from textQueue and runs synthesizeNow under
 *    engineMutex; it is the only thread that creates GeneratedAudio items and, apart
 *    from cleanup, the only one that frees them;
 *  - the host's audio thread: generateAudio (directly or inside the resampler's
 *    process); lock-free except at the end of an item's playback.
 * The node's own code never holds two of its three mutexes (queueMutex, streamingMutex,
 * engineMutex) at a time. A "synthesisStarted" listener that calls the node runs on the
 * worker inside engineMutex and may take the other two; nothing takes engineMutex while
 * holding them, so no cycle arises (and loadModel refuses to run on the worker). Loads
 * take the process-wide espeak lock (EspeakProcessState) inside engineMutex, around the
 * environment variable and the engine creation.
 *
 * Item lifetime (who may free a GeneratedAudio, and when): items are freed only under
 * engineMutex, by reclaimUnusedAudio (worker, before each synthesis; reload) or by the
 * teardown cleanup. An item is never freed while it is the value of latestAudio,
 * playingAudio or adoptingAudio. The audio thread announces the item it is about to adopt
 * in adoptingAudio and then re-reads latestAudio before touching it (a hazard pointer),
 * so the window between reading latestAudio and storing that value into playingAudio is
 * covered. Only the audio thread writes playingAudio while the node runs; a reload asks
 * it to let go of its item (dropPlayingRequested) instead of clearing the pointer under
 * it, and the item is freed by a later reclamation once the audio thread has let go.
 */
class SherpaTTSNode::Internals {
public:
    /// One synthesised text, mono at kInnerSampleRate. Created complete by the worker
    /// before it is published; after that only playPosition and isFinished change.
    struct GeneratedAudio {
        /// Plays `engineResult`'s samples, or `converted` when given (the voice's own rate
        /// was not the inner rate); the engine result is then released at once.
        GeneratedAudio(GeneratedAudioPtr engineResult, std::optional<std::vector<float>> converted);
        ~GeneratedAudio();
        GeneratedAudio(const GeneratedAudio&) = delete;
        GeneratedAudio& operator=(const GeneratedAudio&) = delete;

        GeneratedAudioPtr audio;
        std::vector<float> convertedSamples;
        const float* samples = nullptr;
        int32_t sampleCount = 0;
        /// Index of the next sample to play; advanced only by the audio thread.
        std::atomic<int32_t> playPosition{0};
        /// Set by the audio thread once playPosition has reached sampleCount.
        std::atomic<bool> isFinished{false};
    };

    /// Test-only hooks. Each is one relaxed atomic load on the path it serves (never in a
    /// steady-state block) and does nothing while null.
    struct TestHooks {
        /// Audio thread, after it has read latestAudio (and announced it in adoptingAudio)
        /// and before it stores that item into playingAudio.
        static inline std::atomic<void (*)(const GeneratedAudio*)> onAdopting{nullptr};
        /// Any thread, just before an item is freed.
        static inline std::atomic<void (*)(const GeneratedAudio*)> onItemFreed{nullptr};
    };

    /// Makes the default-language attempt (loadDefaultVoice) and starts the worker.
    /// Exceptions of the path functions leave the constructor before the worker exists.
    Internals(SherpaTTSNode* node, const std::string& language);
    /// shutdown(), unless the node already did it.
    ~Internals();
    Internals(const Internals&) = delete;
    Internals& operator=(const Internals&) = delete;

    /// Appends `text` to the synthesis queue. Any thread; one short lock, one copy.
    void enqueueText(const std::string& text);

    /// Creates the engine for the three paths, replacing a loaded one. Blocking; takes
    /// engineMutex. Returns false (with an error line) when no engine results, and at
    /// once when called on this node's worker thread or audio thread (from an event
    /// listener), where a load would deadlock or stall the audio output.
    bool loadModel(const std::string& modelPath, const std::string& tokensPath, const std::string& dataPath);

    /// Streaming text (application threads): see the cutting rule in
    /// tts/StreamingTextSegmenter.h. Locks streamingMutex, then possibly queueMutex.
    void appendStreamingText(const std::string& text, bool isFinal);
    void clearStreamingBuffer();

    /// Host configuration path: the graph's rate. Creates or removes the resampler; must
    /// not run concurrently with produce (the host guarantees it).
    void setSampleRate(int32_t sampleRate);

    /// Audio thread: fills one block of `bus` at the inner rate. Always returns true.
    /// Steady state: no allocation, no lock, no logging. At the end of an item's playback
    /// it emits "finished" (listeners run here) and may cut buffered text (locks).
    bool generateAudio(AudioBus& bus);

    /// Teardown: stops and joins the worker (a running synthesis completes first; queued
    /// texts are dropped), then cleanup(). The node calls it while its internals pointer
    /// is still set, so that listeners running on the worker meanwhile may still call the
    /// node. Runs once; blocks for as long as the running synthesis takes.
    void shutdown();

    /// Releases the engine, the audio items and the resampler (teardown only). No lock.
    void cleanup();

    // --- state (see the class comment for ownership and locking) ------------------------

    SherpaTTSNode* const node;
    /// Rebuilt by every load; its strings point into modelPath, tokensPath, dataDirPath.
    SherpaOnnxOfflineTtsConfig config{};
    const int32_t speakerId = kSpeakerId;
    /// The voice; null without a model. engineMutex.
    OfflineTtsPtr tts;
    /// Every item not yet freed, oldest first. engineMutex.
    std::list<std::unique_ptr<GeneratedAudio>> generatedAudio;
    /// Newest item published by the worker.
    std::atomic<GeneratedAudio*> latestAudio{nullptr};
    /// The item the audio thread plays; written by the audio thread (and by the teardown
    /// cleanup, when the audio thread no longer runs).
    std::atomic<GeneratedAudio*> playingAudio{nullptr};
    /// The item the audio thread is in the middle of adopting (hazard pointer), or null.
    std::atomic<GeneratedAudio*> adoptingAudio{nullptr};
    /// Set by a reload: the audio thread stops the item it plays at its next block.
    std::atomic<bool> dropPlayingRequested{false};
    /// True while the playing item has samples left (kept by the audio thread, so that
    /// other threads can ask "is audio playing?" without touching an item).
    std::atomic<bool> audioIsPlaying{false};
    /// Converts the inner rate to the graph's rate; null at 16000 Hz or before a format
    /// was set. Created and removed only by setSampleRate and the teardown cleanup (a
    /// reload keeps it, as the audio thread may be inside its process() at that moment).
    std::unique_ptr<AudioGraphResampler> resampler;
    int32_t graphSampleRate = 0;
    std::string modelPath;
    std::string tokensPath;
    std::string dataDirPath;
    std::string streamingBuffer;
    std::mutex streamingMutex;
    std::atomic<bool> isFirstSynthesis{true};
    std::thread workerThread;
    std::mutex queueMutex;
    std::condition_variable queueCondition;
    std::deque<std::string> textQueue;
    bool stopRequested = false;
    std::mutex engineMutex;
    /// The thread currently inside generateAudio (default id when none); lets loadModel
    /// recognise a call from a "finished" listener.
    std::atomic<std::thread::id> audioThreadId{};
    /// Data of every "finished" event, built once so that emitting allocates nothing.
    const OXAny finishedEventData;

private:
    enum class CleanupScope { Teardown, Reload };

    /// Set by shutdown(); touched only by the thread that destroys the node.
    bool isShutDown = false;

    void loadDefaultVoice(const std::string& language);
    void workerLoop();
    void synthesizeNow(const std::string& text);
    /// engineMutex held. Frees every item that no atomic pointer designates; returns the
    /// number freed.
    std::size_t reclaimUnusedAudio();
    void cleanup(CleanupScope scope);
    void synthesizeBufferedTextIfReady();
    /// Emits on the node, catching what a listener throws (one error line per throw).
    void emitEventSafely(const std::string& name, const OXAny& data);

    // Audio thread helpers (generateAudio).
    GeneratedAudio* adoptLatestAudio(const GeneratedAudio* playing);
    void fadeOutInterrupted(GeneratedAudio& item, AudioBuffer<float>& buffer);
};

} // namespace ombrix::extensions::sherpa
