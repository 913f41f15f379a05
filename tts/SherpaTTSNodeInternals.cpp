#include "tts/SherpaTTSNodeInternals.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iterator>
#include <utility>

#include "host/Logger.h"
#include "models/ModelFile.h"
#include "models/ModelFileChecker.h"
#include "tts/EspeakProcessState.h"
#include "tts/PhonemeDataPath.h"
#include "tts/StreamingTextSegmenter.h"
#include "tts/VoiceRateConverter.h"

namespace ombrix::extensions::sherpa {

namespace {

constexpr char kAsterisk = '*';
/// Configuration keys, also the parameters of "synthesizeWith".
constexpr const char* kSpeakerIdKey = "speakerId";
constexpr const char* kSpeedKey = "speed";

std::string decimalAddress(const void* address)
{
    return std::to_string(reinterpret_cast<std::uintptr_t>(address));
}

// Throwing form on purpose: "not found" is false, any other error (permission on a
// parent directory, loop) leaves the caller as an exception.
bool pathExists(const std::string& path)
{
    return std::filesystem::exists(std::filesystem::path(path));
}

std::int64_t millisecondsSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

/// The text as the engine gets it: without asterisks, and with NUL bytes as spaces (the
/// engine takes a C string, which would end at the first NUL).
std::string spokenForm(const std::string& text)
{
    std::string spoken;
    spoken.reserve(text.size());
    for (const char c : text) {
        if (c != kAsterisk) {
            spoken.push_back(c == '\0' ? ' ' : c);
        }
    }
    return spoken;
}

} // namespace

// ---- GeneratedAudio -------------------------------------------------------------------

SherpaTTSNode::Internals::GeneratedAudio::GeneratedAudio(std::vector<float> firstChunk)
{
    first.samples = std::move(firstChunk);
    sampleCount.store(static_cast<int32_t>(first.samples.size()));
}

SherpaTTSNode::Internals::GeneratedAudio::~GeneratedAudio()
{
    if (auto hook = TestHooks::onItemFreed.load(std::memory_order_relaxed)) {
        hook(this);
    }
    // Iteratively: a long text has thousands of chunks, too deep for recursive release.
    std::unique_ptr<AudioChunk> next = std::move(first.ownedNext);
    while (next) {
        std::unique_ptr<AudioChunk> after = std::move(next->ownedNext);
        next = std::move(after);
    }
}

void SherpaTTSNode::Internals::GeneratedAudio::appendChunk(std::vector<float> chunkSamples)
{
    auto chunk = std::make_unique<AudioChunk>();
    chunk->samples = std::move(chunkSamples);
    AudioChunk* const published = chunk.get();
    const auto added = static_cast<int32_t>(published->samples.size());
    lastChunk->ownedNext = std::move(chunk);
    lastChunk->next.store(published);
    lastChunk = published;
    sampleCount.fetch_add(added);
}

int32_t SherpaTTSNode::Internals::GeneratedAudio::play(float* output, int32_t frames, bool add)
{
    int32_t done = 0;
    while (done < frames) {
        const std::vector<float>& chunkSamples = playChunk->samples;
        if (playOffset < chunkSamples.size()) {
            const auto count = static_cast<int32_t>(std::min<std::size_t>(
                static_cast<std::size_t>(frames - done), chunkSamples.size() - playOffset));
            const float* const input = chunkSamples.data() + playOffset;
            if (add) {
                for (int32_t i = 0; i < count; ++i) {
                    output[done + i] += input[i];
                }
            } else {
                std::copy_n(input, count, output + done);
            }
            playOffset += static_cast<std::size_t>(count);
            done += count;
            continue;
        }
        AudioChunk* const next = playChunk->next.load();
        if (next == nullptr) {
            break;
        }
        playChunk = next;
        playOffset = 0;
    }
    playPosition.fetch_add(done);
    return done;
}

bool SherpaTTSNode::Internals::GeneratedAudio::playedToEnd() const
{
    // Completion is stored after the last chunk is linked, so it is read first.
    if (!generationComplete.load()) {
        return false;
    }
    const AudioChunk* chunk = playChunk;
    std::size_t offset = playOffset;
    while (true) {
        if (offset < chunk->samples.size()) {
            return false;
        }
        const AudioChunk* const next = chunk->next.load();
        if (next == nullptr) {
            return true;
        }
        chunk = next;
        offset = 0;
    }
}

void SherpaTTSNode::Internals::GeneratedAudio::rewind()
{
    playChunk = &first;
    playOffset = 0;
    playPosition.store(0);
}

std::vector<float> SherpaTTSNode::Internals::GeneratedAudio::publishedSamples() const
{
    std::vector<float> all;
    all.reserve(static_cast<std::size_t>(std::max(0, sampleCount.load())));
    for (const AudioChunk* chunk = &first; chunk != nullptr; chunk = chunk->next.load()) {
        all.insert(all.end(), chunk->samples.begin(), chunk->samples.end());
    }
    return all;
}

// ---- construction and teardown --------------------------------------------------------

SherpaTTSNode::Internals::Internals(SherpaTTSNode* owner, const std::string& language, bool withDefaultVoice)
    : node(owner)
    , finishedEventData(OXAnyMap())
{
    if (withDefaultVoice) {
        loadDefaultVoice(language);
    }
    workerThread = std::thread([this] { workerLoop(); });
}

SherpaTTSNode::Internals::~Internals()
{
    shutdown();
}

void SherpaTTSNode::Internals::shutdown()
{
    if (isShutDown) {
        return;
    }
    isShutDown = true;
    Logger::info("[SherpaTTSNode] Destructor called - starting cleanup");
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopRequested = true;
    }
    queueCondition.notify_all();
    if (workerThread.joinable()) {
        workerThread.join();
    }
    cleanup();
    Logger::info("[SherpaTTSNode] Destructor completed");
}

void SherpaTTSNode::Internals::loadDefaultVoice(const std::string& language)
{
    const std::string defaultModelPath = getTTSModelFilePath(language);
    const std::string defaultTokensPath = getTTSTokensFilePath(language);
    const std::string defaultDataDirPath = getTTSDataDirPath(language);
    Logger::debug("[SherpaTTSNode] Attempting to load TTS model for language: " + language);
    Logger::debug("[SherpaTTSNode] Model path: " + defaultModelPath);
    Logger::debug("[SherpaTTSNode] Tokens path: " + defaultTokensPath);
    Logger::debug("[SherpaTTSNode] Data dir path: " + defaultDataDirPath);
    if (!pathExists(defaultModelPath)) {
        Logger::error("[SherpaTTSNode] Model file does not exist at path: " + defaultModelPath);
        return;
    }
    Logger::debug("[SherpaTTSNode] Model file exists, attempting to load...");
    if (loadModel(defaultModelPath, defaultTokensPath, defaultDataDirPath)) {
        // No other thread knows this object yet, so tts is read without the lock.
        Logger::info("[SherpaTTSNode] Sherpa model loaded successfully: " + defaultModelPath
            + ", tts=" + (tts ? "valid" : "null") + ", this=" + decimalAddress(this));
    } else {
        Logger::error("[SherpaTTSNode] Failed to load Sherpa model.");
    }
}

void SherpaTTSNode::Internals::cleanup()
{
    cleanup(CleanupScope::Teardown);
}

// Teardown (the worker has ended and the host no longer calls produce): everything goes.
// Reload (loadModel, engineMutex held, the graph may be running): the audio thread may be
// inside generateAudio, possibly inside the resampler's process(), at this very moment.
// So the resampler stays (it belongs to the graph format, not to the voice), the audio
// thread is asked to stop its item instead of having the pointer cleared under it, and
// items it may still touch are left to a later reclamation.
void SherpaTTSNode::Internals::cleanup(CleanupScope scope)
{
    Logger::info("[SherpaTTSNode] Cleaning up resources...");
    Logger::info("[SherpaTTSNode] Clearing atomic pointers");
    if (scope == CleanupScope::Teardown) {
        playingAudio.store(nullptr);
        latestAudio.store(nullptr);
        adoptingAudio.store(nullptr);
        audioIsPlaying.store(false);
        if (resampler) {
            Logger::info("[SherpaTTSNode] Freeing resampler");
            resampler.reset();
        }
        Logger::info(
            "[SherpaTTSNode] Clearing " + std::to_string(generatedAudio.size()) + " generated audio items");
        while (!generatedAudio.empty()) {
            generatedAudio.pop_front();
        }
    } else {
        latestAudio.store(nullptr);
        dropPlayingRequested.store(true);
        const std::size_t freed = reclaimUnusedAudio();
        Logger::info("[SherpaTTSNode] Clearing " + std::to_string(freed) + " generated audio items");
    }
    if (tts) {
        Logger::info("[SherpaTTSNode] Freeing TTS model");
        tts.reset();
        voiceSpeakerCount.store(0);
    }
    Logger::info("[SherpaTTSNode] Cleanup completed");
}

// ---- synthesis worker -----------------------------------------------------------------

void SherpaTTSNode::Internals::enqueueText(const std::string& text)
{
    enqueueText(text, configuredSpeech);
}

void SherpaTTSNode::Internals::enqueueText(const std::string& text, const SpeechSettings& settings)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        textQueue.push_back(QueuedText{text, settings});
    }
    queueCondition.notify_one();
}

void SherpaTTSNode::Internals::workerLoop()
{
    for (;;) {
        QueuedText text;
        {
            std::unique_lock<std::mutex> lock(queueMutex);
            if (stopRequested) {
                return;
            }
            while (textQueue.empty()) {
                queueCondition.wait(lock);
                if (stopRequested) {
                    return;
                }
            }
            text = std::move(textQueue.front());
            textQueue.pop_front();
            synthesisActive = true;
            synthesisStopCount = stopCount.load();
            ++synthesisSerial;
            synthesisStopState.store(SynthesisStopState::taken);
        }
        synthesizeNow(text);
        if (auto hook = TestHooks::onSynthesisEnded.load(std::memory_order_relaxed)) {
            hook(latestAudio.load());
        }
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            synthesisActive = false;
        }
    }
}

void SherpaTTSNode::Internals::stop()
{
    bool underWay = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        textQueue.clear();
        underWay = synthesisActive;
        if (underWay) {
            // Before its announcement the text is simply dropped; after it, the first stop
            // owes it one "finished", and later stops of the same text owe nothing.
            auto state = SynthesisStopState::taken;
            if (!synthesisStopState.compare_exchange_strong(state, SynthesisStopState::cancelled)
                && state == SynthesisStopState::announced
                && synthesisStopState.compare_exchange_strong(state, SynthesisStopState::stopped)) {
                stoppedSynthesisSerial.store(synthesisSerial);
            }
        }
        stopCount.fetch_add(1);
    }
    std::lock_guard<std::mutex> lock(streamingMutex);
    streamingBuffer.clear();
}

// Reads adoptingAudio before playingAudio: the audio thread stores an item into
// playingAudio before it clears adoptingAudio, so an item it is adopting is seen in one
// of the two whatever the interleaving (all accesses are sequentially consistent), and an
// item it announced after this read cannot be one it will use (it re-reads latestAudio
// after announcing, and latestAudio no longer designates an item that is freed here).
std::size_t SherpaTTSNode::Internals::reclaimUnusedAudio()
{
    const GeneratedAudio* const adopting = adoptingAudio.load();
    const GeneratedAudio* const playing = playingAudio.load();
    const GeneratedAudio* const latest = latestAudio.load();
    std::size_t freed = 0;
    for (auto it = generatedAudio.begin(); it != generatedAudio.end();) {
        const GeneratedAudio* item = it->get();
        if (item != latest && item != playing && item != adopting) {
            it = generatedAudio.erase(it);
            ++freed;
        } else {
            ++it;
        }
    }
    return freed;
}

void SherpaTTSNode::Internals::markGenerated()
{
    // A stop that already claimed the text keeps its claim (its "finished" is owed); else
    // later stops leave the finished text to the audio path.
    auto announced = SynthesisStopState::announced;
    synthesisStopState.compare_exchange_strong(announced, SynthesisStopState::generated);
}

void SherpaTTSNode::Internals::configureSpeech(const OXAnyMap& configuration)
{
    if (configuration.hasKey(kSpeakerIdKey)) {
        const OXAny value = configuration.at(kSpeakerIdKey);
        if (const std::optional<int32_t> speaker = parseSpeakerId(value)) {
            configuredSpeech.speakerId = *speaker;
        } else {
            Logger::warning(std::string("[SherpaTTSNode] Configuration key '") + kSpeakerIdKey
                + "' must be a speaker number (0, 1, ...), not " + describeSettingValue(value)
                + "; speaker 0 speaks");
        }
    }
    if (configuration.hasKey(kSpeedKey)) {
        const OXAny value = configuration.at(kSpeedKey);
        if (const std::optional<float> speed = parseSpeechSpeed(value)) {
            configuredSpeech.speed = *speed;
        } else {
            Logger::warning(std::string("[SherpaTTSNode] Configuration key '") + kSpeedKey
                + "' must be a number from 0.25 to 4, not " + describeSettingValue(value)
                + "; speed 1 is used");
        }
    }
}

std::optional<SpeechSettings> SherpaTTSNode::Internals::speechSettingsFor(
    const OXAnyMap& params, std::string& problem) const
{
    SpeechSettings settings = configuredSpeech;
    if (params.hasKey(kSpeakerIdKey)) {
        const OXAny value = params.at(kSpeakerIdKey);
        const std::optional<int32_t> speaker = parseSpeakerId(value);
        const int32_t speakers = speakerCountOf(voiceSpeakerCount.load());
        if (!speaker || *speaker >= speakers) {
            problem = "speakerId " + describeSettingValue(value) + " is not a speaker of the loaded voice ("
                + std::to_string(speakers) + (speakers == 1 ? " speaker: 0)" : " speakers: 0 to ")
                + (speakers == 1 ? "" : std::to_string(speakers - 1) + ")");
            return std::nullopt;
        }
        settings.speakerId = *speaker;
    }
    if (params.hasKey(kSpeedKey)) {
        const OXAny value = params.at(kSpeedKey);
        const std::optional<float> speed = parseSpeechSpeed(value);
        if (!speed) {
            problem = "speed " + describeSettingValue(value) + " is not a number from 0.25 to 4";
            return std::nullopt;
        }
        settings.speed = *speed;
    }
    return settings;
}

int32_t SherpaTTSNode::Internals::speakerForEngine(int32_t requested)
{
    const int32_t speakers = speakerCountOf(SherpaOnnxOfflineTtsNumSpeakers(tts.get()));
    if (requested < speakers) {
        return requested;
    }
    if (!speakerRangeWarned) {
        speakerRangeWarned = true;
        Logger::warning("[SherpaTTSNode] The voice has no speaker " + std::to_string(requested) + " ("
            + std::to_string(speakers) + " speaker(s)); speaker 0 speaks instead");
    }
    return kDefaultSpeakerId;
}

void SherpaTTSNode::Internals::synthesizeNow(const QueuedText& queued)
{
    const std::string& text = queued.text;
    std::lock_guard<std::mutex> lock(engineMutex);
    Logger::debug(std::string("[SherpaTTSNode] synthesize called, tts=") + (tts ? "valid" : "null")
        + ", this=" + decimalAddress(this));
    reclaimUnusedAudio();
    if (!tts) {
        Logger::error("[SherpaTTSNode] synthesize is called but TTS instance is not initialized.");
        return;
    }

    // A stop between taking the text and here drops it unannounced, like a queued text.
    auto taken = SynthesisStopState::taken;
    if (!synthesisStopState.compare_exchange_strong(taken, SynthesisStopState::announced)) {
        return;
    }
    const std::string spoken = spokenForm(text);
    if (isFirstSynthesis.exchange(false)) {
        Logger::info("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp=" + std::to_string(millisecondsSinceEpoch())
            + " text=\"" + spoken + "\"");
    }
    emitEventSafely("synthesisStarted", OXAny(OXAnyMap{{"text", OXAny(spoken)}}));

    // The text is published at its first sentence and grows sentence by sentence. A voice
    // at another rate is converted on the way, sentence by sentence, by one converter that
    // keeps its state across the sentences (VoiceRateStream: the same samples as the whole
    // text converted at once). A voice reporting no rate is played as it is.
    const int32_t voiceRate = SherpaOnnxOfflineTtsSampleRate(tts.get());
    StreamingSynthesis synthesis{
        this, nullptr, synthesisStopCount, synthesisSerial, nullptr, voiceRate, false};
    std::unique_ptr<VoiceRateStream> converter;
    if (voiceRate > 0 && voiceRate != kInnerSampleRate) {
        try {
            converter = std::make_unique<VoiceRateStream>(voiceRate, kInnerSampleRate);
        } catch (const std::exception& e) {
            Logger::error("[SherpaTTSNode] Could not convert the voice's audio from "
                + std::to_string(voiceRate) + " Hz to " + std::to_string(kInnerSampleRate)
                + " Hz: " + e.what());
            markGenerated();
            return;
        }
        synthesis.converter = converter.get();
    }
    SherpaOnnxGenerationConfig generation{};
    generation.silence_scale = kSilenceScale;
    generation.speed = queued.settings.speed;
    generation.sid = speakerForEngine(queued.settings.speakerId);

    GeneratedAudioPtr result;
    try {
        result.reset(SherpaOnnxOfflineTtsGenerateWithConfig(
            tts.get(), spoken.c_str(), &generation, &Internals::onGeneratedChunk, &synthesis));
        markGenerated();
    } catch (const std::exception& e) {
        // A voice whose tokens or espeak voice do not match throws on every text; the
        // worker must survive it. Audio already published stays and ends there.
        Logger::error(std::string("[SherpaTTSNode] Speech engine failed on the text: ") + e.what());
        markGenerated();
        if (synthesis.item != nullptr) {
            synthesis.item->markComplete();
        }
        return;
    } catch (...) {
        Logger::error("[SherpaTTSNode] Speech engine failed on the text with an unknown exception");
        markGenerated();
        if (synthesis.item != nullptr) {
            synthesis.item->markComplete();
        }
        return;
    }
    const bool stopped = synthesis.stopped || stopCount.load() != synthesisStopCount;
    if (result && !stopped && !synthesis.failed) {
        // The converter's last samples (the filter tail of the text's end); a text that gave
        // no audio at all is published as an empty item, which ends at once.
        std::vector<float> tail;
        std::string error;
        if (converter && !converter->finish(tail, error)) {
            Logger::error("[SherpaTTSNode] Could not convert the voice's audio from "
                + std::to_string(voiceRate) + " Hz to " + std::to_string(kInnerSampleRate) + " Hz: " + error);
        } else if (!tail.empty() || synthesis.item == nullptr) {
            publishChunk(synthesis, std::move(tail));
        }
    }
    if (synthesis.item != nullptr) {
        synthesis.item->markComplete();
    }
}

void SherpaTTSNode::Internals::publishChunk(StreamingSynthesis& synthesis, std::vector<float> chunk)
{
    if (synthesis.item == nullptr) {
        auto item = std::make_unique<GeneratedAudio>(std::move(chunk));
        item->stopCountAtStart = synthesis.stopCountAtStart;
        item->serial = synthesis.serial;
        synthesis.item = item.get();
        generatedAudio.push_back(std::move(item));
        latestAudio.store(synthesis.item);
    } else {
        synthesis.item->appendChunk(std::move(chunk));
    }
    if (auto hook = TestHooks::onChunkPublished.load(std::memory_order_relaxed)) {
        hook(synthesis.item);
    }
}

// Worker, inside the engine, once per sentence. Runs under engineMutex (synthesizeNow).
int32_t SherpaTTSNode::Internals::onGeneratedChunk(
    const float* samples, int32_t n, float /*progress*/, void* arg)
{
    auto& synthesis = *static_cast<StreamingSynthesis*>(arg);
    Internals& self = *synthesis.self;
    if (self.stopCount.load() != synthesis.stopCountAtStart) {
        synthesis.stopped = true;
        return 0;
    }
    try {
        std::vector<float> chunk;
        if (synthesis.converter != nullptr) {
            std::string error;
            if (!synthesis.converter->push(samples, static_cast<std::size_t>(std::max(0, n)), chunk, error)) {
                Logger::error("[SherpaTTSNode] Could not convert the voice's audio from "
                    + std::to_string(synthesis.voiceRate) + " Hz to " + std::to_string(kInnerSampleRate)
                    + " Hz: " + error);
                synthesis.failed = true;
                return 0;
            }
            if (chunk.empty()) {
                return 1; // all of it waits in the converter for the next sentence
            }
        } else {
            chunk.assign(samples, samples + std::max(0, n));
        }
        self.publishChunk(synthesis, std::move(chunk));
    } catch (const std::exception& e) {
        // Nothing may leave through the engine's C frames; the item ends at what it has.
        Logger::error(std::string("[SherpaTTSNode] Could not keep the synthesised audio: ") + e.what());
        synthesis.failed = true;
        return 0;
    }
    return 1;
}

void SherpaTTSNode::Internals::emitEventSafely(const std::string& name, const OXAny& data)
{
    try {
        node->emitEvent(name, data);
    } catch (const std::exception& e) {
        Logger::error("[SherpaTTSNode] A listener of event '" + name + "' threw an exception: " + e.what());
    } catch (...) {
        Logger::error("[SherpaTTSNode] A listener of event '" + name + "' threw an exception");
    }
}

// ---- engine loading -------------------------------------------------------------------

bool SherpaTTSNode::Internals::loadModel(
    const std::string& newModelPath, const std::string& newTokensPath, const std::string& dataPath)
{
    Logger::info("[SherpaTTSNode] loadModel called with path: " + newModelPath);

    // Listeners run on these two threads. The worker holds engineMutex while it emits
    // "synthesisStarted" (locking it again would deadlock), and a load on the audio thread
    // would stall the output for the whole engine creation.
    const std::thread::id caller = std::this_thread::get_id();
    if (caller == workerThread.get_id()) {
        Logger::error("[SherpaTTSNode] loadModel refused: called on the node's synthesis thread (from a "
                      "'synthesisStarted' listener); call it from another thread.");
        return false;
    }
    if (caller == audioThreadId.load()) {
        Logger::error("[SherpaTTSNode] loadModel refused: called on the audio thread (from a 'finished' "
                      "listener); call it from another thread.");
        return false;
    }

    std::lock_guard<std::mutex> lock(engineMutex);
    if (!pathExists(newModelPath)) {
        Logger::warning("[SherpaTTSNode] Model file does not exist at path: " + newModelPath);
    }
    if (!pathExists(newTokensPath)) {
        Logger::warning("[SherpaTTSNode] Tokens file does not exist at path: " + newTokensPath);
    }
    if (!pathExists(dataPath)) {
        Logger::warning("[SherpaTTSNode] Data directory does not exist at path: " + dataPath);
    }
    if (tts) {
        Logger::info("[SherpaTTSNode] Model already loaded, cleaning up before reloading");
        cleanup(CleanupScope::Reload);
    }
    Logger::info("[SherpaTTSNode] Loading TTS model from: " + newModelPath);
    modelPath = newModelPath;
    tokensPath = newTokensPath;
    dataDirPath = dataPath.size() > kPhonemeDataPathLimit ? shortPhonemeDataPath(dataPath) : dataPath;

    config = SherpaOnnxOfflineTtsConfig{};
    config.model.vits.model = modelPath.c_str();
    config.model.vits.tokens = tokensPath.c_str();
    config.model.vits.data_dir = dataDirPath.c_str();

    // The data directory espeak-ng will read for this voice: its own until the process has
    // initialised espeak-ng, from then on that first one. Decided under the lock that
    // guards engine creation, and again there before the engine is made.
    std::string espeakDataPath;
    {
        // espeak-ng initialises once per process, from the first engine's data path, and
        // ends the process (exit(1)) when that path is longer than it can hold. Later
        // engines never hand it a path again. Refused before the file check below, which
        // would only name the path as too long; initialisation never goes back, so the
        // verdict still holds when the engine is created under the lock again.
        const EspeakProcessState::Lock espeakLock;
        if (!phonemeDataPathUsable(dataDirPath) && !EspeakProcessState::isInitialised(espeakLock)) {
            EspeakProcessState::setDataPath(espeakLock, dataDirPath);
            Logger::error("[SherpaTTSNode] espeak-ng-data path is " + std::to_string(dataDirPath.size())
                + " bytes long and no short symlink could be used for it; espeak-ng would end the process "
                  "on it, so the model is not loaded: "
                + dataDirPath);
            Logger::error("[SherpaTTSNode] Failed to create Sherpa Offline TTS.");
            Logger::error("[SherpaTTSNode] Check that the model files exist and are valid");
            return false;
        }
        espeakDataPath = EspeakProcessState::dataPathInUse(espeakLock, dataDirPath);
    }

    // sherpa-onnx ends the process on bad file contents (only missing files make it return
    // null), so files it would open are first proven in a child process, with the espeak-ng
    // data this process will really use. Missing files skip the check and are refused by
    // the library as before. Blocks for the check (a few stat calls when these files were
    // proven before), outside the espeak-ng lock so that other nodes' loads are not held up
    // by it; if another node initialised espeak-ng meanwhile, the check runs again with its
    // directory (this happens at most once: initialisation never goes back).
    const bool filesExist = pathExists(modelPath) && pathExists(tokensPath) && pathExists(dataDirPath);
    ModelCheckResult check{true};
    std::string engineModel;
    std::string engineTokens;
    while (true) {
        if (filesExist) {
            check = checkSpeechSynthesisFiles(modelPath, tokensPath, dataDirPath, espeakDataPath);
            if (!check.warning.empty()) {
                Logger::warning("[SherpaTTSNode] " + check.warning);
            }
            if (!check.ok) {
                // The variable says what the latest load used, refused or not.
                EspeakProcessState::setDataPath(EspeakProcessState::Lock(), dataDirPath);
                Logger::error("[SherpaTTSNode] Model files rejected: " + check.problem);
                Logger::error("[SherpaTTSNode] Failed to create Sherpa Offline TTS.");
                Logger::error("[SherpaTTSNode] Check that the model files exist and are valid");
                return false;
            }
        }
        const EspeakProcessState::Lock espeakLock;
        if (const std::string inUse = EspeakProcessState::dataPathInUse(espeakLock, dataDirPath);
            filesExist && inUse != espeakDataPath) {
            espeakDataPath = inUse;
            continue;
        }
        EspeakProcessState::setDataPath(espeakLock, dataDirPath);
        // The engine reads the descriptors that were checked (when there are any), not the
        // paths, which another file may have been renamed over since.
        engineModel = engineFilePath(check, 0, modelPath);
        engineTokens = engineFilePath(check, 1, tokensPath);
        config.model.vits.model = engineModel.c_str();
        config.model.vits.tokens = engineTokens.c_str();
        if (auto* const hook = TestHooks::beforeEngineCreated.load(std::memory_order_relaxed)) {
            hook();
        }
        Logger::info("[SherpaTTSNode] Calling SherpaOnnxCreateOfflineTts...");
        try {
            tts.reset(SherpaOnnxCreateOfflineTts(&config));
        } catch (const std::exception& e) {
            Logger::error(std::string("[SherpaTTSNode] SherpaOnnxCreateOfflineTts threw: ")
                + withCallerFilePaths(check, e.what()));
            tts.reset();
        } catch (...) {
            Logger::error("[SherpaTTSNode] SherpaOnnxCreateOfflineTts threw an unknown exception");
            tts.reset();
        }
        // The engine strings only had to live through the creation call.
        config.model.vits.model = modelPath.c_str();
        config.model.vits.tokens = tokensPath.c_str();
        if (tts) {
            EspeakProcessState::markInitialised(espeakLock, dataDirPath);
        }
        break;
    }
    // A file replaced after the check is refused even though the library read the checked
    // descriptor (or, without /proc, the path: then it may not be what was proven).
    if (tts) {
        if (const std::string changed = checkedFilesChanged(check); !changed.empty()) {
            tts.reset();
            Logger::error("[SherpaTTSNode] Model files rejected: " + changed);
        }
    }
    releaseCheckedDescriptors(check);

    speakerRangeWarned = false;
    voiceSpeakerCount.store(tts ? speakerCountOf(SherpaOnnxOfflineTtsNumSpeakers(tts.get())) : 0);
    if (tts) {
        Logger::info("[SherpaTTSNode] TTS model loaded successfully");
        return true;
    }
    Logger::error("[SherpaTTSNode] Failed to create Sherpa Offline TTS.");
    Logger::error("[SherpaTTSNode] Check that the model files exist and are valid");
    return false;
}

// ---- streaming text -------------------------------------------------------------------

void SherpaTTSNode::Internals::appendStreamingText(const std::string& text, bool isFinal)
{
    std::optional<std::string> piece;
    {
        std::lock_guard<std::mutex> lock(streamingMutex);
        streamingBuffer += text;
        // audioIsPlaying stands for "playingAudio is set and not finished", kept by the
        // audio thread: this thread must not touch an item it does not protect.
        const bool playing = audioIsPlaying.load();
        if (isFinal) {
            piece = takeFinalStreamingPiece(streamingBuffer);
        } else if (playing && latestAudio.load() != nullptr) {
            // Held back until the playing item finishes (synthesizeBufferedTextIfReady).
        } else {
            piece = cutStreamingPiece(streamingBuffer);
        }
    }
    if (piece && !piece->empty()) {
        enqueueText(*piece);
    }
}

void SherpaTTSNode::Internals::synthesizeBufferedTextIfReady()
{
    std::optional<std::string> piece;
    {
        std::lock_guard<std::mutex> lock(streamingMutex);
        if (streamingBuffer.empty()) {
            return;
        }
        piece = cutStreamingPiece(streamingBuffer);
    }
    if (piece) {
        Logger::debug("[SherpaTTSNode] Synthesizing buffered text after audio finished: " + *piece);
        enqueueText(*piece);
    }
}

void SherpaTTSNode::Internals::clearStreamingBuffer()
{
    std::lock_guard<std::mutex> lock(streamingMutex);
    streamingBuffer.clear();
    isFirstSynthesis.store(true);
}

} // namespace ombrix::extensions::sherpa
