// The node's audio output path: sample-rate set-up and the block generator that runs on
// the host's audio thread.

#include <algorithm>
#include <atomic>
#include <thread>

#include "tts/SherpaTTSNodeInternals.h"
#include "utils/Ramp.h"

namespace ombrix::extensions::sherpa {

namespace {

constexpr unsigned kResamplerInputBuses = 0;
constexpr unsigned kResamplerOutputBuses = 1;
/// Fade-out of an item interrupted by a newer one, over one block.
constexpr float kFadeOutStartGain = 1.0f;
constexpr float kFadeOutEndGain = 0.0f;
/// Adoption re-reads latestAudio after announcing a candidate; if the worker keeps
/// publishing in between, the audio thread gives up for this block rather than loop.
constexpr int kAdoptionAttempts = 4;

/// Records the calling thread as the one inside generateAudio for as long as it lives
/// (two atomic stores; pthread_self does not allocate).
class AudioThreadMark {
public:
    explicit AudioThreadMark(std::atomic<std::thread::id>& threadId)
        : id(threadId)
    {
        id.store(std::this_thread::get_id());
    }
    ~AudioThreadMark() { id.store(std::thread::id()); }
    AudioThreadMark(const AudioThreadMark&) = delete;
    AudioThreadMark& operator=(const AudioThreadMark&) = delete;

private:
    std::atomic<std::thread::id>& id;
};

/// The node's channels carry the same mono signal: channel 0 is copied to the others.
void copyFirstChannel(AudioBuffer<float>* buffer)
{
    if (buffer == nullptr) {
        return;
    }
    const float* const first = buffer->getReadPointer(0);
    for (unsigned channel = 1; channel < buffer->getNumberOfChannels(); ++channel) {
        std::copy_n(first, buffer->getNumberOfFrames(), buffer->getWritePointer(channel));
    }
}

} // namespace

void SherpaTTSNode::Internals::setSampleRate(int32_t sampleRate)
{
    if (sampleRate == graphSampleRate) {
        return;
    }
    graphSampleRate = sampleRate;
    if (sampleRate == kInnerSampleRate) {
        resampler.reset();
        return;
    }
    if (resampler) {
        // The host resampler takes the outer rate from each output buffer.
        return;
    }
    resampler = std::make_unique<AudioGraphResampler>(kInnerSampleRate, kInnerBlockSize);
    resampler->setNumberOfBuses(kResamplerInputBuses, kResamplerOutputBuses);
    resampler->setProcessCallback(
        [this](AudioBusList& /*inputs*/, AudioBusList& outputs) { return generateAudio(outputs.getBus(0)); });
}

// All atomics use the default sequentially consistent order: the adoption protocol
// (announce in adoptingAudio, re-read latestAudio) and the worker's reclamation (read
// adoptingAudio, then playingAudio) rely on one total order of these accesses, and the
// stores into playingAudio also publish this thread's last use of the item it drops to
// the worker that frees it.
bool SherpaTTSNode::Internals::generateAudio(AudioBus& bus)
{
    const AudioThreadMark mark(audioThreadId);
    bus.clear();
    AudioBuffer<float>* buffer = bus.getBuffer();
    if (buffer != nullptr && buffer->getNumberOfChannels() == 0) {
        buffer = nullptr; // a block without channels plays nothing
    }

    GeneratedAudio* playing = playingAudio.load();

    // A reload replaced the voice: stop its item (not finished, so no "finished" event).
    if (dropPlayingRequested.load() && dropPlayingRequested.exchange(false) && playing != nullptr) {
        playingAudio.store(nullptr);
        playing = nullptr;
        audioIsPlaying.store(false);
        synthesizeBufferedTextIfReady();
    }

    // The "finished" of an item stopped in the previous block.
    if (stoppedFinishedDue) {
        stoppedFinishedDue = false;
        isFirstSynthesis.store(true);
        emitEventSafely("finished", finishedEventData);
        synthesizeBufferedTextIfReady();
    }

    // End of playback, one block after the item's last sample was written (and never
    // before its generation is complete).
    if (playing != nullptr && (playing->isFinished.load() || playing->playedToEnd())) {
        // Read before the item is let go: the worker may free it from then on.
        const bool due = owesFinished(playing->serial);
        playing->isFinished.store(true);
        playingAudio.store(nullptr);
        playing = nullptr;
        if (due) {
            isFirstSynthesis.store(true);
            emitEventSafely("finished", finishedEventData);
        }
        synthesizeBufferedTextIfReady();
    }

    if (const uint64_t stops = stopCount.load(); stops != stopCountSeen) {
        stopCountSeen = stops;
        playing = applyStop(playing, buffer);
    }

    // A newer item takes over at once; the interrupted one fades out over this block.
    if (GeneratedAudio* const adopted = adoptLatestAudio(playing)) {
        if (playing != nullptr && buffer != nullptr) {
            fadeOutInterrupted(*playing, *buffer);
        }
        playingAudio.store(adopted);
        adoptingAudio.store(nullptr);
        playing = adopted;
    }

    if (playing == nullptr) {
        audioIsPlaying.store(false);
        copyFirstChannel(buffer);
        return true;
    }

    const int32_t frames = buffer != nullptr ? static_cast<int32_t>(buffer->getNumberOfFrames()) : 0;
    if (frames > 0) {
        // Over a fading interrupted item, if any.
        playing->play(buffer->getWritePointer(0), frames, true);
    }
    const bool reachedEnd = playing->playedToEnd();
    if (reachedEnd) {
        playing->isFinished.store(true);
    }
    audioIsPlaying.store(!reachedEnd);

    copyFirstChannel(buffer);
    return true;
}

// Returns the item to adopt, announced in adoptingAudio (the caller stores it into
// playingAudio and then clears adoptingAudio), or null with adoptingAudio cleared.
SherpaTTSNode::Internals::GeneratedAudio* SherpaTTSNode::Internals::adoptLatestAudio(
    const GeneratedAudio* playing)
{
    GeneratedAudio* candidate = latestAudio.load();
    for (int attempt = 0; attempt < kAdoptionAttempts; ++attempt) {
        if (candidate == nullptr || candidate == playing) {
            break;
        }
        adoptingAudio.store(candidate);
        GeneratedAudio* const confirmed = latestAudio.load();
        if (confirmed != candidate) {
            // Replaced in between: the candidate may already be freed; never touch it.
            candidate = confirmed;
            continue;
        }
        // From here the worker will not free the candidate until adoptingAudio is cleared.
        // An item whose synthesis began before a "stop" is never played.
        if (candidate->isFinished.load() || candidate->stopCountAtStart != stopCountSeen) {
            break;
        }
        if (auto hook = TestHooks::onAdopting.load(std::memory_order_relaxed)) {
            hook(candidate);
        }
        return candidate;
    }
    adoptingAudio.store(nullptr);
    return nullptr;
}

// Plays the interrupted item's next stretch into channel 0 and fades it from full gain
// toward silence; channel 0 is copied to the other channels at the end of the block.
void SherpaTTSNode::Internals::fadeOutInterrupted(GeneratedAudio& item, AudioBuffer<float>& buffer)
{
    const int32_t frames = static_cast<int32_t>(buffer.getNumberOfFrames());
    float* const output = buffer.getWritePointer(0);
    const int32_t count = item.play(output, frames, false);
    if (item.playedToEnd()) {
        item.isFinished.store(true);
    }
    if (count > 0) {
        math::Ramp::rampMultiply(
            output, output, kFadeOutStartGain, kFadeOutEndGain, static_cast<uint32_t>(count));
    }
}

// Whether the text numbered `serial` is still owed its "finished"; from here on it is not.
// (An item of no text, serial 0, is owed one each time it ends.)
bool SherpaTTSNode::Internals::owesFinished(uint64_t serial)
{
    if (serial == 0) {
        return true;
    }
    if (serial <= finishedSerial) {
        return false;
    }
    finishedSerial = serial;
    return true;
}

// The playing item fades out over this block and is dropped; a published item of the
// stopped synthesis that was never adopted is discarded. "finished" for what was stopped
// (also a synthesis that had no audio yet) comes in the next block.
SherpaTTSNode::Internals::GeneratedAudio* SherpaTTSNode::Internals::applyStop(
    GeneratedAudio* playing, AudioBuffer<float>* buffer)
{
    // Each text is owed one "finished": none for one whose "finished" was already emitted
    // or is due (it may have ended, or been counted by the previous stop, meanwhile).
    bool due = false;
    if (const uint64_t stoppedSerial = stoppedSynthesisSerial.exchange(0); stoppedSerial != 0) {
        due = owesFinished(stoppedSerial) || due;
    }
    if (playing != nullptr) {
        if (buffer != nullptr) {
            fadeOutInterrupted(*playing, *buffer);
        }
        due = owesFinished(playing->serial) || due; // before the item is let go
        playing->isFinished.store(true);
        playingAudio.store(nullptr);
    }
    // An item published before the stop and not yet adopted (announced like an adoption,
    // so that the worker cannot free it meanwhile).
    GeneratedAudio* candidate = latestAudio.load();
    if (candidate != nullptr && candidate != playing) {
        adoptingAudio.store(candidate);
        if (latestAudio.load() == candidate && !candidate->isFinished.load()
            && candidate->stopCountAtStart != stopCountSeen) {
            candidate->isFinished.store(true);
            due = owesFinished(candidate->serial) || due;
        }
        adoptingAudio.store(nullptr);
    }
    if (due) {
        stoppedFinishedDue = true;
    }
    if (playing != nullptr || stoppedFinishedDue) {
        audioIsPlaying.store(false);
    }
    return nullptr;
}

} // namespace ombrix::extensions::sherpa
