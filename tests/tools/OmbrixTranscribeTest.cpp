// ombrix-transcribe as a user runs it: a separate program on WAV files of test tones,
// with the synthetic recogniser of the fixtures (1 kHz burst "A", 4 kHz burst "B").

#include "SpeakToolSupport.h"
#include "TestSignals.h"
#include "stt/SttTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/GraphRunner.h"
#include "ombrix/sherpa/SherpaSTTNode.h"

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;
using extensions::sherpa::SherpaSTTNode;

const std::string kTool = std::string(OMBRIX_BIN_DIR) + "/ombrix-transcribe";
// Long enough for several one-second intervals; its transcript has every kind of step.
constexpr const char* kPattern = "A_B_A_BB_A__B";
constexpr const char* kPatternText = "ABABAB";

/// Writes `samples` on every one of `channels` channels as 16-bit PCM.
void writeWav(const fs::path& path, const std::vector<float>& samples, int rate, unsigned channels)
{
    WavWriter wav;
    ASSERT_TRUE(wav.open(path.string(), rate, channels));
    std::vector<float*> pointers(channels, const_cast<float*>(samples.data()));
    if (!samples.empty()) {
        ASSERT_TRUE(wav.write(AudioBuffer<float>(
            pointers.data(), channels, static_cast<unsigned>(samples.size()), false, rate)));
    }
    ASSERT_TRUE(wav.close());
}

std::string lastLine(const std::string& text)
{
    std::string trimmed = text;
    if (!trimmed.empty() && trimmed.back() == '\n') {
        trimmed.pop_back();
    }
    const std::size_t at = trimmed.rfind('\n');
    return at == std::string::npos ? trimmed : trimmed.substr(at + 1);
}

struct TimedText {
    double seconds;
    std::string text;
};

/// The "<seconds>\t<text>" lines before the last line.
std::vector<TimedText> timedLines(const std::string& output)
{
    std::vector<TimedText> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (const std::size_t tab = line.find('\t'); tab != std::string::npos) {
            lines.push_back({std::stod(line.substr(0, tab)), line.substr(tab + 1)});
        }
    }
    return lines;
}

/// The node's own answer: the same audio fed directly in 10 ms blocks, then the tool's
/// tail of silence, then one transcribe().
std::string nodeTranscript(const std::vector<float>& samples, int rate)
{
    SherpaSTTNode node;
    EXPECT_TRUE(node.loadModel(stt::kAsrModel, stt::kAsrTokens, stt::kAsrGraph));
    stt::feedAt(node, samples, rate);
    stt::feedAt(node, makeSilence(rate, 0.6), rate);
    return node.transcribe();
}

/// Reads the tool's JSON with Python's parser and prints the fields as lines:
/// text, then "time<TAB>text" per partial, then sample rate, channels and dropped frames.
SubprocessResult parseJson(const std::string& json)
{
    SubprocessOptions options = withArguments({"-c",
        "import json, sys\n"
        "d = json.load(sys.stdin)\n"
        "print(d['text'])\n"
        "for p in d['partials']: print('%.3f\\t%s' % (p['time'], p['text']))\n"
        "print(d['input']['sample_rate'], d['input']['channels'], d['dropped_frames'])\n"});
    options.standardInput = json;
    return runSubprocess("python3", options);
}

TEST(TranscribeTool, GivesTheNodesTextForToneBurstsAtAnyRateAndChannelCount)
{
    ScratchDirectory scratch;
    const std::vector<float> mono16 = makeToneBursts(kPattern, 16000, 0.0);
    const std::vector<float> stereo44 = makeToneBursts(kPattern, 44100, 0.0);
    const fs::path file16 = scratch.path() / "bursts-16k-mono.wav";
    const fs::path file44 = scratch.path() / "bursts-44k-stereo.wav";
    writeWav(file16, mono16, 16000, 1);
    writeWav(file44, stereo44, 44100, 2);

    // The audio ends with the last burst: the tool's own tail decodes it.
    for (const auto& [file, samples, rate] :
        {std::tuple{file16, mono16, 16000}, std::tuple{file44, stereo44, 44100}}) {
        SCOPED_TRACE(file.filename().string());
        const auto run = runSubprocess(kTool, withArguments({"--interval", "0.5", file.string()}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        EXPECT_EQ(lastLine(run.standardOutput), kPatternText) << run.standardOutput;
        EXPECT_EQ(lastLine(run.standardOutput), nodeTranscript(samples, rate));

        // Timed texts: each one grows from the one before, at a later graph time, on the
        // interval's grid, ending at the final text.
        const std::vector<TimedText> lines = timedLines(run.standardOutput);
        ASSERT_GE(lines.size(), 4u) << run.standardOutput;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            EXPECT_GT(lines[i].seconds, lines[i - 1].seconds);
            EXPECT_GT(lines[i].text.size(), lines[i - 1].text.size());
            EXPECT_EQ(lines[i].text.rfind(lines[i - 1].text, 0), 0u) << lines[i].text;
        }
        EXPECT_EQ(lines.back().text, kPatternText);

        // The same run as JSON, which parses to the same texts and times.
        const auto json = runSubprocess(kTool, withArguments({"--json", "--interval", "0.5", file.string()}));
        ASSERT_TRUE(json.succeeded()) << json.describe();
        const auto parsed = parseJson(json.standardOutput);
        ASSERT_TRUE(parsed.succeeded()) << parsed.describe() << json.standardOutput;
        std::istringstream fields(parsed.standardOutput);
        std::string line;
        std::getline(fields, line);
        EXPECT_EQ(line, kPatternText);
        for (const TimedText& timed : lines) {
            ASSERT_TRUE(std::getline(fields, line));
            const std::vector<TimedText> again = timedLines(line + "\n");
            ASSERT_EQ(again.size(), 1u) << line;
            EXPECT_NEAR(again[0].seconds, timed.seconds, 1e-3);
            EXPECT_EQ(again[0].text, timed.text);
        }
        ASSERT_TRUE(std::getline(fields, line));
        EXPECT_EQ(line, std::to_string(rate) + (rate == 16000 ? " 1 0" : " 2 0"));
    }

    // The same audio as a WAV stream and as raw 16-bit samples on standard input.
    std::ifstream wavFile(file16, std::ios::binary);
    const std::string wavBytes((std::istreambuf_iterator<char>(wavFile)), std::istreambuf_iterator<char>());
    SubprocessOptions fromPipe = withArguments({"-q", "-"});
    fromPipe.standardInput = wavBytes;
    const auto piped = runSubprocess(kTool, fromPipe);
    ASSERT_TRUE(piped.succeeded()) << piped.describe();
    EXPECT_EQ(piped.standardOutput, std::string(kPatternText) + "\n");
    const std::size_t dataOffset = wavBytes.find("data") + 8;
    SubprocessOptions raw = withArguments({"-q", "--raw", "--rate", "16000"});
    raw.standardInput = wavBytes.substr(dataOffset);
    const auto rawRun = runSubprocess(kTool, raw);
    ASSERT_TRUE(rawRun.succeeded()) << rawRun.describe();
    EXPECT_EQ(rawRun.standardOutput, std::string(kPatternText) + "\n");

    // Pauses of 0.8 s: with --segment each ends a segment (a new stream), and the texts are
    // joined with spaces; on one stream, and paced on the wall clock from a thread of its
    // own, the same letters without spaces.
    const fs::path paused = scratch.path() / "paused.wav";
    writeWav(paused, makeToneBursts("AB____BA____A", 16000, 0.0), 16000, 1);
    const auto segmented = runSubprocess(kTool, withArguments({"-q", "--segment", "0.5", paused.string()}));
    ASSERT_TRUE(segmented.succeeded()) << segmented.describe();
    EXPECT_EQ(segmented.standardOutput, "AB BA A\n");
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"-q", paused.string()}, {"-q", "--realtime", paused.string()}}) {
        const auto run = runSubprocess(kTool, withArguments(arguments));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        EXPECT_EQ(run.standardOutput, "ABBAA\n") << arguments[1];
    }

    // No audio at all: an empty text, and success.
    const fs::path empty = scratch.path() / "empty.wav";
    writeWav(empty, {}, 16000, 1);
    const auto none = runSubprocess(kTool, withArguments({empty.string()}));
    ASSERT_TRUE(none.succeeded()) << none.describe();
    EXPECT_EQ(none.standardOutput, "\n");
}

TEST(TranscribeTool, StopsWithTheReasonWhenTheModelOrTheInputIsUnusable)
{
    ScratchDirectory scratch;
    const fs::path good = scratch.path() / "good.wav";
    writeWav(good, makeToneBursts("A_B", 16000), 16000, 1);

    // A copy of the program in an installation without models: the message names every
    // default place it looked at, and how to name the files instead.
    const fs::path prefix = scratch.path() / "prefix";
    fs::create_directories(prefix / "bin");
    fs::create_directory_symlink(OMBRIX_LIB_DIR, prefix / "lib");
    fs::copy_file(kTool, prefix / "bin" / "ombrix-transcribe");
    const fs::path work = scratch.path() / "work";
    fs::create_directories(work);
    SubprocessOptions inWork = withArguments({good.string()});
    inWork.workingDirectory = work.string();
    const auto missing = runSubprocess((prefix / "bin" / "ombrix-transcribe").string(), inWork);
    EXPECT_EQ(missing.exitCode, 3) << missing.describe();
    const fs::path realPrefix = fs::canonical(prefix);
    for (const fs::path& place :
        {realPrefix / "share" / "files" / "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort",
            realPrefix / "share" / "files" / "tokens.txt", realPrefix / "share" / "files" / "HLG.fst",
            fs::canonical(work) / "Models" / "ctc-epoch-30-avg-3-chunk-16-left-128.int8.with_runtime_opt.ort",
            fs::canonical(work) / "files" / "HLG.fst"}) {
        EXPECT_NE(missing.standardError.find(place.string()), std::string::npos)
            << place << " not named in:\n"
            << missing.standardError;
    }
    EXPECT_NE(missing.standardError.find("--model"), std::string::npos);
    EXPECT_EQ(missing.standardOutput, "");

    // Named files that are not there: the same status, naming them.
    const std::string absent = (scratch.path() / "no-such-model.onnx").string();
    const auto named = runSubprocess(kTool, withArguments({"--model", absent, good.string()}));
    EXPECT_EQ(named.exitCode, 3) << named.describe();
    EXPECT_NE(named.standardError.find(absent), std::string::npos) << named.standardError;

    // Inputs that cannot be read: status 4 and the reason, before any text.
    const fs::path text = scratch.path() / "notes.wav";
    std::ofstream(text) << "These are notes, not audio.\n";
    std::ifstream goodFile(good, std::ios::binary);
    const std::string goodBytes((std::istreambuf_iterator<char>(goodFile)), std::istreambuf_iterator<char>());
    const fs::path truncated = scratch.path() / "truncated.wav";
    std::ofstream(truncated, std::ios::binary) << goodBytes.substr(0, goodBytes.size() / 2);
    const fs::path headerOnly = scratch.path() / "header-only.wav";
    std::ofstream(headerOnly, std::ios::binary) << goodBytes.substr(0, 30);
    const std::vector<std::pair<fs::path, std::string>> unreadable = {
        {text, "is not a WAV file"},
        {truncated, "is truncated: its data chunk declares"},
        {headerOnly, "is truncated"},
        {scratch.path() / "absent.wav", "cannot open"},
    };
    for (const auto& [file, reason] : unreadable) {
        const auto run = runSubprocess(kTool, withArguments({file.string()}));
        EXPECT_EQ(run.exitCode, 4) << file << ": " << run.describe();
        EXPECT_NE(run.standardError.find(file.string()), std::string::npos) << run.standardError;
        EXPECT_NE(run.standardError.find(reason), std::string::npos) << run.standardError;
        EXPECT_EQ(run.standardOutput, "");
    }
    // Headers that are well formed but cannot be trusted, and samples that are not numbers.
    const auto le = [](std::uint64_t value, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) {
            out += static_cast<char>((value >> (8 * i)) & 0xFFu);
        }
        return out;
    };
    const auto formatChunk = [&](std::uint32_t rate, std::uint16_t tag, std::uint16_t bits) {
        return "fmt " + le(16, 4) + le(tag, 2) + le(1, 2) + le(rate, 4)
            + le(std::uint64_t(rate) * bits / 8, 4) + le(bits / 8, 2) + le(bits, 2);
    };
    const auto wavBytes = [&](const std::string& chunks, const std::string& data) {
        const std::string body = "WAVE" + chunks + "data" + le(data.size(), 4) + data;
        return "RIFF" + le(body.size(), 4) + body;
    };
    std::string floats;
    for (int i = 0; i < 16000; ++i) {
        floats += le(i == 8000 ? 0x7FC00000u : 0u, 4); // one NaN in the middle of silence
    }
    std::string infinities = floats;
    infinities.replace(4 * 100, 4, le(0x7F800000u, 4));
    const std::string pcm(32000, '\0');
    const std::vector<std::pair<std::string, std::string>> untrusted = {
        {wavBytes(formatChunk(16000, 1, 16) + formatChunk(8000, 1, 16), pcm), "has two format chunks"},
        {wavBytes(formatChunk(4000000000u, 1, 16), pcm), "at 4000000000 Hz"},
        {wavBytes(formatChunk(16000, 3, 32), floats), "not a finite number (NaN or infinity) in frame 8000"},
        {wavBytes(formatChunk(16000, 3, 32), infinities),
            "not a finite number (NaN or infinity) in frame 100"},
    };
    for (std::size_t i = 0; i < untrusted.size(); ++i) {
        const auto& [bytes, reason] = untrusted[i];
        const fs::path file = scratch.path() / ("untrusted-" + std::to_string(i) + ".wav");
        std::ofstream(file, std::ios::binary) << bytes;
        const auto run = runSubprocess(kTool, withArguments({"-q", file.string()}));
        EXPECT_EQ(run.exitCode, 4) << file << ": " << run.describe();
        EXPECT_NE(run.standardError.find(reason), std::string::npos) << run.standardError;
        EXPECT_EQ(run.standardError.find("-294967296"), std::string::npos) << run.standardError;
        // Through the stream reader of standard input too.
        SubprocessOptions piped = withArguments({"-q", "-"});
        piped.standardInput = bytes;
        const auto throughPipe = runSubprocess(kTool, piped);
        EXPECT_EQ(throughPipe.exitCode, 4) << throughPipe.describe();
        EXPECT_NE(throughPipe.standardError.find(reason), std::string::npos) << throughPipe.standardError;
    }

    // A stream that ends early is only seen at its end: still status 4 with the reason.
    SubprocessOptions cutStream = withArguments({"-q", "-"});
    cutStream.standardInput = goodBytes.substr(0, goodBytes.size() / 2);
    const auto cut = runSubprocess(kTool, cutStream);
    EXPECT_EQ(cut.exitCode, 4) << cut.describe();
    EXPECT_NE(cut.standardError.find("standard input is truncated"), std::string::npos) << cut.standardError;

    // Usage errors.
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{{},
             {"--frobnicate", good.string()}, {"--raw"}, {"--interval", "0", good.string()},
             {"--tokens", "t.txt", good.string()}, {good.string(), good.string()}}) {
        const auto run = runSubprocess(kTool, withArguments(arguments));
        EXPECT_EQ(run.exitCode, 2) << run.describe();
        EXPECT_NE(run.standardError.find("--help"), std::string::npos) << run.standardError;
    }
}

} // namespace
} // namespace ombrix::testing
