// The speech-to-text node used directly for a long session: 10 ms blocks into consume()
// and a transcribe() after every second of audio, as a live host does. Reports the wall
// time of the transcribe() calls of each minute, and minute M against minute 1 (goal
// 1.2x or less: the node resets its stream at pauses, so the cost per call stays flat).
//
//   ombrix_node_long [--minutes M]     (default 60)
//
// The audio repeats "A_B_A___" at 16000 Hz (tone bursts of the synthetic recogniser of
// the fixtures). The final text must hold every burst: 3 letters per repeat. Exit status
// 0 when the text is complete and no block was dropped, 1 otherwise.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "TestSignals.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tests/stt/SttTestSupport.h"

namespace {

using ombrix::extensions::sherpa::SherpaSTTNode;
namespace stt = ombrix::testing::stt;

constexpr int kRate = 16000;
constexpr int kSecondsPerMinute = 60;

double now()
{
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    return static_cast<double>(at.tv_sec) + static_cast<double>(at.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv)
{
    int minutes = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            minutes = std::atoi(argv[i + 1]);
        }
    }
    if (minutes < 2) {
        std::fprintf(stderr, "usage: %s [--minutes M (2 or more)]\n", argv[0]);
        return 1;
    }

    const std::vector<float> piece = ombrix::testing::makeToneBursts("A_B_A___", kRate, 0.0);
    const std::size_t totalFrames = static_cast<std::size_t>(minutes) * kSecondsPerMinute * kRate;
    std::vector<float> audio;
    audio.reserve(totalFrames + piece.size());
    while (audio.size() < totalFrames) {
        audio.insert(audio.end(), piece.begin(), piece.end());
    }
    audio.resize(totalFrames);
    const std::size_t repeats = totalFrames / piece.size();

    SherpaSTTNode node;
    if (!node.loadModel(stt::kAsrModel, stt::kAsrTokens, stt::kAsrGraph)) {
        std::fprintf(stderr, "the fixture recogniser did not load\n");
        return 1;
    }
    std::vector<double> perMinute(static_cast<std::size_t>(minutes), 0.0);
    std::size_t dropped = 0;
    std::string text;
    for (std::size_t second = 0; second * kRate < audio.size(); ++second) {
        const std::span<const float> block(audio.data() + second * kRate, kRate);
        dropped += stt::feedAt(node, block, kRate).dropped;
        const double start = now();
        text = node.transcribe();
        perMinute[second / kSecondsPerMinute] += now() - start;
    }

    std::printf(
        "speech-to-text node, transcribe() every second, %d min of tone bursts at %d Hz:\n", minutes, kRate);
    std::printf("  minute   transcribe time (s)   real-time factor\n");
    for (std::size_t i = 0; i < perMinute.size(); ++i) {
        if (i < 3 || i + 3 >= perMinute.size() || (i + 1) % 10 == 0) {
            std::printf("  %6zu   %19.4f   %16.5f\n", i + 1, perMinute[i], perMinute[i] / kSecondsPerMinute);
        }
    }
    const double growth = perMinute.back() / perMinute.front();
    std::printf(
        "minute %d vs minute 1: %.2fx (goal <= 1.2x) %s\n", minutes, growth, growth <= 1.2 ? "pass" : "MISS");
    // Minute 1 also holds the recogniser's one-time start-up; minute 2 is the steady baseline.
    std::printf("minute %d vs minute 2: %.2fx\n", minutes, perMinute.back() / perMinute[1]);
    std::printf("segments: %zu, text %zu bytes\n", node.segments().size(), text.size());

    std::size_t letters = 0;
    for (const char c : text) {
        letters += (c == 'A' || c == 'B') ? 1 : 0;
    }
    // The last repeat may be cut by the end of the audio and its tail held back.
    if (dropped != 0 || letters + 3 < 3 * repeats || letters > 3 * repeats + 3) {
        std::printf("FAIL: %zu letters for %zu repeats, %zu blocks dropped\n", letters, repeats, dropped);
        return 1;
    }
    return 0;
}
