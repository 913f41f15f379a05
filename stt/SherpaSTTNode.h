#pragma once

#include <memory>
#include <string>

#include "host/AudioBus.h"
#include "host/Node.h"
#include "host/OXAny.h"

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
 * The node is not registered with any factory; an application that wants it constructs it
 * itself. The details of the recogniser, of sample-rate changes and of the no-model case
 * are documented on SherpaSTTNode::Internals (stt/SherpaSTTNodeInternals.h).
 */
class SherpaSTTNode : public SingleBusAudioSinkNode {
public:
    class Internals;

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

private:
    std::unique_ptr<Internals> internals;
};

} // namespace ombrix::extensions::sherpa
