#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <ombrix/AudioBus.h>
#include <ombrix/Node.h>
#include <ombrix/OXAny.h>

namespace ombrix::extensions::sherpa {

/**
 * Speech-to-text sink node: stores the mono audio the graph hands it, and turns the stored
 * audio into text with a streaming sherpa-onnx recogniser when asked.
 *
 * Threads: the host's audio thread calls consume(); one application thread at a time calls
 * transcribe(); loadModel(), transcribe() and destruction must not overlap (the caller
 * serialises them); setBusFormat(), setIsEnabled() and getIsEnabled() are safe from any
 * thread. Audio crosses from the audio thread to the transcribing thread through a
 * lock-free single-producer single-consumer ring of 480000 frames (10 s at 48000 Hz).
 *
 * The node is not registered with any factory and not exported from the plug-in: an
 * application compiles it in (library OmbrixSherpaSTT, CMake target Ombrix::SherpaSTT,
 * pkg-config ombrix-sherpa-stt) and constructs it itself. This header needs only the SDK
 * headers of the same installation.
 *
 * Recogniser: a streaming Zipformer2 CTC model with an HLG decoding graph; the default
 * files are share/files/ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort,
 * share/files/tokens.txt and share/files/HLG.fst below the parent of the executable's
 * directory, else Models/ and files/ below the working directory. Endpoint detection is
 * off, so the text of one stream keeps growing, and the recogniser decodes the last
 * ~0.45 s it was fed only once more audio follows: feed about 0.6 s of silence after the
 * end of the speech before the last transcribe(). The rate of each stored block is kept:
 * audio stored before a rate change is decoded at its own rate, on a new stream, and the
 * texts are joined with a space. With no model loaded, transcribe() drains the stored
 * audio and returns "".
 *
 * Long streams: the recogniser's cost per decoded chunk grows with the length of its
 * stream, so the node restarts decoding (keeping the text, and the audio not yet decoded)
 * where the result ends in a pause: at least two decoding chunks (0.64 s) after the last
 * token, or one chunk once the stream is older than 60 s. transcribe() still returns the
 * whole text; pieces are joined with a space only where the next piece starts a word
 * (its first token begins with U+2581).
 *
 * Model files are proven in a separate process (the program ombrix-sherpa-check) before
 * they are loaded, since bad contents end the process inside sherpa-onnx. A host that
 * compiles the node in finds it next to the sherpa-onnx library of the installation it
 * links (<prefix>/lib), next to its own executable, or at the path in the environment
 * variable OMBRIX_SHERPA_CHECKER.
 */
class SherpaSTTNode : public SingleBusAudioSinkNode {
public:
    class Internals;

    /// One recognised token (a model piece; a leading U+2581 marks a word start).
    struct Token {
        std::string text;
        /// Seconds since the model was loaded; absent when the recogniser gives no times.
        std::optional<double> time;
    };

    /// A stretch of the text between two points where the node restarted decoding.
    struct Segment {
        /// Seconds since the model was loaded: the first token's time and the last token's
        /// time plus one output frame (0.04 s); without token times, the decoded stretch.
        double start = 0.0;
        double end = 0.0;
        std::string text;
        std::vector<Token> tokens;
    };

    /// Ring capacity of every node, in frames.
    static constexpr unsigned int kInputBufferFrames = 480000;

    /// Builds the node and loads the default model if it is installed (a missing model only
    /// logs). The configuration map is not read. Throws what locating the default files
    /// throws (std::runtime_error when the executable's path cannot be read).
    explicit SherpaSTTNode(const OXAnyMap& config);
    SherpaSTTNode();
    ~SherpaSTTNode() override;

    SherpaSTTNode(const SherpaSTTNode&) = delete;
    SherpaSTTNode& operator=(const SherpaSTTNode&) = delete;

    using SingleBusAudioSinkNode::consume;
    using SingleBusAudioSinkNode::setBusFormats;

    /// Takes over the format's sample rate (always, also when refusing the format) for the
    /// audio stored from then on; accepts only one channel. Any thread; no allocation
    /// unless it logs the refusal.
    bool setBusFormat(AudioBusFormat& format) override;

    /// Audio thread. Stores the whole block, or drops the whole block when the ring cannot
    /// take it (one warning per run of dropped blocks) or when the node is disabled
    /// (silently). True when stored. Never allocates or locks while storing.
    bool consume(AudioBus& bus) override;

    bool getIsEnabled() const;
    /// false stops storing audio from the next block on; stored audio stays.
    void setIsEnabled(bool enabled) const;

    /// Replaces the loaded model (model, tokens, HLG graph paths). False leaves no model
    /// loaded. Not concurrent with transcribe().
    bool loadModel(const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath);

    /// Feeds all audio waiting in the ring to the recogniser and returns the whole text
    /// recognised since the model was loaded; "" at once when no audio is waiting.
    /// Allocates one buffer of the waiting frames; decodes on the calling thread.
    std::string transcribe() const;

    /// The text recognised so far as segments with times, in order; their texts joined
    /// make what transcribe() last returned. Reads only what is decoded (the ring is not
    /// drained). Empty with no model, before any audio was decoded and after a failed
    /// loadModel(). Same thread rules as transcribe(); allocates the result.
    std::vector<Segment> segments() const;

private:
    std::unique_ptr<Internals> internals;
};

} // namespace ombrix::extensions::sherpa
