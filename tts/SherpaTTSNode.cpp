#include "tts/SherpaTTSNode.h"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "host/Logger.h"
#include "tts/SherpaTTSNodeInternals.h"

namespace ombrix::extensions::sherpa {

namespace {

constexpr unsigned kNumberOfInputBuses = 0;
constexpr unsigned kNumberOfOutputBuses = 1;
constexpr unsigned kMonoChannels = 1;
constexpr unsigned kStereoChannels = 2;
constexpr const char* kDefaultLanguage = "en";
constexpr const char* kTextConfigurationKey = "text";
/// Read before the internals exist: false skips the default voice's load.
constexpr const char* kLoadDefaultVoiceKey = "loadDefaultVoice";
/// Speaker and speed of the node's speech (Internals::configureSpeech).
constexpr const char* kSpeakerIdKey = "speakerId";
constexpr const char* kSpeedKey = "speed";

/// The "loadDefaultVoice" entry: true when absent, and (with a warning) when not a boolean.
bool defaultVoiceWanted(const OXAnyMap& config)
{
    if (!config.hasKey(kLoadDefaultVoiceKey)) {
        return true;
    }
    const OXAny value = config.at(kLoadDefaultVoiceKey);
    if (value.getType() != OXAny::Type::Bool) {
        Logger::warning(std::string("[SherpaTTSNode] Configuration key '") + kLoadDefaultVoiceKey
            + "' must be a boolean; the default voice is loaded");
        return true;
    }
    return value.convert<bool>();
}

constexpr std::array<const char*, 3> kDeclaredActions
    = {"synthesize", "appendStreamingText", "clearStreamingBuffer"};
constexpr std::array<const char*, 2> kDeclaredEvents = {"finished", "synthesisStarted"};

} // namespace

SherpaTTSNode::SherpaTTSNode(const OXAnyMap& config)
    : SingleBusAudioSourceNode(kNumberOfInputBuses, kNumberOfOutputBuses)
    , internals(std::make_unique<Internals>(this, kDefaultLanguage, defaultVoiceWanted(config)))
{
    // Before the configured text, which is spoken with them.
    internals->configureSpeech(config);
    for (const auto& [key, value] : config) {
        if (key == kTextConfigurationKey) {
            internals->enqueueText(value.convert<std::string>());
        } else if (key == kLoadDefaultVoiceKey || key == kSpeakerIdKey || key == kSpeedKey) {
            // Already applied: the default voice when the internals were created, speaker
            // and speed by configureSpeech.
        } else {
            Logger::error("Unknown parameter: " + key);
        }
    }

    // The type description is the one place where actions and events are declared.
    for (const char* name : kDeclaredActions) {
        const NodeTypeInfo info = getNodeTypeInfo();
        if (!info.actions.hasKey(name)) {
            throw std::runtime_error(std::string("[NodeTypeInfo] Action key '") + name
                + "' not found for node type '" + info.getFQTypeName() + "'.");
        }
        registerAction(name, info.actions.at(name).convert<OXAnyMap>(), ActionHandler());
    }
    for (const char* name : kDeclaredEvents) {
        const NodeTypeInfo info = getNodeTypeInfo();
        if (!info.events.hasKey(name)) {
            throw std::runtime_error(std::string("[NodeTypeInfo] Event key '") + name
                + "' not found for node type '" + info.getFQTypeName() + "'.");
        }
        registerEvent(name, info.events.at(name).convert<OXAnyMap>());
    }
}

SherpaTTSNode::~SherpaTTSNode()
{
    Logger::info("[SherpaTTSNode] Destructor called");
    // The worker may still run listeners that call this node until it is joined, so the
    // internals are shut down while the pointer to them is still valid.
    internals->shutdown();
    internals.reset();
}

Result<OXAny> SherpaTTSNode::callAction(const std::string& name, const OXAnyMap& params)
{
    if (name == "synthesize") {
        const std::string text = params.at("text").convert<std::string>();
        Logger::debug("[SherpaTTSNode] Action 'synthesize' called with text: " + text);
        internals->enqueueText(text);
        return Result<OXAny>::success(OXAny());
    }
    if (name == "synthesizeWith") {
        // Like "synthesize", with a speaker and speed for this text; refused (one error
        // line, nothing queued) when either is out of range for the loaded voice.
        const std::string text = params.at("text").convert<std::string>();
        std::string problem;
        const std::optional<SpeechSettings> settings = internals->speechSettingsFor(params, problem);
        if (!settings) {
            Logger::error("[SherpaTTSNode] Action 'synthesizeWith' refused: " + problem);
            return Result<OXAny>::error(problem);
        }
        Logger::debug("[SherpaTTSNode] Action 'synthesizeWith' called with text: " + text);
        internals->enqueueText(text, *settings);
        return Result<OXAny>::success(
            OXAny(OXAnyMap{{kSpeakerIdKey, OXAny(settings->speakerId)}, {kSpeedKey, OXAny(settings->speed)},
                {"speakers", OXAny(std::max(1, internals->voiceSpeakerCount.load()))}}));
    }
    if (name == "appendStreamingText") {
        const std::string token = params.at("token").convert<std::string>();
        const bool isFinal = params.get<bool>("isFinal", false);
        Logger::debug("[SherpaTTSNode] Action 'appendStreamingText' called with token: " + token);
        internals->appendStreamingText(token, isFinal);
        return Result<OXAny>::success(OXAny());
    }
    if (name == "clearStreamingBuffer") {
        Logger::debug("[SherpaTTSNode] Action 'clearStreamingBuffer' called");
        internals->clearStreamingBuffer();
        return Result<OXAny>::success(OXAny());
    }
    if (name == "stop") {
        Logger::debug("[SherpaTTSNode] Action 'stop' called");
        internals->stop();
        return Result<OXAny>::success(OXAny());
    }
    if (name == "loadModel") {
        const std::string modelPath = params.at("modelPath").convert<std::string>();
        const std::string tokensPath = params.at("tokensPath").convert<std::string>();
        const std::string dataPath = params.at("dataPath").convert<std::string>();
        return Result<OXAny>::success(OXAny(internals->loadModel(modelPath, tokensPath, dataPath)));
    }
    return Node::callAction(name, params);
}

bool SherpaTTSNode::setBusFormat(AudioBusFormat& format)
{
    const unsigned channels = format.getNumberOfChannels();
    if (channels != kMonoChannels && channels != kStereoChannels) {
        Logger::error("[SherpaTTSNode] Sherpa TTS only supports mono or stereo audio.");
        return false;
    }
    internals->setSampleRate(format.getSampleRate());
    if (internals->resampler) {
        // Lets the resampler allocate and warm up here rather than in the first audio block.
        // It converts one channel only: every channel carries the same signal (produce).
        internals->resampler->prepare(format.getSampleRate(), kMonoChannels);
    }
    return true;
}

bool SherpaTTSNode::produce(AudioBus& bus)
{
    if (!internals->resampler) {
        return internals->generateAudio(bus);
    }
    AudioBuffer<float>* const buffer = bus.getBuffer();
    AudioBusArray<0> inputs;
    AudioBusArray<1> outputs(AudioBusFormat(bus.getFormat().getSampleRate(), kMonoChannels));
    if (buffer == nullptr || buffer->getNumberOfChannels() <= kMonoChannels) {
        outputs.getBus(0).setBuffer(buffer);
        return internals->resampler->process(inputs, outputs);
    }
    // Every channel carries the same mono signal: it is converted once, into channel 0 (a
    // one-channel view of the node's buffer, no allocation), and copied to the others.
    float* const firstChannel[kMonoChannels] = {buffer->getWritePointer(0)};
    AudioBuffer<float> mono(
        firstChannel, kMonoChannels, buffer->getNumberOfFrames(), false, buffer->getSampleRate());
    outputs.getBus(0).setBuffer(&mono);
    const bool produced = internals->resampler->process(inputs, outputs);
    for (unsigned channel = 1; channel < buffer->getNumberOfChannels(); ++channel) {
        std::copy_n(mono.getReadPointer(0), mono.getNumberOfFrames(), buffer->getWritePointer(channel));
    }
    return produced;
}

void SherpaTTSNode::synthesize(const std::string& text) const
{
    internals->enqueueText(text);
}

void SherpaTTSNode::appendStreamingText(const std::string& text, bool isFinal) const
{
    internals->appendStreamingText(text, isFinal);
}

void SherpaTTSNode::clearStreamingBuffer() const
{
    internals->clearStreamingBuffer();
}

void SherpaTTSNode::stop() const
{
    internals->stop();
}

bool SherpaTTSNode::loadModel(
    const std::string& modelPath, const std::string& tokensPath, const std::string& dataPath)
{
    return internals->loadModel(modelPath, tokensPath, dataPath);
}

} // namespace ombrix::extensions::sherpa
