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

SherpaTTSNode::Internals::GeneratedAudio::GeneratedAudio(
    GeneratedAudioPtr engineResult, std::optional<std::vector<float>> converted)
    : audio(std::move(engineResult))
{
    if (converted) {
        audio.reset();
        convertedSamples = std::move(*converted);
        samples = convertedSamples.data();
        sampleCount = static_cast<int32_t>(convertedSamples.size());
    } else if (audio) {
        samples = audio->samples;
        sampleCount = audio->n;
    }
}

SherpaTTSNode::Internals::GeneratedAudio::~GeneratedAudio()
{
    if (auto hook = TestHooks::onItemFreed.load(std::memory_order_relaxed)) {
        hook(this);
    }
}

// ---- construction and teardown --------------------------------------------------------

SherpaTTSNode::Internals::Internals(SherpaTTSNode* owner, const std::string& language)
    : node(owner)
    , finishedEventData(OXAnyMap())
{
    loadDefaultVoice(language);
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
    }
    Logger::info("[SherpaTTSNode] Cleanup completed");
}

// ---- synthesis worker -----------------------------------------------------------------

void SherpaTTSNode::Internals::enqueueText(const std::string& text)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        textQueue.push_back(text);
    }
    queueCondition.notify_one();
}

void SherpaTTSNode::Internals::workerLoop()
{
    for (;;) {
        std::string text;
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
        }
        synthesizeNow(text);
    }
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

void SherpaTTSNode::Internals::synthesizeNow(const std::string& text)
{
    std::lock_guard<std::mutex> lock(engineMutex);
    Logger::debug(std::string("[SherpaTTSNode] synthesize called, tts=") + (tts ? "valid" : "null")
        + ", this=" + decimalAddress(this));
    reclaimUnusedAudio();
    if (!tts) {
        Logger::error("[SherpaTTSNode] synthesize is called but TTS instance is not initialized.");
        return;
    }

    const std::string spoken = spokenForm(text);
    if (isFirstSynthesis.exchange(false)) {
        Logger::info("[LATENCY][TTS_FIRST_SYNTHESIS] timestamp=" + std::to_string(millisecondsSinceEpoch())
            + " text=\"" + spoken + "\"");
    }
    emitEventSafely("synthesisStarted", OXAny(OXAnyMap{{"text", OXAny(spoken)}}));

    GeneratedAudioPtr result;
    try {
        result.reset(SherpaOnnxOfflineTtsGenerate(tts.get(), spoken.c_str(), speakerId, kSpeechSpeed));
    } catch (const std::exception& e) {
        // A voice whose tokens or espeak voice do not match throws on every text; the
        // worker must survive it.
        Logger::error(std::string("[SherpaTTSNode] Speech engine failed on the text: ") + e.what());
        return;
    } catch (...) {
        Logger::error("[SherpaTTSNode] Speech engine failed on the text with an unknown exception");
        return;
    }
    if (!result) {
        return;
    }

    // The audio path plays kInnerSampleRate; a voice with another rate (22050 Hz piper
    // voices) would otherwise play at the wrong pitch and speed.
    std::optional<std::vector<float>> converted;
    if (result->sample_rate > 0 && result->sample_rate != kInnerSampleRate && result->n > 0) {
        std::vector<float> samples;
        std::string error;
        if (!convertVoiceSampleRate(result->samples, static_cast<std::size_t>(result->n), result->sample_rate,
                kInnerSampleRate, samples, error)) {
            Logger::error("[SherpaTTSNode] Could not convert the voice's audio from "
                + std::to_string(result->sample_rate) + " Hz to " + std::to_string(kInnerSampleRate)
                + " Hz: " + error);
            return;
        }
        converted = std::move(samples);
    }

    auto item = std::make_unique<GeneratedAudio>(std::move(result), std::move(converted));
    GeneratedAudio* const published = item.get();
    generatedAudio.push_back(std::move(item));
    latestAudio.store(published);
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
    }

    // sherpa-onnx ends the process on bad file contents (only missing files make it return
    // null), so files it would open are first proven in a child process. Missing files skip
    // the check and are refused by the library as before. Blocks for the check (a few stat
    // calls when these files were proven before), outside the espeak-ng lock so that other
    // nodes' loads are not held up by it.
    if (pathExists(modelPath) && pathExists(tokensPath) && pathExists(dataDirPath)) {
        const ModelCheckResult check = checkSpeechSynthesisFiles(modelPath, tokensPath, dataDirPath);
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

    {
        const EspeakProcessState::Lock espeakLock;
        EspeakProcessState::setDataPath(espeakLock, dataDirPath);
        Logger::info("[SherpaTTSNode] Calling SherpaOnnxCreateOfflineTts...");
        try {
            tts.reset(SherpaOnnxCreateOfflineTts(&config));
        } catch (const std::exception& e) {
            Logger::error(std::string("[SherpaTTSNode] SherpaOnnxCreateOfflineTts threw: ") + e.what());
            tts.reset();
        } catch (...) {
            Logger::error("[SherpaTTSNode] SherpaOnnxCreateOfflineTts threw an unknown exception");
            tts.reset();
        }
        if (tts) {
            EspeakProcessState::markInitialised(espeakLock);
        }
    }

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
