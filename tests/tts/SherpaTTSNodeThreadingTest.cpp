// The text-to-speech node across its threads: an item being adopted by the audio thread
// while the worker reclaims, voice reloads while the graph runs (also from event
// listeners), listeners that throw, and a stress run of every action from several
// threads. Meant to run under ThreadSanitizer and AddressSanitizer as well.

#include "TTSNodeTestSupport.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/GraphRunner.h"

namespace ombrix::testing {
namespace {

using Internals = SherpaTTSNode::Internals;

constexpr int kInnerRate = 16000;
constexpr int kGraphRate = 48000;
constexpr unsigned kMono = 1;
constexpr unsigned kStereo = 2;
constexpr unsigned kGraphBlockFrames = 480;

std::unique_ptr<SherpaTTSNode> makeNodeWithVoice()
{
    auto node = std::make_unique<SherpaTTSNode>(OXAnyMap());
    const VoiceFiles voice = fixtureVoice("voice-en");
    if (!node->loadModel(voice.model, voice.tokens, voice.dataDirectory)) {
        throw std::runtime_error("fixture voice did not load");
    }
    return node;
}

bool reloadVoice(SherpaTTSNode& node, const std::string& name = "voice-en")
{
    const VoiceFiles voice = fixtureVoice(name);
    return node.loadModel(voice.model, voice.tokens, voice.dataDirectory);
}

// ---- test hooks: hold the audio thread mid-adoption, record freed items ----------------

struct AdoptionGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    const GeneratedAudio* held = nullptr;
    bool released = false;
};
AdoptionGate gate;

void holdFirstAdoption(const GeneratedAudio* item)
{
    std::unique_lock<std::mutex> lock(gate.mutex);
    if (!gate.armed) {
        return;
    }
    gate.armed = false;
    gate.held = item;
    gate.changed.notify_all();
    gate.changed.wait(lock, [] { return gate.released; });
}

std::mutex freedMutex;
std::vector<const GeneratedAudio*> freedItems;

void recordFreed(const GeneratedAudio* item)
{
    std::lock_guard<std::mutex> lock(freedMutex);
    freedItems.push_back(item);
}

bool wasFreed(const GeneratedAudio* item)
{
    std::lock_guard<std::mutex> lock(freedMutex);
    return std::find(freedItems.begin(), freedItems.end(), item) != freedItems.end();
}

/// Installs both hooks for one test and removes them again.
class InstalledHooks {
public:
    InstalledHooks()
    {
        {
            std::lock_guard<std::mutex> lock(gate.mutex);
            gate.armed = true;
            gate.held = nullptr;
            gate.released = false;
        }
        {
            std::lock_guard<std::mutex> lock(freedMutex);
            freedItems.clear();
        }
        Internals::TestHooks::onAdopting.store(&holdFirstAdoption);
        Internals::TestHooks::onItemFreed.store(&recordFreed);
    }
    ~InstalledHooks()
    {
        release();
        Internals::TestHooks::onAdopting.store(nullptr);
        Internals::TestHooks::onItemFreed.store(nullptr);
    }
    InstalledHooks(const InstalledHooks&) = delete;
    InstalledHooks& operator=(const InstalledHooks&) = delete;

    const GeneratedAudio* waitUntilHeld()
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.changed.wait_for(lock, kWaitTimeout, [] { return gate.held != nullptr; });
        return gate.held;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.armed = false;
        gate.released = true;
        gate.changed.notify_all();
    }
};

TEST(SherpaTTSNodeThreads, ItemBeingAdoptedSurvivesTheReclamationOfTheNextSynthesis)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    InstalledHooks hooks;
    BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);
    const std::vector<float> expected = referenceSamples(fixtureVoice("voice-en"), kTwoSentences);

    node->synthesize(kTwoSentences);
    const GeneratedAudio* first = waitForPublished(*node);
    ASSERT_NE(first, nullptr);

    std::vector<float> firstBlock;
    std::thread audio([&] {
        driver.pull();
        firstBlock.assign(driver.channel(0), driver.channel(0) + kInnerBlockFrames);
    });
    // The audio thread has read latestAudio and not yet stored it into playingAudio.
    ASSERT_EQ(hooks.waitUntilHeld(), first);

    // Meanwhile the worker publishes a newer item and starts another synthesis, whose
    // reclamation runs before it announces "synthesisStarted".
    node->synthesize("Second text.");
    ASSERT_NE(waitForPublished(*node, first), nullptr);
    node->synthesize("Third text.");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 3));
    EXPECT_FALSE(wasFreed(first)) << "the item the audio thread is adopting was freed";

    hooks.release();
    audio.join();
    // The held item was adopted intact and played its first block.
    EXPECT_EQ(node->getInternalsForTesting().playingAudio.load(), first);
    EXPECT_TRUE(std::equal(firstBlock.begin(), firstBlock.end(), expected.begin()));

    // Once the audio thread has moved on to the newest item, the old one is reclaimed.
    driver.pull();
    node->synthesize("Fourth text.");
    ASSERT_TRUE(recorder.waitForCount("synthesisStarted", 4));
    EXPECT_TRUE(waitUntil([&] { return wasFreed(first); }));
}

TEST(SherpaTTSNodeThreads, ReloadStopsThePlayingItemWithoutFreeingItUnderTheAudioThread)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    InstalledHooks hooks;
    hooks.release(); // no holding here, only the freed-item record
    BlockDriver driver(*node, kInnerRate, kMono, kInnerBlockFrames);

    node->synthesize(kTwoSentences);
    const GeneratedAudio* playing = waitForPublished(*node);
    driver.pull();
    driver.pull();
    ASSERT_EQ(node->getInternalsForTesting().playingAudio.load(), playing);

    log.clear();
    ASSERT_TRUE(reloadVoice(*node));
    EXPECT_TRUE(log.contains("[SherpaTTSNode] Clearing 0 generated audio items"));
    EXPECT_FALSE(log.contains("[SherpaTTSNode] Freeing resampler"));
    EXPECT_FALSE(wasFreed(playing)) << "the audio thread still holds it";

    // The next block stops the old voice's item: silence, and no "finished" for it.
    driver.pull();
    EXPECT_TRUE(std::all_of(
        driver.channel(0), driver.channel(0) + kInnerBlockFrames, [](float x) { return x == 0.0f; }));
    EXPECT_EQ(node->getInternalsForTesting().playingAudio.load(), nullptr);
    EXPECT_EQ(recorder.count("finished"), 0u);

    // The next synthesis reclaims it, and the new voice plays.
    node->synthesize("New voice.");
    ASSERT_NE(waitForPublished(*node), nullptr);
    EXPECT_TRUE(wasFreed(playing));
    driver.pull();
    EXPECT_TRUE(std::any_of(
        driver.channel(0), driver.channel(0) + kInnerBlockFrames, [](float x) { return x != 0.0f; }));
}

TEST(SherpaTTSNodeThreads, ReloadsWhileTheGraphRunsKeepTheOutputConvertedToTheGraphRate)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    GraphRunner runner(kGraphRate, kStereo, kGraphBlockFrames);
    runner.setSource(node.get());
    ASSERT_TRUE(runner.start());
    AudioGraphResampler* const resampler = node->getInternalsForTesting().resampler.get();
    ASSERT_NE(resampler, nullptr);

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> loudBlocks{0};
    std::atomic<bool> channelsDiffer{false};
    std::thread audio([&] {
        while (!stop.load()) {
            const AudioBuffer<float>& out = runner.processBlock();
            const float* left = out.getReadPointer(0);
            const float* right = out.getReadPointer(1);
            if (!std::equal(left, left + out.getNumberOfFrames(), right)) {
                channelsDiffer.store(true);
            }
            if (std::any_of(
                    left, left + out.getNumberOfFrames(), [](float x) { return std::fabs(x) > 0.05f; })) {
                loudBlocks.fetch_add(1);
            }
        }
    });

    constexpr int kReloads = 6;
    for (int reload = 0; reload < kReloads; ++reload) {
        const std::size_t heard = loudBlocks.load();
        node->synthesize(kTwoSentences);
        ASSERT_TRUE(waitUntil([&] { return loudBlocks.load() > heard; }));
        EXPECT_TRUE(reloadVoice(*node, reload % 2 == 0 ? "voice-22050" : "voice-en"));
    }
    // The resampler in use was never replaced, and a text spoken now still plays out.
    EXPECT_EQ(node->getInternalsForTesting().resampler.get(), resampler);
    const std::size_t finished = recorder.count("finished");
    node->synthesize("Still speaking.");
    EXPECT_TRUE(recorder.waitForCount("finished", finished + 1));
    stop.store(true);
    audio.join();
    runner.stop();
    EXPECT_FALSE(channelsDiffer.load());
}

TEST(SherpaTTSNodeThreads, ListenersOnTheWorkerAndAudioThreadsCannotReloadButCanSpeak)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    const VoiceFiles voice = fixtureVoice("voice-en");
    std::atomic<int> reloadFromWorker{-1};
    std::atomic<int> reloadFromAudio{-1};
    node->addEventListener("synthesisStarted", [&](const std::string&, const OXAny&) {
        if (reloadFromWorker.load() == -1) {
            reloadFromWorker.store(node->loadModel(voice.model, voice.tokens, voice.dataDirectory) ? 1 : 0);
        }
    });
    node->addEventListener("finished", [&](const std::string&, const OXAny&) {
        if (reloadFromAudio.load() != -1) {
            return;
        }
        const Result<OXAny> result = node->callAction("loadModel",
            OXAnyMap{{"modelPath", OXAny(voice.model)}, {"tokensPath", OXAny(voice.tokens)},
                {"dataPath", OXAny(voice.dataDirectory)}});
        reloadFromAudio.store(result.isSuccess() && result.getValue().convert<bool>() ? 1 : 0);
        node->callAction("synthesize", OXAnyMap{{"text", OXAny("Chained from the finished listener.")}});
    });

    // 48000 Hz: "finished" is emitted inside the resampler's own process().
    GraphRunner runner(kGraphRate, kStereo, kGraphBlockFrames);
    runner.setSource(node.get());
    ASSERT_TRUE(runner.start());
    node->synthesize("First.");
    const auto deadline = std::chrono::steady_clock::now() + kWaitTimeout;
    while (recorder.count("finished") < 2 && std::chrono::steady_clock::now() < deadline) {
        runner.processBlock();
    }
    runner.stop();

    EXPECT_EQ(reloadFromWorker.load(), 0);
    EXPECT_EQ(reloadFromAudio.load(), 0);
    EXPECT_TRUE(log.contains("[SherpaTTSNode] loadModel refused: called on the node's synthesis thread"));
    EXPECT_TRUE(log.contains("[SherpaTTSNode] loadModel refused: called on the audio thread"));
    EXPECT_EQ(recorder.textsOf("synthesisStarted"),
        (std::vector<std::string>{"First.", "Chained from the finished listener."}));
    EXPECT_EQ(recorder.count("finished"), 2u);
    EXPECT_NE(node->getInternalsForTesting().resampler, nullptr);
}

TEST(SherpaTTSNodeThreads, ExceptionsThrownByListenersAreLoggedAndContained)
{
    LogCapture log;
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node); // added first, so it still sees every event
    node->addEventListener("*", [](const std::string& name, const OXAny&) {
        throw std::runtime_error("listener of " + name + " failed");
    });
    BlockDriver driver(*node, kInnerRate, kStereo, kInnerBlockFrames);
    node->synthesize("Despite the listener.");
    const GeneratedAudio* const item = waitForPublished(*node);
    ASSERT_NE(item, nullptr);
    // Pulled once generation is complete: the item's end is then within the blocks below
    // however slowly the worker ran.
    ASSERT_TRUE(waitUntil([&] { return item->generationComplete.load(); }));
    constexpr std::size_t kMaxBlocks = 1000;
    for (std::size_t block = 0; block < kMaxBlocks && recorder.count("finished") == 0; ++block) {
        driver.pull();
    }
    EXPECT_EQ(recorder.count("finished"), 1u);
    EXPECT_EQ(
        log.count("[SherpaTTSNode] A listener of event 'synthesisStarted' threw an exception: listener of "
                  "synthesisStarted failed"),
        1u);
    EXPECT_EQ(
        log.count(
            "[SherpaTTSNode] A listener of event 'finished' threw an exception: listener of finished failed"),
        1u);
    // The worker survived: the next text is synthesised.
    node->synthesize("Next.");
    EXPECT_TRUE(recorder.waitForCount("synthesisStarted", 2));
}

TEST(SherpaTTSNodeStress, AllActionsFromSeveralThreadsWhileTheAudioThreadPulls)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    // Listeners on both event threads exercise the locks the node takes there.
    node->addEventListener(
        "finished", [&](const std::string&, const OXAny&) { node->appendStreamingText(" ok", false); });
    node->addEventListener(
        "synthesisStarted", [&](const std::string&, const OXAny&) { node->clearStreamingBuffer(); });

    GraphRunner runner(kGraphRate, kStereo, kGraphBlockFrames);
    runner.setSource(node.get());
    ASSERT_TRUE(runner.start());

    std::atomic<bool> stopActions{false};
    std::atomic<bool> stopAudio{false};
    std::atomic<bool> badSample{false};
    std::atomic<std::size_t> blocks{0};
    std::thread audio([&] {
        while (!stopAudio.load()) {
            const AudioBuffer<float>& out = runner.processBlock();
            for (unsigned c = 0; c < out.getNumberOfChannels(); ++c) {
                const float* samples = out.getReadPointer(c);
                for (unsigned i = 0; i < out.getNumberOfFrames(); ++i) {
                    if (!std::isfinite(samples[i]) || std::fabs(samples[i]) > 1.5f) {
                        badSample.store(true);
                    }
                }
            }
            blocks.fetch_add(1);
        }
    });

    const std::vector<std::string> tokens = {"Hello", " there", ",", " friend", ".", " How", " are", " you",
        "?", " This is a longer piece of streamed text without any end", " yet", "!", "\n", " **bold**"};
    const auto actions = [&](unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> choice(0, 99);
        std::uniform_int_distribution<std::size_t> token(0, tokens.size() - 1);
        while (!stopActions.load()) {
            const int pick = choice(random);
            if (pick < 35) {
                node->callAction("synthesize", OXAnyMap{{"text", OXAny(tokens[token(random)] + " stress.")}});
            } else if (pick < 80) {
                node->callAction("appendStreamingText",
                    OXAnyMap{{"token", OXAny(tokens[token(random)])}, {"isFinal", OXAny(pick % 9 == 0)}});
            } else if (pick < 92) {
                node->callAction("clearStreamingBuffer", OXAnyMap());
            } else {
                const std::string voice
                    = pick % 3 == 0 ? "voice-22050" : (pick % 3 == 1 ? "voice-en" : "missing");
                const VoiceFiles files = fixtureVoice(voice);
                node->callAction("loadModel",
                    OXAnyMap{{"modelPath", OXAny(files.model)}, {"tokensPath", OXAny(files.tokens)},
                        {"dataPath", OXAny(files.dataDirectory)}});
            }
        }
    };
    constexpr unsigned kActionThreads = 3;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < kActionThreads; ++t) {
        threads.emplace_back(actions, 1234u + t);
    }
    // A few seconds of wall time; the assertions below do not depend on how much got done.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    waitUntil([&] { return std::chrono::steady_clock::now() >= end; }, std::chrono::seconds(10));
    stopActions.store(true);
    for (auto& thread : threads) {
        thread.join();
    }

    // Afterwards the node is healthy: a load and a text play out to "finished".
    ASSERT_TRUE(reloadVoice(*node));
    const std::size_t finished = recorder.count("finished");
    node->synthesize("Calm again.");
    EXPECT_TRUE(recorder.waitForCount("finished", finished + 1));
    stopAudio.store(true);
    audio.join();
    runner.stop();

    EXPECT_FALSE(badSample.load());
    EXPECT_GT(blocks.load(), 0u);
    EXPECT_LE(recorder.count("finished"), recorder.count("synthesisStarted"));
}

// "stop" from several threads against "synthesize" from others, while the audio thread
// pulls: every item ends exactly once at most, and the node speaks normally afterwards.
TEST(SherpaTTSNodeStress, StopRacingSynthesizeWhileTheAudioThreadPulls)
{
    auto node = makeNodeWithVoice();
    EventRecorder recorder(*node);
    GraphRunner runner(kGraphRate, kStereo, kGraphBlockFrames);
    runner.setSource(node.get());
    ASSERT_TRUE(runner.start());

    std::atomic<bool> stopAudio{false};
    std::thread audio([&] {
        while (!stopAudio.load()) {
            runner.processBlock();
        }
    });
    constexpr int kRounds = 200;
    std::thread speaker([&] {
        for (int round = 0; round < kRounds; ++round) {
            node->callAction("synthesize", OXAnyMap{{"text", OXAny(std::string("One. Two. Three."))}});
            node->callAction("appendStreamingText", OXAnyMap{{"token", OXAny(std::string("Streamed. "))}});
        }
    });
    std::thread stopper([&] {
        for (int round = 0; round < kRounds; ++round) {
            EXPECT_TRUE(node->callAction("stop", OXAnyMap()).isSuccess());
            std::this_thread::yield();
        }
    });
    speaker.join();
    stopper.join();
    node->stop();

    // Whatever was under way ends; then a new text plays to its end.
    auto& internals = node->getInternalsForTesting();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(internals.queueMutex);
        return internals.textQueue.empty() && !internals.synthesisActive;
    }));
    ASSERT_TRUE(waitUntil([&] { return !internals.audioIsPlaying.load(); }));
    const std::size_t finished = recorder.count("finished");
    const std::size_t started = recorder.count("synthesisStarted");
    node->synthesize("Calm again.");
    EXPECT_TRUE(recorder.waitForCount("finished", finished + 1));
    stopAudio.store(true);
    audio.join();
    runner.stop();
    EXPECT_EQ(recorder.count("synthesisStarted"), started + 1);
    EXPECT_LE(recorder.count("finished"), recorder.count("synthesisStarted"));
}

} // namespace
} // namespace ombrix::testing
