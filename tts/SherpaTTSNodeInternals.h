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
#include "tts/SpeechSettings.h"
#include "tts/VoiceRateConverter.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace ombrix::extensions::sherpa {

/// The engine's audio is always played at this rate; a graph at another rate gets it
/// through the resampler, and a voice that reports another rate is converted to it on
/// the worker.
inline constexpr int kInnerSampleRate = 16000;
/// Block size (frames) in which the resampler pulls audio at the inner rate.
inline constexpr int kInnerBlockSize = 160;
/// The pause scale the engine's plain generation call uses.
inline constexpr float kSilenceScale = 0.2f;

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
    /// One stretch of an item's samples (a sentence, as the engine hands it out). Written
    /// completely by the worker before it is linked into its item through `next`.
    struct AudioChunk {
        std::vector<float> samples;
        /// The following chunk, once published; the audio thread reads only this.
        std::atomic<AudioChunk*> next{nullptr};
        /// Owner of the following chunk (worker, and the item's destructor).
        std::unique_ptr<AudioChunk> ownedNext;
    };

    /// One synthesised text, mono at kInnerSampleRate, published at its first chunk and
    /// growing chunk by chunk while the worker synthesises the later sentences. The audio
    /// thread sees the growth only through atomics (`next` of the chunks, sampleCount,
    /// generationComplete); it is the only thread that moves the play cursor.
    struct GeneratedAudio {
        /// A growing item whose first chunk is `firstChunk`; complete once markComplete ran.
        explicit GeneratedAudio(std::vector<float> firstChunk);
        ~GeneratedAudio();
        GeneratedAudio(const GeneratedAudio&) = delete;
        GeneratedAudio& operator=(const GeneratedAudio&) = delete;

        /// Worker: links one more chunk behind the last one (allocates).
        void appendChunk(std::vector<float> chunkSamples);
        /// Worker: no chunk follows any more.
        void markComplete() { generationComplete.store(true); }
        /// Audio thread: copies up to `frames` samples from the play cursor into `output`
        /// (overwriting when `add` is false, adding otherwise) and advances the cursor;
        /// returns the count copied. No allocation, no lock.
        int32_t play(float* output, int32_t frames, bool add);
        /// Audio thread: true once generation is complete and every sample was played.
        bool playedToEnd() const;
        /// Audio thread (benchmarks): moves the play cursor back to the first sample.
        void rewind();
        /// Every published sample in order (tests and tools; allocates).
        std::vector<float> publishedSamples() const;

        AudioChunk first;
        /// Samples published so far (all chunks).
        std::atomic<int32_t> sampleCount{0};
        /// Set by the worker after the last chunk was published.
        std::atomic<bool> generationComplete{false};
        /// Index of the next sample to play; advanced only by the audio thread.
        std::atomic<int32_t> playPosition{0};
        /// Set by the audio thread once every sample of a complete item was played (or the
        /// item was stopped).
        std::atomic<bool> isFinished{false};
        /// Value of stopCount when the item's synthesis began; an item of an older value
        /// was stopped and is never adopted. Set before publication.
        uint64_t stopCountAtStart = 0;
        /// Number of the text it was synthesised from (see synthesisSerial). Set before
        /// publication.
        uint64_t serial = 0;

    private:
        /// Worker only.
        AudioChunk* lastChunk = &first;
        /// Audio thread only: the chunk being played and the offset in it.
        AudioChunk* playChunk = &first;
        std::size_t playOffset = 0;
    };

    /// Test-only hooks. Each is one relaxed atomic load on the path it serves (never in a
    /// steady-state block) and does nothing while null.
    struct TestHooks {
        /// Audio thread, after it has read latestAudio (and announced it in adoptingAudio)
        /// and before it stores that item into playingAudio.
        static inline std::atomic<void (*)(const GeneratedAudio*)> onAdopting{nullptr};
        /// Worker, after each chunk of a growing item was published.
        static inline std::atomic<void (*)(const GeneratedAudio*)> onChunkPublished{nullptr};
        /// Any thread, just before an item is freed.
        static inline std::atomic<void (*)(const GeneratedAudio*)> onItemFreed{nullptr};
        /// The loading thread, after the files were checked and before the engine is
        /// created from them.
        static inline std::atomic<void (*)()> beforeEngineCreated{nullptr};
        /// Worker, after each text it took from the queue (spoken, stopped, dropped or
        /// failed), with latestAudio's value, just before it marks itself idle.
        static inline std::atomic<void (*)(const GeneratedAudio*)> onSynthesisEnded{nullptr};
    };

    /// Makes the default-language attempt (loadDefaultVoice; skipped with its lines when
    /// `withDefaultVoice` is false) and starts the worker.
    /// Exceptions of the path functions leave the constructor before the worker exists.
    Internals(SherpaTTSNode* node, const std::string& language, bool withDefaultVoice = true);
    /// shutdown(), unless the node already did it.
    ~Internals();
    Internals(const Internals&) = delete;
    Internals& operator=(const Internals&) = delete;

    /// One text waiting for the worker, with the speaker and speed to speak it with.
    struct QueuedText {
        std::string text;
        SpeechSettings settings;
    };

    /// Appends `text` to the synthesis queue, spoken with the configured speaker and speed
    /// (or `settings`). Any thread; one short lock, one copy.
    void enqueueText(const std::string& text);
    void enqueueText(const std::string& text, const SpeechSettings& settings);

    /// Node construction, before any text: the "speakerId" and "speed" configuration
    /// entries (absent: speaker 0, speed 1). A value that is not a speaker number or a
    /// speed from 0.25 to 4 gets one warning and is replaced by the default. The
    /// speaker's range is checked against the voice at each synthesis (voices change).
    void configureSpeech(const OXAnyMap& config);

    /// "synthesizeWith": the speaker and speed of `params` (absent: the configured ones),
    /// the speaker checked against the voice loaded now. nullopt with the reason in
    /// `problem` for a value out of range or of the wrong form. Any thread; no lock.
    std::optional<SpeechSettings> speechSettingsFor(const OXAnyMap& params, std::string& problem) const;

    /// Creates the engine for the three paths, replacing a loaded one. Blocking; takes
    /// engineMutex. Returns false (with an error line) when no engine results, and at
    /// once when called on this node's worker thread or audio thread (from an event
    /// listener), where a load would deadlock or stall the audio output.
    bool loadModel(const std::string& modelPath, const std::string& tokensPath, const std::string& dataPath);

    /// Streaming text (application threads): see the cutting rule in
    /// tts/StreamingTextSegmenter.h. Locks streamingMutex, then possibly queueMutex.
    void appendStreamingText(const std::string& text, bool isFinal);
    void clearStreamingBuffer();

    /// "stop" (any application thread, returns at once): drops the queued texts and the
    /// streaming buffer, makes a synthesis under way end at its next sentence and has the
    /// audio thread fade the playing item out over one block; "finished" follows once for
    /// the stopped item. Does nothing when nothing is queued, under way or playing.
    void stop();

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
    /// Speaker and speed of every text not given others ("synthesizeWith"). Written only
    /// by configureSpeech while the node is created, read-only afterwards.
    SpeechSettings configuredSpeech;
    /// The loaded voice's speakers (speakerCountOf), 0 without a voice. Written under
    /// engineMutex by loads; read by any thread to check a "synthesizeWith" at once.
    std::atomic<int32_t> voiceSpeakerCount{0};
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
    std::deque<QueuedText> textQueue;
    bool stopRequested = false;
    /// True while the worker synthesises a text it took from the queue. queueMutex.
    bool synthesisActive = false;
    /// Number of "stop" calls; changed under queueMutex, read anywhere.
    std::atomic<uint64_t> stopCount{0};
    /// The serial of the synthesis a "stop" found under way after its announcement (its
    /// item may have no audio yet), or 0. Taken by the audio thread.
    std::atomic<uint64_t> stoppedSynthesisSerial{0};
    /// stopCount when the worker took its current text. queueMutex (written), worker.
    uint64_t synthesisStopCount = 0;
    /// Number of the text the worker took last, counting from 1. queueMutex (written), worker.
    uint64_t synthesisSerial = 0;
    /// Where the current text stands against "stop": taken (no "synthesisStarted" yet),
    /// announced (its "synthesisStarted" is or will be emitted), cancelled (a stop came
    /// first, so it is dropped like a queued text), stopped (a stop came after the
    /// announcement and owes it one "finished") or generated (the engine returned; its
    /// audio, if any, ends through the audio path alone). The worker and "stop" move it only by
    /// compare-exchange, so exactly one of them decides, and a text is stopped once.
    enum class SynthesisStopState : uint8_t { taken, announced, cancelled, stopped, generated };
    std::atomic<SynthesisStopState> synthesisStopState{SynthesisStopState::taken};
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
    /// Audio thread only: the stopCount it has acted on, whether the "finished" of a
    /// stopped item is due in its next block, and the serial of the latest text whose
    /// "finished" was emitted or is due (a text ends once, whether it plays to its end or
    /// a stop ends it, whichever comes first).
    uint64_t stopCountSeen = 0;
    bool stoppedFinishedDue = false;
    uint64_t finishedSerial = 0;
    /// Audio thread: see finishedSerial.
    bool owesFinished(uint64_t serial);

    void loadDefaultVoice(const std::string& language);
    void workerLoop();
    /// Worker: the engine has returned for the current text (see synthesisStopState).
    void markGenerated();
    void synthesizeNow(const QueuedText& queued);
    /// engineMutex held: `requested`, or speaker 0 (with a warning, once per voice) when the
    /// loaded voice has no such speaker (the voice changed after the text was queued).
    int32_t speakerForEngine(int32_t requested);
    /// engineMutex: whether the out-of-range warning was written for the loaded voice.
    bool speakerRangeWarned = false;
    /// What the per-sentence callback of one synthesis works with.
    struct StreamingSynthesis {
        Internals* self;
        /// The item published at the first sentence, or null.
        GeneratedAudio* item;
        uint64_t stopCountAtStart;
        uint64_t serial;
        /// Converts a voice at another rate than kInnerSampleRate, or null.
        VoiceRateStream* converter;
        int32_t voiceRate;
        /// Set when the callback ended the synthesis because of a "stop".
        bool stopped;
        /// Set when the callback ended the synthesis because its audio could not be kept.
        bool failed = false;
    };
    /// Worker (engineMutex): publishes `chunk` as the item's first chunk (the item goes
    /// out through latestAudio) or links it behind the last one. Allocates.
    void publishChunk(StreamingSynthesis& synthesis, std::vector<float> chunk);
    static int32_t onGeneratedChunk(const float* samples, int32_t n, float progress, void* arg);
    /// engineMutex held. Frees every item that no atomic pointer designates; returns the
    /// number freed.
    std::size_t reclaimUnusedAudio();
    void cleanup(CleanupScope scope);
    void synthesizeBufferedTextIfReady();
    /// Emits on the node, catching what a listener throws (one error line per throw).
    void emitEventSafely(const std::string& name, const OXAny& data);

    // Audio thread helpers (generateAudio).
    GeneratedAudio* adoptLatestAudio(const GeneratedAudio* playing);
    /// Acts on a "stop" seen for the first time: fades `playing` out into `buffer` and
    /// drops it, discards a published item not yet adopted. Returns the new playing item.
    GeneratedAudio* applyStop(GeneratedAudio* playing, AudioBuffer<float>* buffer);
    void fadeOutInterrupted(GeneratedAudio& item, AudioBuffer<float>& buffer);
};

} // namespace ombrix::extensions::sherpa
