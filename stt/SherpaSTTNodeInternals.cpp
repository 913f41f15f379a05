#include "stt/SherpaSTTNodeInternals.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "host/AudioBuffer.h"
#include "host/Logger.h"
#include "models/ModelFile.h"
#include "stt/RecognizerConfig.h"
#include "utils/AudioData.h"

namespace ombrix::extensions::sherpa {

namespace {

namespace fs = std::filesystem;

// Silence fed to a stream that is being finished, so that the audio the recogniser holds
// back (up to ~0.46 s with a 45-frame chunk) is decoded before the stream goes.
constexpr int64_t kFlushSilenceMilliseconds = 500;
constexpr int64_t kMillisecondsPerSecond = 1000;
constexpr uint32_t kSilenceChunkFrames = 1024;
constexpr std::array<float, kSilenceChunkFrames> kSilenceChunk{};

// Between the text of a finished stream and the text that follows it, and between two
// segments where the second starts a word.
constexpr std::string_view kTextSeparator = " ";
// The recogniser's word-start mark, U+2581, in UTF-8.
constexpr std::string_view kWordStart = "\xE2\x96\x81";
// Token times step by one model output frame.
constexpr double kOutputFrameSeconds = 0.04;

// The number after `"key":` in the recogniser's JSON result, if any.
std::optional<double> jsonNumber(const char* json, std::string_view key)
{
    if (json == nullptr) {
        return std::nullopt;
    }
    // Appended, not "\"" + std::string(key): g++ 12 -O3 flags that insert at the front with a
    // false -Wrestrict.
    std::string needle;
    needle.reserve(key.size() + 3);
    needle += '"';
    needle += key;
    needle += "\":";
    const char* at = std::strstr(json, needle.c_str());
    if (at == nullptr) {
        return std::nullopt;
    }
    at += needle.size();
    char* end = nullptr;
    const double value = std::strtod(at, &end);
    if (end == at) {
        return std::nullopt;
    }
    return value;
}

// The default path if it exists, otherwise `leaf` under `directory` in the working
// directory (not tested). exists() follows symbolic links; a directory counts.
std::string resolveDefault(const std::string& defaultPath, std::string_view directory, std::string_view leaf)
{
    if (fs::exists(defaultPath)) {
        return defaultPath;
    }
    return (fs::current_path() / directory / leaf).string();
}

} // namespace

const OnlineRecognizerApi& OnlineRecognizerApi::library()
{
    static constexpr OnlineRecognizerApi kLibrary{
        &checkRecognizerFiles,
        &SherpaOnnxCreateOnlineRecognizer,
        &SherpaOnnxCreateOnlineStream,
        &SherpaOnnxOnlineStreamAcceptWaveform,
        &SherpaOnnxIsOnlineStreamReady,
        &SherpaOnnxDecodeOnlineStream,
        &SherpaOnnxGetOnlineStreamResult,
        &SherpaOnnxOnlineStreamIsEndpoint,
        &SherpaOnnxOnlineStreamReset,
    };
    return kLibrary;
}

SherpaSTTNode::Internals::Internals(unsigned int bufferCapacity)
    : Internals(bufferCapacity, OnlineRecognizerApi::library())
{
}

SherpaSTTNode::Internals::Internals(unsigned int bufferCapacity, const OnlineRecognizerApi& api)
    : inputBuffer(std::make_unique<AudioRingBuffer<float>>(bufferCapacity, kNumberOfChannels, false))
    , bufferCapacity(bufferCapacity)
    , api(&api)
{
    loadDefaultModel();
}

SherpaSTTNode::Internals::~Internals()
{
    Logger::info("[SherpaSTTNode] Destructor called - starting cleanup");
    cleanup();
    Logger::info("[SherpaSTTNode] Destructor completed");
    inputBuffer.reset();
}

void SherpaSTTNode::Internals::loadDefaultModel()
{
    using namespace model_files;
    const std::string modelPath
        = resolveDefault(getModelFilePath(), kFallbackModelDirectory, kSpeechToTextModelFile);
    const std::string tokensPath
        = resolveDefault(getTokensFilePath(), kFallbackFilesDirectory, kSpeechToTextTokensFile);
    const std::string graphPath
        = resolveDefault(getGraphFilePath(), kFallbackFilesDirectory, kSpeechToTextGraphFile);

    if (!fs::exists(modelPath)) {
        Logger::warning("[SherpaSTTNode] Model file has not been loaded.");
        return;
    }
    if (!loadSherpaModel(modelPath, tokensPath, graphPath)) {
        Logger::error("[SherpaSTTNode] Failed to load Sherpa model.");
    }
}

bool SherpaSTTNode::Internals::loadSherpaModel(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath)
{
    Logger::info("[SherpaSTTNode] loadSherpaModel called with path: " + modelPath);
    if (!fs::exists(modelPath)) {
        Logger::warning("[SherpaSTTNode] Model file does not exist at path: " + modelPath);
    }
    if (!fs::exists(tokensPath)) {
        Logger::warning("[SherpaSTTNode] Tokens file does not exist at path: " + tokensPath);
    }
    if (!fs::exists(graphPath)) {
        Logger::warning("[SherpaSTTNode] Graph file does not exist at path: " + graphPath);
    }

    if (recognizer) {
        Logger::info("[SherpaSTTNode] Model already loaded, cleaning up before reloading");
        cleanup();
    }

    Logger::info("[SherpaSTTNode] Loading STT model from: " + modelPath);
    // Every field not set here stays zero / null: the library's defaults, or "not used".
    // The strings only need to live through the creation call.
    recognizerConfig = speechToTextRecognizerConfig(modelPath, tokensPath, graphPath);

    // sherpa-onnx ends the process on bad file contents (only missing files make it return
    // null), so existing files are first proven in a child process; missing ones are left
    // for the library to refuse. Blocks for the check (a few stat calls when these files
    // were proven before).
    ModelCheckResult check{true};
    if (fs::exists(modelPath) && fs::exists(tokensPath) && fs::exists(graphPath)) {
        check = api->checkFiles(modelPath, tokensPath, graphPath);
        if (!check.warning.empty()) {
            Logger::warning("[SherpaSTTNode] " + check.warning);
        }
        if (!check.ok) {
            Logger::error("[SherpaSTTNode] Model files rejected: " + check.problem);
            Logger::error("[SherpaSTTNode] Sherpa failed to create recognizer");
            Logger::error("[SherpaSTTNode] Check that the model files exist and are valid");
            return false;
        }
    }

    // The engine reads the descriptors that were checked (when there are any), not the
    // paths, which another file may have been renamed over since.
    const std::string engineModel = engineFilePath(check, 0, modelPath);
    const std::string engineTokens = engineFilePath(check, 1, tokensPath);
    const std::string engineGraph = engineFilePath(check, 2, graphPath);
    recognizerConfig = speechToTextRecognizerConfig(engineModel, engineTokens, engineGraph);

    Logger::info("[SherpaSTTNode] Calling SherpaOnnxCreateOnlineRecognizer...");
    try {
        recognizer.reset(api->createRecognizer(&recognizerConfig));
    } catch (const std::exception& e) {
        Logger::error(std::string("[SherpaSTTNode] SherpaOnnxCreateOnlineRecognizer threw: ")
            + withCallerFilePaths(check, e.what()));
        recognizer.reset();
    } catch (...) {
        Logger::error("[SherpaSTTNode] SherpaOnnxCreateOnlineRecognizer threw an unknown exception");
        recognizer.reset();
    }
    // A file replaced after the check is refused even though the library read the checked
    // descriptor (or, without /proc, the path: then it may not be what was proven).
    if (recognizer) {
        if (const std::string changed = checkedFilesChanged(check); !changed.empty()) {
            recognizer.reset();
            Logger::error("[SherpaSTTNode] Model files rejected: " + changed);
        }
    }
    releaseCheckedDescriptors(check);
    if (!recognizer) {
        Logger::error("[SherpaSTTNode] Sherpa failed to create recognizer");
        Logger::error("[SherpaSTTNode] Check that the model files exist and are valid");
        return false;
    }

    Logger::info("[SherpaSTTNode] Calling SherpaOnnxCreateOnlineStream...");
    try {
        stream.reset(api->createStream(recognizer.get()));
    } catch (const std::exception& e) {
        Logger::error(std::string("[SherpaSTTNode] SherpaOnnxCreateOnlineStream threw: ") + e.what());
        stream.reset();
    } catch (...) {
        Logger::error("[SherpaSTTNode] SherpaOnnxCreateOnlineStream threw an unknown exception");
        stream.reset();
    }
    if (!stream) {
        Logger::error("[SherpaSTTNode] Failed to create online stream");
        recognizer.reset();
        return false;
    }

    streamSampleRate = 0;
    clearText();
    Logger::info("[SherpaSTTNode] STT model loaded successfully");
    return true;
}

void SherpaSTTNode::Internals::cleanup()
{
    Logger::info("[SherpaSTTNode] Cleaning up resources...");
    if (stream) {
        Logger::info("[SherpaSTTNode] Freeing stream");
        stream.reset();
    }
    if (recognizer) {
        Logger::info("[SherpaSTTNode] Freeing recognizer");
        recognizer.reset();
    }
    streamSampleRate = 0;
    clearText();
    Logger::info("[SherpaSTTNode] Cleanup completed");
}

bool SherpaSTTNode::Internals::setBusFormat(const AudioBusFormat& format)
{
    // Any thread; the audio thread reads the rate once per stored block.
    sampleRate.store(format.getSampleRate());
    if (format.getNumberOfChannels() == kNumberOfChannels) {
        return true;
    }
    Logger::error("[SherpaSTTNode] Number of channels must be 1.");
    return false;
}

bool SherpaSTTNode::Internals::pushRateChange(int32_t rate)
{
    // Own counter: relaxed. The consumer's counter: acquire, so that its reads of a slot
    // happen before this side overwrites the slot. The release store publishes the entry.
    const uint32_t written = rateChangesWritten.load(std::memory_order_relaxed);
    if (written - rateChangesRead.load(std::memory_order_acquire) == kMaxPendingRateChanges) {
        return false;
    }
    rateChanges[written % kMaxPendingRateChanges] = RateChange{producedFrames, rate};
    rateChangesWritten.store(written + 1, std::memory_order_release);
    return true;
}

bool SherpaSTTNode::Internals::consume(AudioBus& bus)
{
    // isEnabled and sampleRate: sequentially consistent loads pairing with the setters'
    // stores (plain loads on x86-64); a change shows from the next block on.
    if (!isEnabled.load()) {
        return false;
    }
    const AudioBuffer<float>* block = bus.getBuffer();
    if (block == nullptr) {
        return false;
    }

    const unsigned int freeFrames = inputBuffer->getAvailableFramesToProduce();
    const unsigned int frames = block->getNumberOfFrames();
    if (frames <= freeFrames) {
        const int32_t rate = sampleRate.load();
        const bool rateKnown = frames == 0 || rate == producedRate;
        if (rateKnown || pushRateChange(rate)) {
            if (!rateKnown) {
                producedRate = rate;
            }
            inputBuffer->produce(*block, frames);
            producedFrames += frames;
            bufferFullWarned = false;
            return true;
        }
    }

    // Drop the whole block; warn once per run of drops (the only log on this thread).
    if (!bufferFullWarned) {
        Logger::warning("[SherpaSTTNode] Input buffer is full, dropping audio data.");
    }
    bufferFullWarned = true;
    return false;
}

std::string SherpaSTTNode::Internals::transcribe()
{
    const unsigned int waiting = inputBuffer->getAvailableFramesToConsume();
    if (waiting == 0) {
        return {};
    }

    buffer::AudioData<float> storage(kNumberOfChannels, waiting);
    AudioBuffer<float> frames(storage.getBuffers(), kNumberOfChannels, waiting, false, sampleRate.load());
    inputBuffer->consume(frames, waiting);
    const float* samples = frames.getReadPointer(0);

    // Split the frames into runs of one rate and feed each at its own rate. The frames were
    // published after their rate changes, so every change inside them is visible here.
    uint32_t offset = 0;
    while (offset < waiting) {
        uint32_t runEnd = waiting;
        uint32_t read = rateChangesRead.load(std::memory_order_relaxed);
        const uint32_t written = rateChangesWritten.load(std::memory_order_acquire);
        while (read != written) {
            const RateChange& change = rateChanges[read % kMaxPendingRateChanges];
            if (change.firstFrame > consumedFrames) {
                const uint64_t untilChange = change.firstFrame - consumedFrames;
                runEnd = static_cast<uint32_t>(std::min<uint64_t>(waiting, offset + untilChange));
                break;
            }
            consumedRate = change.sampleRate;
            ++read;
            rateChangesRead.store(read, std::memory_order_release);
        }
        const uint32_t runFrames = runEnd - offset;
        // A throwing recogniser unloads the model; the rate bookkeeping still advances past
        // the run, and the remaining runs are dropped as with no model loaded.
        try {
            feedRun(samples + offset, runFrames, consumedRate);
        } catch (const std::exception& e) {
            abandonModel(
                std::string("[SherpaSTTNode] Recognizer threw while decoding, model unloaded: ") + e.what());
        } catch (...) {
            abandonModel(
                "[SherpaSTTNode] Recognizer threw an unknown exception while decoding, model unloaded");
        }
        offset = runEnd;
        consumedFrames += runFrames;
    }

    if (!recognizer || !stream) {
        return {};
    }
    try {
        const SegmentResult current = readSegment();
        std::string text = joinedText(current);
        // Never true with endpoint detection off; kept so that the returned text and the
        // next one stay consistent if it is ever switched on.
        if (api->isEndpoint(recognizer.get(), stream.get()) != 0) {
            api->reset(recognizer.get(), stream.get());
            clearText();
            decodesBeforeSegment = streamDecodes;
            segmentDecodes = 0;
        } else {
            maybeResetStream(current);
        }
        return text;
    } catch (const std::exception& e) {
        abandonModel(std::string("[SherpaSTTNode] Recognizer threw while reading the text, model unloaded: ")
            + e.what());
    } catch (...) {
        abandonModel(
            "[SherpaSTTNode] Recognizer threw an unknown exception while reading the text, model unloaded");
    }
    return {};
}

void SherpaSTTNode::Internals::abandonModel(const std::string& what)
{
    Logger::error(what);
    cleanup();
}

void SherpaSTTNode::Internals::feedRun(const float* samples, uint32_t frames, int32_t rate)
{
    if (rate <= 0) {
        Logger::warning("[SherpaSTTNode] Invalid sample rate " + std::to_string(rate) + ", dropping "
            + std::to_string(frames) + " frames of audio data.");
        return;
    }
    if (stream && streamSampleRate != 0 && streamSampleRate != rate) {
        restartStream(rate);
    }
    if (!recognizer || !stream) {
        Logger::warning(
            "[SherpaSTTNode] No model loaded, dropping " + std::to_string(frames) + " frames of audio data.");
        return;
    }
    api->acceptWaveform(stream.get(), rate, samples, static_cast<int32_t>(frames));
    streamSampleRate = rate;
    streamFedFrames += frames;
    decodeReady();
}

void SherpaSTTNode::Internals::decodeReady()
{
    // Decoding a stream that is not ready ends the process inside sherpa-onnx.
    while (api->isReady(recognizer.get(), stream.get()) != 0) {
        api->decode(recognizer.get(), stream.get());
        ++streamDecodes;
        ++segmentDecodes;
    }
}

bool SherpaSTTNode::Internals::restartStream(int32_t newRate)
{
    const int32_t previousRate = streamSampleRate;
    const int64_t silenceFrames = previousRate * kFlushSilenceMilliseconds / kMillisecondsPerSecond;
    for (int64_t fed = 0; fed < silenceFrames; fed += kSilenceChunkFrames) {
        const auto chunk = static_cast<int32_t>(std::min<int64_t>(kSilenceChunkFrames, silenceFrames - fed));
        api->acceptWaveform(stream.get(), previousRate, kSilenceChunk.data(), chunk);
    }
    decodeReady();
    keepSegment(readSegment());
    spaceBeforeNext = !keptText.empty();
    streamOffsetSeconds += static_cast<double>(streamFedFrames + static_cast<uint64_t>(silenceFrames))
        / static_cast<double>(previousRate);

    stream.reset();
    streamSampleRate = 0;
    forgetStreamProgress();
    stream.reset(api->createStream(recognizer.get()));
    if (!stream) {
        Logger::error("[SherpaSTTNode] Failed to create online stream");
        cleanup();
        return false;
    }
    Logger::info("[SherpaSTTNode] Sample rate changed from " + std::to_string(previousRate) + " Hz to "
        + std::to_string(newRate) + " Hz, continuing on a new stream");
    return true;
}

SherpaSTTNode::Internals::SegmentResult SherpaSTTNode::Internals::readSegment()
{
    SegmentResult current;
    const OnlineRecognizerResultPtr result(api->getResult(recognizer.get(), stream.get()));
    if (!result) {
        return current;
    }
    if (result->text != nullptr) {
        current.text = result->text;
    }
    if (result->count > 0 && result->tokens_arr != nullptr) {
        const auto count = static_cast<std::size_t>(result->count);
        current.tokens.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            current.tokens.emplace_back(result->tokens_arr[i] != nullptr ? result->tokens_arr[i] : "");
        }
        if (result->timestamps != nullptr) {
            current.times.assign(result->timestamps, result->timestamps + count);
        }
    }
    if (const std::optional<double> start = jsonNumber(result->json, "start_time")) {
        current.startSeconds = *start;
        current.hasStart = true;
        // The segment began after decodesBeforeSegment chunks: the chunk's real length.
        if (decodesBeforeSegment > 0 && *start > 0.0) {
            chunkSeconds = *start / static_cast<double>(decodesBeforeSegment);
        }
    }
    if (result->count != lastTokenCount) {
        lastTokenCount = result->count;
        segmentDecodesAtCountChange = segmentDecodes;
    }
    return current;
}

std::string SherpaSTTNode::Internals::joinedText(const SegmentResult& current) const
{
    if (keptText.empty()) {
        return current.text;
    }
    if (current.text.empty()) {
        return keptText;
    }
    // The recogniser hands word-start pieces with the mark turned into a space.
    const bool startsWord = !current.tokens.empty()
        && (current.tokens.front().starts_with(kWordStart) || current.tokens.front().starts_with(' '));
    std::string text = keptText;
    if (spaceBeforeNext || startsWord) {
        text += kTextSeparator;
    }
    text += current.text;
    return text;
}

std::optional<SherpaSTTNode::Segment> SherpaSTTNode::Internals::toSegment(const SegmentResult& current) const
{
    if (current.text.empty()) {
        return std::nullopt;
    }
    const double segmentStart = streamOffsetSeconds
        + (current.hasStart ? current.startSeconds
                            : static_cast<double>(decodesBeforeSegment) * chunkSeconds);
    SherpaSTTNode::Segment segment;
    segment.text = current.text;
    segment.tokens.reserve(current.tokens.size());
    const bool timed = !current.times.empty() && current.times.size() == current.tokens.size();
    for (std::size_t i = 0; i < current.tokens.size(); ++i) {
        SherpaSTTNode::Token token{current.tokens[i], std::nullopt};
        if (timed) {
            token.time = segmentStart + static_cast<double>(current.times[i]);
        }
        segment.tokens.push_back(std::move(token));
    }
    if (timed) {
        segment.start = *segment.tokens.front().time;
        segment.end = *segment.tokens.back().time + kOutputFrameSeconds;
    } else {
        segment.start = segmentStart;
        segment.end = segmentStart + static_cast<double>(segmentDecodes) * chunkSeconds;
    }
    return segment;
}

void SherpaSTTNode::Internals::keepSegment(const SegmentResult& current)
{
    if (current.text.empty()) {
        return;
    }
    keptText = joinedText(current);
    spaceBeforeNext = false;
    if (std::optional<SherpaSTTNode::Segment> segment = toSegment(current)) {
        finishedSegments.push_back(std::move(*segment));
    }
}

void SherpaSTTNode::Internals::maybeResetStream(const SegmentResult& current)
{
    if (segmentDecodes == 0) {
        return;
    }
    // Blank chunks at the end of the segment: decoded time since the last token's time (a
    // token's first frame), or, without times, decodes since the token count last changed.
    const double decodedSeconds = static_cast<double>(segmentDecodes) * chunkSeconds;
    double blankChunks = 0.0;
    if (current.tokens.empty()) {
        blankChunks = static_cast<double>(segmentDecodes);
    } else if (current.times.size() == current.tokens.size()) {
        blankChunks = (decodedSeconds - static_cast<double>(current.times.back())) / chunkSeconds;
    } else {
        blankChunks = static_cast<double>(segmentDecodes - segmentDecodesAtCountChange);
    }
    const double needed = static_cast<double>(
        decodedSeconds > kMaxSegmentSeconds ? kAgedResetBlankChunks : kResetBlankChunks);
    if (blankChunks < needed) {
        return;
    }

    keepSegment(current);
    api->reset(recognizer.get(), stream.get());
    decodesBeforeSegment = streamDecodes;
    forgetSegmentProgress();
}

void SherpaSTTNode::Internals::forgetSegmentProgress()
{
    segmentDecodes = 0;
    lastTokenCount = 0;
    segmentDecodesAtCountChange = 0;
}

void SherpaSTTNode::Internals::forgetStreamProgress()
{
    streamFedFrames = 0;
    streamDecodes = 0;
    decodesBeforeSegment = 0;
    forgetSegmentProgress();
}

void SherpaSTTNode::Internals::clearText()
{
    keptText.clear();
    spaceBeforeNext = false;
    finishedSegments.clear();
    streamOffsetSeconds = 0.0;
    forgetStreamProgress();
}

std::vector<SherpaSTTNode::Segment> SherpaSTTNode::Internals::segments()
{
    if (!recognizer || !stream) {
        return {};
    }
    std::vector<SherpaSTTNode::Segment> all = finishedSegments;
    try {
        const int32_t countBefore = lastTokenCount;
        const uint64_t decodesAtChange = segmentDecodesAtCountChange;
        if (std::optional<SherpaSTTNode::Segment> current = toSegment(readSegment())) {
            all.push_back(std::move(*current));
        }
        // Reading for a caller does not count as a look at the token count.
        lastTokenCount = countBefore;
        segmentDecodesAtCountChange = decodesAtChange;
    } catch (const std::exception& e) {
        abandonModel(std::string("[SherpaSTTNode] Recognizer threw while reading the text, model unloaded: ")
            + e.what());
        return {};
    } catch (...) {
        abandonModel(
            "[SherpaSTTNode] Recognizer threw an unknown exception while reading the text, model unloaded");
        return {};
    }
    return all;
}

} // namespace ombrix::extensions::sherpa
