// Soak run: one text-to-speech node speaks a token stream for minutes of simulated audio,
// faster than real time, with its voice reloaded (alternating the English and German
// fixture voices) every so often, on a 48 kHz stereo graph (so through the resampler).
// Resident memory and the heap in use are sampled along the way; at the end the growth
// after the warm-up is compared with what the dependency is known to leak: about 1.3 KB
// per generate call inside espeak-ng (espeak_SetVoiceByName), which no code of ours can
// free.
//
//   ombrix_soak [--minutes M] [--reload-seconds S] [--allowance-kib K]
//
// Exit status 0 when the heap growth after the warm-up stays within the known leak plus
// the allowance (default 1024 KiB), 1 otherwise, 2 when the node stopped speaking.

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
/// Memory is sampled every this many simulated seconds; the first samples are warm-up.
constexpr int kSampleEverySeconds = 10;
constexpr int kWarmUpSeconds = 60;
/// espeak-ng inside sherpa-onnx leaks about this much per generate call.
constexpr double kKnownLeakBytesPerGenerate = 1300.0;
/// Texts may wait in the node's queue; beyond this the run lets the worker catch up.
constexpr std::size_t kMaxQueuedTexts = 4;

struct Options {
    double minutes = 5.0;
    int reloadSeconds = 60;
    std::size_t allowanceKiB = 1024;
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
    return options;
}

std::size_t heapInUseBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct Sample {
    int second;
    std::size_t rssKiB;
    std::size_t heapBytes;
    std::size_t generates;
};

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    ombrix::bench::installQuietLogger();

    const std::vector<ombrix::bench::VoiceFiles> voices
        = {ombrix::bench::fixtureVoice("voice-en"), ombrix::bench::fixtureVoice("voice-de")};
    SherpaTTSNode node{OXAnyMap()};
    auto& internals = node.getInternalsForTesting();
    std::size_t generates = 0;
    std::size_t finished = 0;
    std::mutex countMutex;
    node.addEventListener("*", [&](const std::string& name, const OXAny&) {
        std::lock_guard<std::mutex> lock(countMutex);
        if (name == "synthesisStarted") {
            ++generates;
        } else if (name == "finished") {
            ++finished;
        }
    });
    auto loadVoice = [&](std::size_t index) {
        const auto& voice = voices[index % voices.size()];
        const OXAnyMap parameters{{"modelPath", OXAny(voice.model)}, {"tokensPath", OXAny(voice.tokens)},
            {"dataPath", OXAny(voice.dataDirectory)}};
        return node.callAction("loadModel", parameters).getValue().convert<bool>();
    };
    if (!loadVoice(0)) {
        std::fprintf(stderr, "soak: the fixture voice could not be loaded\n");
        return 2;
    }

    ombrix::bench::BlockPuller puller(node, kGraphRate, kGraphChannels, kGraphBlock);
    const std::vector<std::string> tokens = ombrix::bench::tokenStream(100000);
    const long totalBlocks = static_cast<long>(options.minutes * 60.0 * kBlocksPerSecond);
    std::size_t nextToken = 0;
    std::size_t reloads = 0;
    long blocksWithSound = 0;
    std::vector<Sample> samples;
    const auto wallStart = std::chrono::steady_clock::now();

    for (long block = 0; block < totalBlocks; ++block) {
        if (block % kBlocksPerToken == 0) {
            // Let the worker catch up when texts pile up (the run is faster than real time).
            for (;;) {
                std::size_t queued = 0;
                {
                    std::lock_guard<std::mutex> lock(internals.queueMutex);
                    queued = internals.textQueue.size();
                }
                if (queued <= kMaxQueuedTexts) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            const OXAnyMap parameters{{"token", OXAny(tokens[nextToken % tokens.size()])}};
            node.callAction("appendStreamingText", parameters);
            ++nextToken;
        }
        puller.pull();
        blocksWithSound += puller.lastBlockHasSound() ? 1 : 0;

        const long second = block / kBlocksPerSecond;
        if (block % kBlocksPerSecond == 0 && second > 0) {
            if (options.reloadSeconds > 0 && second % options.reloadSeconds == 0) {
                ++reloads;
                if (!loadVoice(reloads)) {
                    std::fprintf(stderr, "soak: reload %zu failed\n", reloads);
                    return 2;
                }
            }
            if (second % kSampleEverySeconds == 0) {
                std::lock_guard<std::mutex> lock(countMutex);
                samples.push_back(
                    {static_cast<int>(second), ombrix::bench::residentKiB(), heapInUseBytes(), generates});
            }
        }
    }
    node.callAction("appendStreamingText", OXAnyMap{{"token", OXAny("")}, {"isFinal", OXAny(true)}});
    const double wallSeconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    std::printf("soak: %.1f min of simulated audio in %.1f s of wall time, %zu tokens, %zu generate calls, "
                "%zu finished events, %zu voice reloads, %.1f%% of blocks with sound\n",
        options.minutes, wallSeconds, nextToken, generates, finished, reloads,
        100.0 * static_cast<double>(blocksWithSound) / static_cast<double>(totalBlocks));
    std::printf("%8s %10s %12s %10s\n", "second", "rss KiB", "heap bytes", "generates");
    for (const Sample& s : samples) {
        std::printf("%8d %10zu %12zu %10zu\n", s.second, s.rssKiB, s.heapBytes, s.generates);
    }

    const Sample* base = nullptr;
    for (const Sample& s : samples) {
        if (s.second >= kWarmUpSeconds) {
            base = &s;
            break;
        }
    }
    if (base == nullptr || samples.back().second == base->second) {
        std::printf("soak: too short to compare after the %d s warm-up\n", kWarmUpSeconds);
        return blocksWithSound > 0 ? 0 : 2;
    }
    const Sample& last = samples.back();
    const double generatesSince = static_cast<double>(last.generates - base->generates);
    const double knownLeak = generatesSince * kKnownLeakBytesPerGenerate;
    const double heapGrowth = static_cast<double>(last.heapBytes) - static_cast<double>(base->heapBytes);
    const double rssGrowthKiB = static_cast<double>(last.rssKiB) - static_cast<double>(base->rssKiB);
    const double unexplained = heapGrowth - knownLeak;
    std::printf("soak: from second %d to %d: heap +%.0f bytes (%.0f per generate), rss %+.0f KiB; known "
                "espeak-ng leak %.0f bytes; beyond it %+.0f bytes (allowance %zu KiB)\n",
        base->second, last.second, heapGrowth, generatesSince > 0 ? heapGrowth / generatesSince : 0.0,
        rssGrowthKiB, knownLeak, unexplained, options.allowanceKiB);
    if (blocksWithSound == 0 || generates == 0) {
        std::printf("soak: FAILED: the node did not speak\n");
        return 2;
    }
    const bool flat = unexplained <= static_cast<double>(options.allowanceKiB) * 1024.0;
    std::printf("soak: %s\n", flat ? "memory flat apart from the known leak" : "FAILED: memory grows");
    return flat ? 0 : 1;
}
