#include "host/Node.h"

namespace ombrix {

// ---- Node -------------------------------------------------------------------

Node::Node(const std::string& name)
    : OmbrixObject(name)
{
}

Node::~Node() = default;

Result<OXAny> Node::getValue(const std::string& key)
{
    return OmbrixObject::getValue(key);
}

Result<OXAny> Node::callAction(const std::string& name, const OXAnyMap& params)
{
    return OmbrixObject::callAction(name, params);
}

// ---- AudioNode --------------------------------------------------------------

AudioNode::AudioNode(unsigned numberOfInputBuses, unsigned numberOfOutputBuses)
    : inputBusCount(numberOfInputBuses)
    , outputBusCount(numberOfOutputBuses)
{
}

AudioNode::~AudioNode() = default;

std::string AudioNode::getDisplayName()
{
    return getObjectName();
}

void AudioNode::onGraphStart()
{
}

void AudioNode::onGraphStop()
{
}

unsigned AudioNode::getNumberOfInputBuses() const
{
    return inputBusCount;
}

unsigned AudioNode::getNumberOfOutputBuses() const
{
    return outputBusCount;
}

// ---- SingleBusAudioSourceNode -------------------------------------------------

SingleBusAudioSourceNode::SingleBusAudioSourceNode(unsigned numberOfInputBuses, unsigned numberOfOutputBuses)
    : AudioNode(numberOfInputBuses, numberOfOutputBuses)
{
}

SingleBusAudioSourceNode::~SingleBusAudioSourceNode() = default;

bool SingleBusAudioSourceNode::setBusFormats(AudioBusFormatList& formats)
{
    if (formats.getNumberOfFormats() == 0) {
        return false;
    }
    return setBusFormat(formats.getFormat(0));
}

bool SingleBusAudioSourceNode::produce(AudioBusList& buses)
{
    if (buses.getNumberOfBuses() == 0) {
        return false;
    }
    return produce(buses.getBus(0));
}

// ---- SingleBusAudioSinkNode ---------------------------------------------------

SingleBusAudioSinkNode::SingleBusAudioSinkNode()
    : AudioNode(1, 0)
{
}

SingleBusAudioSinkNode::~SingleBusAudioSinkNode() = default;

bool SingleBusAudioSinkNode::setBusFormats(AudioBusFormatList& formats)
{
    if (formats.getNumberOfFormats() == 0) {
        return false;
    }
    return setBusFormat(formats.getFormat(0));
}

bool SingleBusAudioSinkNode::consume(AudioBusList& buses)
{
    if (buses.getNumberOfBuses() == 0) {
        return false;
    }
    return consume(buses.getBus(0));
}

} // namespace ombrix
