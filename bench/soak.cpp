// Soak run: one text-to-speech node speaks a token stream for minutes of simulated audio,
// faster than real time, on a 48 kHz stereo graph (so through the resampler), with its
// voice reloaded every so often (alternating the English and German fixture voices).
//
// Memory is measured at quiet points only: before each reload the stream pauses until the
// node has spoken and played everything it was given; the reload then frees every audio
// item, and the heap in use (mallinfo2) and the resident size (after malloc_trim) are
// sampled. Between such points the heap swings by megabytes with the audio items that
// happen to be alive, which would hide a slow leak.
//
// The growth from the first sample after the warm-up to the last (same voice, so the same
// engine size) is compared with what the dependency is known to leak: about 1.3 KB per
// generate call inside espeak-ng (espeak_SetVoiceByName), which no code of ours can free.
//
//   ombrix_soak [--minutes M] [--reload-seconds S] [--allowance-kib K]
//
// Defaults: 30 minutes of audio (tens of seconds of wall time with the synthetic voice), a
// reload every 60 s, 512 KiB allowed beyond the known leak. Exit status 0 when the growth
// stays within that, 1 otherwise, 2 when the node stopped speaking or a reload failed.

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "host/OXAny.h"
#include "tts/SherpaTTSNode.h"
#include "tts/SherpaTTSNodeInternals.h"

namespace {

using ombrix::OXAny;
using ombrix::OXAnyMap;
using ombrix::extensions::sherpa::SherpaTTSNode;

constexpr int kGraphRate = 48000;
constexpr unsigned kGraphChannels = 2;
constexpr unsigned kGraphBlock = 480;
constexpr int kBlocksPerSecond = kGraphRate / static_cast<int>(kGraphBlock);
/// One token every this many blocks of simulated audio (20 tokens per second).
constexpr int kBlocksPerToken = 5;
/// Samples taken before this second are warm-up (allocator pools, first engines).
constexpr int kWarmUpSeconds = 120;
/// espeak-ng inside sherpa-onnx leaks about this much per generate call.
constexpr double kKnownLeakBytesPerGenerate = 1300.0;
/// Texts may wait in the node's queue; beyond this the run lets the worker catch up.
constexpr std::size_t kMaxQueuedTexts = 4;
/// Bound on the blocks pulled to play everything out before a reload.
constexpr int kMaxPlayOutBlocks = 200000;

struct Options {
    double minutes = 30.0;
    int reloadSeconds = 60;
    std::size_t allowanceKiB = 512;
};

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            options.minutes = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--reload-seconds") == 0) {
            options.reloadSeconds = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--allowance-kib") == 0) {
            options.allowanceKiB = static_cast<std::size_t>(std::atol(argv[i + 1]));
        } else {
            std::fprintf(stderr, "unknown option %s\n", argv[i]);
            std::exit(64);
        }
    }
    if (options.reloadSeconds <= 0) {
        std::fprintf(stderr, "--reload-seconds must be positive (memory is sampled at reloads)\n");
        std::exit(64);
    }
    return options;
}

std::size_t heapInUseBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct Sample {
    long second;
    std::size_t voice;
    std::size_t rssKiB;
    std::size_t heapBytes;
    std::size_t generates;
};

class Soak {
public:
    explicit Soak(const Options& runOptions)
        : options(runOptions)
        , voices({ombrix::bench::fixtureVoice("voice-en"), ombrix::bench::fixtureVoice("voice-de")})
        , node(OXAnyMap())
        , internals(node.getInternalsForTesting())
        , tokens(ombrix::bench::tokenStream(100000))
    {
        node.addEventListener("*", [this](const std::string& name, const OXAny&) {
            std::lock_guard<std::mutex> lock(countMutex);
            if (name == "synthesisStarted") {
                ++generates;
            } else if (name == "finished") {
                ++finished;
            }
        });
    }

    int run()
    {
        if (!loadVoice(0)) {
            std::fprintf(stderr, "soak: the fixture voice could not be loaded\n");
            return 2;
        }
        ombrix::bench::BlockPuller puller(node, kGraphRate, kGraphChannels, kGraphBlock);
        const long totalBlocks = static_cast<long>(options.minutes * 60.0 * kBlocksPerSecond);
        const long blocksPerReload = static_cast<long>(options.reloadSeconds) * kBlocksPerSecond;
        const auto wallStart = std::chrono::steady_clock::now();
        for (long block = 1; block <= totalBlocks; ++block) {
            if (block % kBlocksPerToken == 0) {
                waitWhileQueueLonger(kMaxQueuedTexts);
                node.callAction(
                    "appendStreamingText", OXAnyMap{{"token", OXAny(tokens[nextToken % tokens.size()])}});
                ++nextToken;
            }
            pull(puller);
            if (block % blocksPerReload == 0) {
                if (!playOut(puller)) {
                    std::fprintf(stderr, "soak: playback did not end before reload %zu\n", reloads + 1);
                    return 2;
                }
                ++reloads;
                if (!loadVoice(reloads)) {
                    std::fprintf(stderr, "soak: reload %zu failed\n", reloads);
                    return 2;
                }
                sample(block / kBlocksPerSecond);
            }
        }
        const double wallSeconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        return report(wallSeconds, totalBlocks);
    }

private:
    bool loadVoice(std::size_t index)
    {
        const auto& voice = voices[index % voices.size()];
        const OXAnyMap parameters{{"modelPath", OXAny(voice.model)}, {"tokensPath", OXAny(voice.tokens)},
            {"dataPath", OXAny(voice.dataDirectory)}};
        return node.callAction("loadModel", parameters).getValue().convert<bool>();
    }

    std::size_t queuedTexts()
    {
        std::lock_guard<std::mutex> lock(internals.queueMutex);
        return internals.textQueue.size();
    }

    // The run is faster than real time: when texts pile up, the worker catches up.
    void waitWhileQueueLonger(std::size_t limit)
    {
        while (queuedTexts() > limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    /// Waits until the worker has synthesised every queued text (it holds the engine lock
    /// for a whole synthesis).
    void waitForWorker()
    {
        waitWhileQueueLonger(0);
        const std::lock_guard<std::mutex> lock(internals.engineMutex);
    }

    void pull(ombrix::bench::BlockPuller& puller)
    {
        puller.pull();
        ++blocksPulled;
        blocksWithSound += puller.lastBlockHasSound() ? 1 : 0;
    }

    /// Plays everything given so far: pieces still queued, and pieces that the end of
    /// playback cuts from the streaming buffer. False when it does not end.
    bool playOut(ombrix::bench::BlockPuller& puller)
    {
        for (int i = 0; i < kMaxPlayOutBlocks; ++i) {
            waitForWorker();
            const auto* latest = internals.latestAudio.load();
            const bool latestDone = latest == nullptr || latest->isFinished.load();
            if (latestDone && internals.playingAudio.load() == nullptr && queuedTexts() == 0) {
                return true;
            }
            pull(puller);
        }
        return false;
    }

    void sample(long second)
    {
        // Hand freed memory back first, so that the resident size follows what is in use
        // rather than the high-water mark of the largest audio item so far.
        malloc_trim(0);
        std::lock_guard<std::mutex> lock(countMutex);
        samples.push_back(
            {second, reloads % voices.size(), ombrix::bench::residentKiB(), heapInUseBytes(), generates});
    }

    int report(double wallSeconds, long totalBlocks)
    {
        std::printf("soak: %.1f min of simulated audio (%ld blocks) in %.1f s of wall time, %zu tokens, %zu "
                    "generate calls, %zu finished events, %zu voice reloads, %.1f%% of blocks with sound\n",
            options.minutes, totalBlocks, wallSeconds, nextToken, generates, finished, reloads,
            100.0 * static_cast<double>(blocksWithSound) / static_cast<double>(blocksPulled));
        std::printf("%8s %6s %10s %12s %10s\n", "second", "voice", "rss KiB", "heap bytes", "generates");
        for (const Sample& s : samples) {
            std::printf("%8ld %6s %10zu %12zu %10zu\n", s.second, s.voice == 0 ? "en" : "de", s.rssKiB,
                s.heapBytes, s.generates);
        }
        if (generates == 0 || blocksWithSound == 0) {
            std::printf("soak: FAILED: the node did not speak\n");
            return 2;
        }
        const Sample* first = nullptr;
        for (const Sample& s : samples) {
            if (s.second >= kWarmUpSeconds && (first == nullptr) && s.voice == samples.back().voice) {
                first = &s;
            }
        }
        const Sample& last = samples.back();
        if (first == nullptr || first == &last) {
            std::printf("soak: too short to compare two samples after the %d s warm-up\n", kWarmUpSeconds);
            return 0;
        }
        const double calls = static_cast<double>(last.generates - first->generates);
        const double knownLeak = calls * kKnownLeakBytesPerGenerate;
        const double heapGrowth = static_cast<double>(last.heapBytes) - static_cast<double>(first->heapBytes);
        const double rssGrowthKiB = static_cast<double>(last.rssKiB) - static_cast<double>(first->rssKiB);
        const double beyond = heapGrowth - knownLeak;
        std::printf("soak: second %ld to %ld: heap %+.0f bytes over %.0f generate calls (%.0f per call), rss "
                    "%+.0f KiB; known espeak-ng leak %.0f bytes; beyond it %+.0f bytes (allowance %zu KiB)\n",
            first->second, last.second, heapGrowth, calls, calls > 0 ? heapGrowth / calls : 0.0, rssGrowthKiB,
            knownLeak, beyond, options.allowanceKiB);
        const bool flat = beyond <= static_cast<double>(options.allowanceKiB) * 1024.0;
        std::printf("soak: %s\n", flat ? "memory flat apart from the known leak" : "FAILED: memory grows");
        return flat ? 0 : 1;
    }

    const Options options;
    const std::vector<ombrix::bench::VoiceFiles> voices;
    SherpaTTSNode node;
    SherpaTTSNode::Internals& internals;
    const std::vector<std::string> tokens;
    std::mutex countMutex;
    std::size_t generates = 0;
    std::size_t finished = 0;
    std::size_t nextToken = 0;
    std::size_t reloads = 0;
    long blocksPulled = 0;
    long blocksWithSound = 0;
    std::vector<Sample> samples;
};

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    ombrix::bench::installQuietLogger();
    Soak soak(options);
    return soak.run();
}
