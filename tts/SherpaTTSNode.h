#pragma once

#include <memory>
#include <string>

#include "host/Node.h"
#include "host/NodeTypeInfo.h"
#include "host/OXAny.h"
#include "host/Result.h"

namespace ombrix::extensions::sherpa {

// Text-to-speech source node ("Sherpa.TTS"). Speaks queued texts with a
// sherpa-onnx VITS voice on a worker thread of its own and plays the audio
// on the host's audio thread, converted to the graph's rate.
class SherpaTTSNode : public SingleBusAudioSourceNode {
public:
    class Internals;

    // Loads the default English voice (if installed), starts the worker,
    // queues the configuration's "text" and declares actions and events.
    // Throws std::runtime_error when the type description lacks one of them.
    explicit SherpaTTSNode(const OXAnyMap& config);
    ~SherpaTTSNode() override;

    Result<OXAny> callAction(const std::string& name, const OXAnyMap& params) override;

    using SingleBusAudioSourceNode::produce;
    using SingleBusAudioSourceNode::setBusFormats;
    bool setBusFormat(AudioBusFormat& format) override;
    // Audio thread: fills one block.
    bool produce(AudioBus& bus) override;

    void synthesize(const std::string& text) const;
    void appendStreamingText(const std::string& text, bool isFinal) const;
    void clearStreamingBuffer() const;
    /// Same as the "stop" action: drops queued and buffered text and ends the speech
    /// under way (synthesis and playback); returns at once.
    void stop() const;
    bool loadModel(const std::string& modelPath, const std::string& tokensPath, const std::string& dataPath);

    // The type description that the factory registers.
    static NodeTypeInfo getNodeTypeInfo();

    // Tests only: the node's private state (tts/SherpaTTSNodeInternals.h).
    Internals& getInternalsForTesting() const { return *internals; }

private:
    std::unique_ptr<Internals> internals;
};

} // namespace ombrix::extensions::sherpa
