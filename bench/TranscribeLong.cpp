// Long inputs through ombrix-transcribe, run as a user runs it with its standard output
// on a pipe: the size of that output against the text it carries, and the real-time
// factor of every minute.
//
//   ombrix_transcribe_long [--minutes M]
//
// Defaults: 30 minutes (make bench; about 10 s of wall time on two cores with the
// test recogniser); make bench-smoke passes 2. The file repeats "A_B_A___" at 16000 Hz
// (1.9 s: three bursts, then 0.9 s of silence, at which the node restarts decoding). The
// run must drop no frame and give the letters of the input.
//
// Figures, each against a baseline of the same run:
//   - standard output's bytes against the final text's bytes plus its timestamps (two
//     times of "%.3f" per segment, what a transcript with times cannot do without);
//     goal at most 2x. Printing the whole text at every change instead grows with the
//     square of the length.
//   - the real-time factor of the last minute against the first.
// Exit status 0 when the run succeeds and the output meets its goal, 1 otherwise.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
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
    std::size_t outputBytes = 0;
    std::size_t segments = 0;
    std::size_t timestampBytes = 0;
};

// The tool's JSON is flat enough, up to its segments, to pick the few fields out by name
// (the first "text" is the whole text).
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

Run transcribe(const std::string& wav, const std::string& base)
{
    SubprocessOptions options;
    options.arguments = {"--output-json", "--output-file", base, wav};
    options.timeout = std::chrono::hours(1);
    const auto result = runSubprocess(std::string(OMBRIX_BIN_DIR) + "/ombrix-transcribe", options);
    Run run;
    if (!result.succeeded()) {
        std::fprintf(stderr, "ombrix-transcribe failed: %s\n", result.describe().c_str());
        return run;
    }
    // Standard output: "<start>\t<end>\t<text>" per segment.
    run.outputBytes = result.standardOutput.size();
    for (std::size_t at = 0; at < result.standardOutput.size();) {
        const std::size_t end = result.standardOutput.find('\n', at);
        const std::size_t first = result.standardOutput.find('\t', at);
        const std::size_t second = result.standardOutput.find('\t', first + 1);
        if (end == std::string::npos || first == std::string::npos || second == std::string::npos
            || second > end) {
            std::fprintf(stderr, "not a segment line at byte %zu\n", at);
            return run;
        }
        run.timestampBytes += (first - at) + (second - first - 1);
        ++run.segments;
        at = end + 1;
    }
    std::ifstream file(base + ".json");
    const std::string json((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    fs::remove(base + ".json");
    run.text = field(json, "text");
    run.wallSeconds = std::atof(field(json, "wall_seconds").c_str());
    run.droppedFrames = std::atol(field(json, "dropped_frames").c_str());
    const std::string list = field(json, "realtime_factor_per_minute");
    for (const char* at = list.c_str(); *at != '\0';) {
        char* end = nullptr;
        run.perMinute.push_back(std::strtod(at, &end));
        at = *end == ',' ? end + 1 : end;
    }
    run.ok = !run.text.empty();
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
    double minutes = 30.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--minutes") == 0) {
            minutes = std::atof(argv[i + 1]);
        }
    }
    if (minutes < 2.0) {
        std::fprintf(stderr, "usage: %s [--minutes M (2 or more)]\n", argv[0]);
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

    const std::string base = wav.string() + ".transcript";
    const Run run = transcribe(wav.string(), base);
    fs::remove(wav);
    if (!run.ok) {
        return 1;
    }

    std::printf("real-time factor per minute (wall time of the minute / 60 s):\n");
    for (std::size_t i = 0; i < run.perMinute.size(); ++i) {
        std::printf("  minute %3zu   %8.4f\n", i + 1, run.perMinute[i]);
    }
    if (run.perMinute.size() >= 2) {
        std::printf("last minute vs first: %.2fx; total wall time %.1f s\n",
            run.perMinute.back() / run.perMinute.front(), run.wallSeconds);
    }
    const std::size_t baseline = run.text.size() + run.timestampBytes;
    const double ratio = static_cast<double>(run.outputBytes) / static_cast<double>(baseline);
    std::printf(
        "standard output: %zu bytes in %zu segment lines; final text %zu bytes + timestamps %zu bytes "
        "= %zu bytes; ratio %.2fx (goal <= 2x): %s\n",
        run.outputBytes, run.segments, run.text.size(), run.timestampBytes, baseline, ratio,
        ratio <= 2.0 ? "met" : "MISSED");
    bool ok = ratio <= 2.0;
    if (run.droppedFrames != 0) {
        std::printf("FAIL: %ld frames were dropped\n", run.droppedFrames);
        ok = false;
    }
    std::string expected;
    for (long i = 0; i < repeats; ++i) {
        expected += "ABA";
    }
    if (letters(run.text) != expected) {
        std::printf(
            "FAIL: not the letters of the input (%zu of %zu)\n", letters(run.text).size(), expected.size());
        ok = false;
    }
    return ok ? 0 : 1;
}
