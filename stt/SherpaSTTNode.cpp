#include "ombrix/sherpa/SherpaSTTNode.h"

#include "host/Logger.h"
#include "stt/SherpaSTTNodeInternals.h"

namespace ombrix::extensions::sherpa {

SherpaSTTNode::SherpaSTTNode(const OXAnyMap& /*config*/)
    : SingleBusAudioSinkNode()
    , internals(std::make_unique<Internals>(kInputBufferFrames))
{
}

SherpaSTTNode::SherpaSTTNode()
    : SherpaSTTNode(OXAnyMap())
{
}

SherpaSTTNode::~SherpaSTTNode()
{
    Logger::info("[SherpaSTTNode] Destructor called");
    // The internals go next, with the member: stream, recogniser, then the ring.
}

bool SherpaSTTNode::setBusFormat(AudioBusFormat& format)
{
    return internals->setBusFormat(format);
}

bool SherpaSTTNode::consume(AudioBus& bus)
{
    return internals->consume(bus);
}

bool SherpaSTTNode::getIsEnabled() const
{
    return internals->isEnabled.load();
}

void SherpaSTTNode::setIsEnabled(bool enabled) const
{
    internals->isEnabled.store(enabled);
}

bool SherpaSTTNode::loadModel(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath)
{
    return internals->loadSherpaModel(modelPath, tokensPath, graphPath);
}

std::string SherpaSTTNode::transcribe() const
{
    return internals->transcribe();
}

std::vector<SherpaSTTNode::Segment> SherpaSTTNode::segments() const
{
    return internals->segments();
}

} // namespace ombrix::extensions::sherpa
