// The speech-to-text node used directly for a long session: 10 ms blocks into consume()
// and a transcribe() after every second of audio, as a live host does. Reports the wall
// time of the transcribe() calls of each minute, and minute M against minute 1 (goal
// 1.2x or less: the node resets its stream at pauses, so the cost per call stays flat).
// Then the same audio through one stream of sherpa-onnx that is never reset, read once at
// the end, and the token difference between its text and the node's whole text.
//
//   ombrix_node_long [--minutes M] [--model F --tokens F --graph F]
//
// M defaults to 60; the recogniser to the synthetic one of the fixtures (the real-size one
// of `make bench BENCH_ARGS=--real-size` has the same tone detector in icefall's layout).
// The audio repeats "A_B_A___" at 16000 Hz (tone bursts: a 1 kHz burst reads "A", a 4 kHz
// burst "B"). The final text must hold every burst: 3 letters per repeat. Exit status 0
// when the text is complete and no block was dropped, 1 otherwise.

#include <algorithm>
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

/// The tokens of a text of the tone recognisers: one letter each, whatever the spacing.
std::string tokensOf(const std::string& text)
{
    std::string tokens;
    for (const char c : text) {
        if (c != ' ') {
            tokens += c;
        }
    }
    return tokens;
}

/// Levenshtein distance (insertions, deletions and substitutions), two rows.
std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> previous(b.size() + 1);
    std::vector<std::size_t> current(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        previous[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({substitution, previous[j] + 1, current[j - 1] + 1});
        }
        std::swap(previous, current);
    }
    return previous[b.size()];
}

} // namespace

int main(int argc, char** argv)
{
    int minutes = 60;
    std::string model = stt::kAsrModel;
    std::string tokens = stt::kAsrTokens;
    std::string graph = stt::kAsrGraph;
    bool usage = argc % 2 == 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            minutes = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--model") == 0) {
            model = argv[i + 1];
        } else if (std::strcmp(argv[i], "--tokens") == 0) {
            tokens = argv[i + 1];
        } else if (std::strcmp(argv[i], "--graph") == 0) {
            graph = argv[i + 1];
        } else {
            usage = true;
        }
    }
    if (minutes < 2 || usage) {
        std::fprintf(
            stderr, "usage: %s [--minutes M (2 or more)] [--model F --tokens F --graph F]\n", argv[0]);
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
    if (!node.loadModel(model, tokens, graph)) {
        std::fprintf(stderr, "the recogniser did not load: %s\n", model.c_str());
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

    const double endlessStart = now();
    const std::string endless = tokensOf(stt::endlessStreamText(model, tokens, graph, audio, kRate));
    const double endlessSeconds = now() - endlessStart;
    const std::string whole = tokensOf(text);
    const std::size_t distance = editDistance(whole, endless);
    std::printf("whole text across resets vs one endless stream (%.1f s): %zu and %zu tokens, %zu differ "
                "(edit distance, %.3f%%)\n",
        endlessSeconds, whole.size(), endless.size(), distance,
        endless.empty() ? 0.0 : 100.0 * static_cast<double>(distance) / static_cast<double>(endless.size()));

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
