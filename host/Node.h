#pragma once

#include <string>

#include "AudioBus.h"
#include "OmbrixObject.h"

namespace ombrix {

// A node of an audio graph.
class OMBRIX_SDK_API Node : public OmbrixObject {
public:
    explicit Node(const std::string& name = "node");
    ~Node() override;

    Result<OXAny> getValue(const std::string& key) override;
    // Registered handlers answer their actions; any other name gives an error
    // result whose message names the action.
    Result<OXAny> callAction(const std::string& name, const OXAnyMap& params) override;
};

// A node with audio buses. The graph calls the bus-format and processing
// operations of the subclasses below; onGraphStart/onGraphStop bracket a run.
class OMBRIX_SDK_API AudioNode : public Node {
public:
    AudioNode(unsigned numberOfInputBuses, unsigned numberOfOutputBuses);
    ~AudioNode() override;

    virtual std::string getDisplayName();
    virtual void onGraphStart();
    virtual void onGraphStop();

    unsigned getNumberOfInputBuses() const;
    unsigned getNumberOfOutputBuses() const;

private:
    unsigned inputBusCount;
    unsigned outputBusCount;
};

// A source with one output bus: the list forms pass bus 0 to the single-bus forms.
class OMBRIX_SDK_API SingleBusAudioSourceNode : public AudioNode {
public:
    SingleBusAudioSourceNode(unsigned numberOfInputBuses = 0, unsigned numberOfOutputBuses = 1);
    ~SingleBusAudioSourceNode() override;

    virtual bool setBusFormats(AudioBusFormatList& formats);
    virtual bool produce(AudioBusList& buses);

    virtual bool setBusFormat(AudioBusFormat& format) = 0;
    // Fills one block of the bus; called on the audio thread.
    virtual bool produce(AudioBus& bus) = 0;
};

// A sink with one input bus.
class OMBRIX_SDK_API SingleBusAudioSinkNode : public AudioNode {
public:
    SingleBusAudioSinkNode();
    ~SingleBusAudioSinkNode() override;

    virtual bool setBusFormats(AudioBusFormatList& formats);
    virtual bool consume(AudioBusList& buses);

    virtual bool setBusFormat(AudioBusFormat& format) = 0;
    // Takes one block of the bus; called on the audio thread.
    virtual bool consume(AudioBus& bus) = 0;
};

} // namespace ombrix
