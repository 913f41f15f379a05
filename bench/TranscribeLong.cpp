// Long inputs through ombrix-transcribe: the real-time factor of every minute of a long
// file of tone bursts, once on one stream (the node's configuration: endpoint detection
// off, so the text and the cost of each decoding step grow with the stream) and once with
// --segment (a new stream of the same model at the first pause after each segment).
//
//   ombrix_transcribe_long [--minutes M] [--segment S]
//
// Defaults: 10 minutes (about a minute of wall time on two cores), segments of 60 s; make
// bench passes BENCH_LONG_MINUTES (30 for the full half hour, which takes several
// minutes). The file repeats "A_B_A___" at 16000 Hz (1.9 s: three bursts, then 0.9 s of
// silence, long enough to end a segment). Each run must drop no frame and give the same
// letters (the segmented text has spaces between its segments).
//
// Figures, each against a baseline of the same run: the real-time factor of the last
// minute against the first minute, for both runs, and the segmented run's total wall time
// against the single stream's. Exit status 0 when both runs succeed, 1 otherwise.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "Subprocess.h"
#include "TestSignals.h"
#include "host/AudioBuffer.h"
#include "host/GraphRunner.h"

namespace {

namespace fs = std::filesystem;
using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;

constexpr int kRate = 16000;
constexpr const char* kPattern = "A_B_A___";

struct Run {
    bool ok = false;
    std::string text;
    std::vector<double> perMinute;
    double wallSeconds = 0.0;
    long droppedFrames = -1;
    int segments = 0;
};

// The tool's JSON is flat enough to pick the few fields out by name.
std::string field(const std::string& json, const std::string& name)
{
    const std::string key = "\"" + name + "\":";
    const std::size_t at = json.find(key);
    if (at == std::string::npos) {
        return {};
    }
    std::size_t begin = at + key.size();
    std::size_t end = begin;
    if (json[begin] == '"') {
        end = json.find('"', begin + 1);
        return json.substr(begin + 1, end - begin - 1);
    }
    if (json[begin] == '[') {
        end = json.find(']', begin);
        return json.substr(begin + 1, end - begin - 1);
    }
    end = json.find_first_of(",}", begin);
    return json.substr(begin, end - begin);
}

Run transcribe(const std::string& wav, double segmentSeconds)
{
    SubprocessOptions options;
    options.arguments = {"--json", "-q", wav};
    if (segmentSeconds > 0.0) {
        options.arguments.insert(options.arguments.begin(), {"--segment", std::to_string(segmentSeconds)});
    }
    options.timeout = std::chrono::hours(1);
    const auto result = runSubprocess(std::string(OMBRIX_BIN_DIR) + "/ombrix-transcribe", options);
    Run run;
    if (!result.succeeded()) {
        std::fprintf(stderr, "ombrix-transcribe failed: %s\n", result.describe().c_str());
        return run;
    }
    const std::string& json = result.standardOutput;
    run.text = field(json, "text");
    run.wallSeconds = std::atof(field(json, "wall_seconds").c_str());
    run.droppedFrames = std::atol(field(json, "dropped_frames").c_str());
    run.segments = std::atoi(field(json, "segments").c_str());
    const std::string list = field(json, "realtime_factor_per_minute");
    for (const char* at = list.c_str(); *at != '\0';) {
        char* end = nullptr;
        run.perMinute.push_back(std::strtod(at, &end));
        at = *end == ',' ? end + 1 : end;
    }
    run.ok = true;
    return run;
}

std::string letters(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    double minutes = 10.0;
    double segmentSeconds = 60.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            minutes = std::atof(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--segment") == 0) {
            segmentSeconds = std::atof(argv[i + 1]);
        }
    }
    if (minutes < 2.0 || segmentSeconds <= 0.0) {
        std::fprintf(stderr, "usage: %s [--minutes M (2 or more)] [--segment S]\n", argv[0]);
        return 2;
    }

    // The input, written piece by piece.
    const fs::path wav
        = fs::temp_directory_path() / ("ombrix-transcribe-long-" + std::to_string(::getpid()) + ".wav");
    std::vector<float> piece = ombrix::testing::makeToneBursts(kPattern, kRate, 0.0);
    const auto repeats = static_cast<long>(minutes * 60.0 * kRate / static_cast<double>(piece.size())) + 1;
    {
        ombrix::WavWriter writer;
        float* channel = piece.data();
        const ombrix::AudioBuffer<float> buffer(
            &channel, 1, static_cast<unsigned>(piece.size()), false, kRate);
        if (!writer.open(wav.string(), kRate, 1)) {
            std::fprintf(stderr, "cannot write %s\n", wav.c_str());
            return 1;
        }
        for (long i = 0; i < repeats; ++i) {
            writer.write(buffer);
        }
        writer.close();
    }
    std::printf("long input: %ld x \"%s\" at %d Hz = %.1f min of tone bursts (test tones)\n", repeats,
        kPattern, kRate, static_cast<double>(repeats * piece.size()) / kRate / 60.0);
    std::fflush(stdout);

    const Run single = transcribe(wav.string(), 0.0);
    const Run segmented = transcribe(wav.string(), segmentSeconds);
    fs::remove(wav);
    if (!single.ok || !segmented.ok) {
        return 1;
    }

    std::printf("real-time factor per minute (wall time of the minute / 60 s):\n");
    std::printf("  minute   one stream   --segment %.0f\n", segmentSeconds);
    const std::size_t rows = std::max(single.perMinute.size(), segmented.perMinute.size());
    for (std::size_t i = 0; i < rows; ++i) {
        std::printf("  %6zu   %10.4f   %10.4f\n", i + 1,
            i < single.perMinute.size() ? single.perMinute[i] : 0.0,
            i < segmented.perMinute.size() ? segmented.perMinute[i] : 0.0);
    }
    bool ok = true;
    if (single.perMinute.size() >= 2 && segmented.perMinute.size() >= 2) {
        const double singleGrowth = single.perMinute.back() / single.perMinute.front();
        const double segmentedGrowth = segmented.perMinute.back() / segmented.perMinute.front();
        std::printf("last minute vs first: one stream %.2fx, segmented %.2fx (%d segments)\n", singleGrowth,
            segmentedGrowth, segmented.segments);
    }
    std::printf("total wall time: one stream %.1f s, segmented %.1f s (%.2fx)\n", single.wallSeconds,
        segmented.wallSeconds, segmented.wallSeconds / single.wallSeconds);
    if (single.droppedFrames != 0 || segmented.droppedFrames != 0) {
        std::printf("FAIL: frames were dropped (%ld, %ld)\n", single.droppedFrames, segmented.droppedFrames);
        ok = false;
    }
    std::string expected;
    for (long i = 0; i < repeats; ++i) {
        expected += "ABA";
    }
    if (letters(single.text) != expected || letters(segmented.text) != expected) {
        std::printf("FAIL: not the letters of the input (%zu and %zu of %zu)\n", letters(single.text).size(),
            letters(segmented.text).size(), expected.size());
        ok = false;
    }
    return ok ? 0 : 1;
}
