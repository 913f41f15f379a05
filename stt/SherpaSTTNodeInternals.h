#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/AudioBus.h"
#include "host/AudioRingBuffer.h"
#include "models/ModelFileChecker.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace ombrix::extensions::sherpa {

/**
 * The sherpa-onnx calls of the recogniser path, gathered in one table so that a test can
 * interpose on them (count calls, refuse a creation). Production code uses library(), whose
 * entries are the library functions themselves: one indirect call per sherpa-onnx call,
 * never per sample. Handles are still released by the RAII deleters of
 * utils/SherpaOnnxHandles.h, which call the library directly, so a replacement table must
 * hand out real handles (or null).
 *
 * `checkFiles` proves existing model files safe before createRecognizer sees them (the
 * library ends the process on bad contents); production: checkRecognizerFiles, which may
 * start a checker process and block for it.
 */
struct OnlineRecognizerApi {
    decltype(&checkRecognizerFiles) checkFiles;
    decltype(&SherpaOnnxCreateOnlineRecognizer) createRecognizer;
    decltype(&SherpaOnnxCreateOnlineStream) createStream;
    decltype(&SherpaOnnxOnlineStreamAcceptWaveform) acceptWaveform;
    decltype(&SherpaOnnxIsOnlineStreamReady) isReady;
    decltype(&SherpaOnnxDecodeOnlineStream) decode;
    decltype(&SherpaOnnxGetOnlineStreamResult) getResult;
    decltype(&SherpaOnnxOnlineStreamIsEndpoint) isEndpoint;
    decltype(&SherpaOnnxOnlineStreamReset) reset;

    /// The real sherpa-onnx functions.
    static const OnlineRecognizerApi& library();
};

/**
 * Private state of a SherpaSTTNode: the input ring, the enabled flag and sample rate, and
 * the streaming Zipformer2 CTC recogniser (HLG graph decoding) with its one stream.
 *
 * States: unloaded (no recognizer, no stream) or loaded (both). Construction finds and loads
 * the default model; loadSherpaModel() first leaves the loaded state, so a failed reload
 * leaves nothing loaded. Audio flows into the ring in both states.
 *
 * Threads: consume() is the ring's only producer (host audio thread); transcribe() its only
 * consumer (one application thread). loadSherpaModel(), transcribe() and destruction touch
 * the recogniser and must not overlap. isEnabled and sampleRate are atomics that any thread
 * may use.
 *
 * Behaviour beyond the plain "store, then transcribe":
 *
 *  - Sample rate per block. A sherpa-onnx stream fixes its input rate at the first rate it
 *    resamples from and ends the process when a later call passes another rate. So every
 *    stored block remembers the rate that was current when it was stored (a short queue of
 *    rate changes beside the ring), and transcribe() feeds each run of frames at its own
 *    rate: audio captured before a rate change is decoded at the old rate even when it is
 *    transcribed after the change. When the rate of the next run differs from the rate the
 *    current stream was fed with, the stream is finished (0.5 s of silence is fed at its
 *    rate so that the ~0.45 s the recogniser holds back is decoded), its text is kept, and
 *    a new stream takes the rest. The text so far is therefore not lost: transcribe()
 *    returns the kept text, a space, then the new stream's text. A successful
 *    loadSherpaModel() (or an endpoint reset) starts again from "".
 *    At most kMaxPendingRateChanges changes can wait between two transcribe() calls; a
 *    block that would need one more is dropped like a block that finds the ring full.
 *
 *  - Invalid rate (0 or negative). Never passed to the recogniser (it would divide by
 *    zero). transcribe() drains the frames stored at such a rate, drops them and logs a
 *    warning; a loaded model keeps its text and transcribe() returns it as usual.
 *
 *  - No model loaded. transcribe() still drains the waiting audio (so the ring keeps room
 *    for live audio), drops it with a warning and returns "" without calling the
 *    recogniser.
 *
 *  - Decoding only while the recogniser reports a chunk ready. The last ~0.45 s of audio
 *    is not decoded until more audio follows it.
 *
 *  - A flat cost per call. Endpoint detection is off, so the text of one stream would keep
 *    growing, and the decoder rebuilds its best path over the whole stream after every
 *    chunk (the cost per chunk grows with the stream's age). After each transcribe() the
 *    node resets the stream (SherpaOnnxOnlineStreamReset keeps the features not yet
 *    decoded, so no audio is lost or decoded twice) when the result ends in a pause:
 *    kResetBlankChunks chunks since the last token's time, or kAgedResetBlankChunks once
 *    the segment is older than kMaxSegmentSeconds. Token times mark a token's first frame,
 *    and one long sound can be one token: two chunks (0.64 s) of blank after it keep a
 *    reset out of any token of speech, whose pieces are far shorter; one chunk is enough
 *    for the rare reset that bounds an old segment. The segment's text is kept and the
 *    next one is joined with a space only when its first token starts a word (U+2581), as
 *    the recogniser itself joins tokens, so the whole text equals one endless stream's.
 *    Without token times, the decodes since the token count last changed stand in.
 *    The decoded time is the number of decodes times the chunk length, taken as 0.32 s
 *    (32 feature frames, the node's chunk-16 model) and corrected from the recogniser's
 *    segment start times after the first reset.
 */
class SherpaSTTNode::Internals {
public:
    /// Rate assumed until the first setBusFormat().
    static constexpr int32_t kDefaultSampleRate = 48000;
    static constexpr unsigned int kNumberOfChannels = 1;
    /// Rate changes that may wait in the ring between two transcribe() calls.
    static constexpr uint32_t kMaxPendingRateChanges = 16;

    /// Creates the ring (allocates it whole) and loads the default model when its file is
    /// found; see loadDefaultModel(). Throws only what locating the files throws.
    explicit Internals(unsigned int bufferCapacity);
    /// Same, calling sherpa-onnx through `api` (which must outlive this object).
    Internals(unsigned int bufferCapacity, const OnlineRecognizerApi& api);
    /// Logs, releases stream then recogniser, logs, releases the ring.
    ~Internals();

    Internals(const Internals&) = delete;
    Internals& operator=(const Internals&) = delete;

    /// Replaces whatever model is loaded by the one in these files (model, tokens, graph).
    /// True when both the recogniser and its stream were created. Missing files are warned
    /// about and left for sherpa-onnx to refuse (it returns no recogniser then); when all
    /// three exist they are first proven with api.checkFiles (bad contents would end the
    /// process inside sherpa-onnx), and refused files leave the node unloaded.
    bool loadSherpaModel(
        const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath);

    /// See SherpaSTTNode::setBusFormat.
    bool setBusFormat(const AudioBusFormat& format);
    /// See SherpaSTTNode::consume. Audio thread only.
    bool consume(AudioBus& bus);
    /// See SherpaSTTNode::transcribe and the class comment. One consumer thread only.
    std::string transcribe();
    /// See SherpaSTTNode::segments. Same thread as transcribe().
    std::vector<SherpaSTTNode::Segment> segments();

    /// Blank decoding chunks after the last token that end a segment.
    static constexpr uint64_t kResetBlankChunks = 2;
    /// The same once the segment is older than kMaxSegmentSeconds.
    static constexpr uint64_t kAgedResetBlankChunks = 1;
    static constexpr double kMaxSegmentSeconds = 60.0;

    std::atomic<bool> isEnabled{true};
    std::atomic<int32_t> sampleRate{kDefaultSampleRate};
    /// Audio thread only: the buffer-full warning was logged for the current run of drops.
    bool bufferFullWarned = false;
    std::unique_ptr<AudioRingBuffer<float>> inputBuffer;
    unsigned int bufferCapacity;
    SherpaOnnxOnlineRecognizerConfig recognizerConfig{};
    OnlineRecognizerPtr recognizer;
    /// Declared after `recognizer`, so it is also destroyed before it.
    OnlineStreamPtr stream;

private:
    /// A rate change inside the ring: frames from `firstFrame` on (counted over the life of
    /// the ring) were stored at `sampleRate`.
    struct RateChange {
        uint64_t firstFrame;
        int32_t sampleRate;
    };

    void loadDefaultModel();
    void cleanup();
    /// Records a rate change at the producer's position. False when the queue is full.
    bool pushRateChange(int32_t rate);
    /// Feeds one run of frames stored at one rate; drops it with a warning when the rate is
    /// invalid or no model is loaded.
    void feedRun(const float* samples, uint32_t frames, int32_t rate);
    /// Decodes every chunk the recogniser has ready.
    void decodeReady();
    /// Finishes the current stream (flushes its held-back audio), keeps its text and
    /// replaces it by a new stream for `newRate`. False when no new stream could be made
    /// (the node is then unloaded).
    bool restartStream(int32_t newRate);
    /// The current segment of the current stream, read from the recogniser.
    struct SegmentResult {
        std::string text;
        std::vector<std::string> tokens;
        std::vector<float> times; ///< empty when the recogniser gives none
        double startSeconds = 0.0; ///< segment start within the stream
        bool hasStart = false;
    };
    SegmentResult readSegment();
    /// `current` as a segment in node time; std::nullopt when it holds no text.
    std::optional<SherpaSTTNode::Segment> toSegment(const SegmentResult& current) const;
    /// The kept text followed by `current`'s text, with the separator the join needs.
    std::string joinedText(const SegmentResult& current) const;
    /// Moves `current` into the kept text and segments.
    void keepSegment(const SegmentResult& current);
    /// After a transcribe(): resets the stream when `current` ends in a long enough pause.
    void maybeResetStream(const SegmentResult& current);
    /// Forgets all text and times (a new model or an endpoint).
    void clearText();
    /// Zeroes the decode counters of the current segment (after a reset at a pause).
    void forgetSegmentProgress();
    /// Zeroes every counter of the current stream (a new stream).
    void forgetStreamProgress();
    /// After a recogniser call threw: logs `what` as one error line and unloads the model.
    void abandonModel(const std::string& what);

    const OnlineRecognizerApi* api;

    // Producer side of the rate bookkeeping (audio thread only).
    uint64_t producedFrames = 0;
    int32_t producedRate = 0; ///< 0: nothing stored yet

    // Rate changes, single producer single consumer; each side writes only its counter.
    // Release on a counter store publishes the entry written before it; the producer pushes
    // before it produces the block, so the ring's own publication of the frames also makes
    // the entry visible to a consumer that sees the frames.
    std::array<RateChange, kMaxPendingRateChanges> rateChanges{};
    std::atomic<uint32_t> rateChangesWritten{0};
    std::atomic<uint32_t> rateChangesRead{0};

    // Consumer side (the transcribing thread only).
    uint64_t consumedFrames = 0;
    int32_t consumedRate = 0;
    /// Rate the current stream has been fed with; 0 while it has been fed nothing.
    int32_t streamSampleRate = 0;
    /// Text of the segments finished (by resets and rate changes) since the model was loaded.
    std::string keptText;
    /// The next non-empty segment follows a rate change: joined with a space.
    bool spaceBeforeNext = false;
    std::vector<SherpaSTTNode::Segment> finishedSegments;
    /// Node time, in seconds, at which the current stream started.
    double streamOffsetSeconds = 0.0;
    /// Frames fed to the current stream, at streamSampleRate.
    uint64_t streamFedFrames = 0;
    uint64_t streamDecodes = 0;
    uint64_t segmentDecodes = 0;
    /// Decodes of the current stream before its current segment began.
    uint64_t decodesBeforeSegment = 0;
    double chunkSeconds = kDefaultChunkSeconds;
    /// Without token times: the token count at the last read and the decodes then.
    int32_t lastTokenCount = 0;
    uint64_t segmentDecodesAtCountChange = 0;

    static constexpr double kDefaultChunkSeconds = 0.32;
};

} // namespace ombrix::extensions::sherpa
