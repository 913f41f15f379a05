// ombrix-transcribe as a user runs it: a separate program on WAV files of test tones,
// with the synthetic recogniser of the fixtures (1 kHz burst "A", 4 kHz burst "B").

#include "SpeakToolSupport.h"
#include "TestSignals.h"
#include "stt/SttTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/GraphRunner.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tools/common/ToolCommon.h"

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

/// One "<start><TAB><end><TAB><text>" line of the tool's standard output.
struct SegmentLine {
    double start;
    double end;
    std::string text;
};

/// The segment lines of `output`; a line of another shape fails the test.
std::vector<SegmentLine> segmentLines(const std::string& output)
{
    std::vector<SegmentLine> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        const std::size_t first = line.find('\t');
        const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        EXPECT_NE(second, std::string::npos) << "not a segment line: " << line;
        if (second == std::string::npos) {
            continue;
        }
        lines.push_back({std::stod(line.substr(0, first)),
            std::stod(line.substr(first + 1, second - first - 1)), line.substr(second + 1)});
    }
    return lines;
}

/// Every text once, in order, with times that only move forward.
void expectEachTextOnce(const std::vector<SegmentLine>& lines, const std::string& finalText)
{
    std::string joined;
    double previousEnd = 0.0;
    for (const SegmentLine& line : lines) {
        EXPECT_FALSE(line.text.empty());
        EXPECT_LT(line.start, line.end) << line.text;
        EXPECT_GE(line.start, previousEnd) << line.text;
        previousEnd = line.end;
        joined += line.text;
    }
    EXPECT_EQ(joined, finalText);
}

std::string fileText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

/// Reads a JSON transcript with Python's parser (strict UTF-8) and prints: the text, then
/// per segment "start<TAB>end<TAB>text<TAB>tokens" (token texts joined), whether every
/// token time lies within its segment, then the input's name, rate, channels and the
/// dropped frames.
SubprocessResult parseJson(const std::string& json)
{
    SubprocessOptions options = withArguments({"-c",
        "import json, sys\n"
        "sys.stdout.reconfigure(encoding='utf-8')\n"
        "d = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
        "print(d['text'])\n"
        "inside = True\n"
        "for s in d['segments']:\n"
        "    print('%.3f\\t%.3f\\t%s\\t%s' % (s['start'], s['end'], s['text'],"
        " ''.join(t['text'] for t in s['tokens'])))\n"
        "    inside = inside and all(s['start'] <= t['time'] < s['end'] for t in s['tokens'])\n"
        "print('tokens within segments' if inside else 'token outside its segment')\n"
        "print(d['input']['name'])\n"
        "print(d['input']['sample_rate'], d['input']['channels'], d['dropped_frames'])\n"});
    options.standardInput = json;
    return runSubprocess("/usr/bin/python3", options);
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> list;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        list.push_back(line);
    }
    return list;
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

    // The audio ends with the last burst: the tool's own tail decodes it. Standard output
    // is a pipe: each segment once, when final, and nothing rewritten.
    for (const auto& [file, samples, rate] :
        {std::tuple{file16, mono16, 16000}, std::tuple{file44, stereo44, 44100}}) {
        SCOPED_TRACE(file.filename().string());
        const auto run = runSubprocess(kTool, withArguments({"--interval", "0.5", file.string()}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        EXPECT_EQ(run.standardOutput.find('\r'), std::string::npos) << run.standardOutput;
        const std::vector<SegmentLine> segments = segmentLines(run.standardOutput);
        ASSERT_FALSE(segments.empty()) << run.standardOutput;
        expectEachTextOnce(segments, kPatternText);
        EXPECT_EQ(nodeTranscript(samples, rate), kPatternText);
        // The tool converts to the recogniser's rate itself: sherpa-onnx does not.
        EXPECT_EQ(run.standardError.find("esampler"), std::string::npos) << run.standardError;

        // The same run as JSON, which parses to the same segments, with token times
        // inside them.
        const auto json = runSubprocess(kTool, withArguments({"--json", "--interval", "0.5", file.string()}));
        ASSERT_TRUE(json.succeeded()) << json.describe();
        const auto parsed = parseJson(json.standardOutput);
        ASSERT_TRUE(parsed.succeeded()) << parsed.describe() << json.standardOutput;
        const std::vector<std::string> fields = lines(parsed.standardOutput);
        ASSERT_EQ(fields.size(), segments.size() + 4) << parsed.standardOutput;
        EXPECT_EQ(fields[0], kPatternText);
        for (std::size_t i = 0; i < segments.size(); ++i) {
            char expected[64];
            std::snprintf(expected, sizeof expected, "%.3f\t%.3f\t", segments[i].start, segments[i].end);
            EXPECT_EQ(fields[i + 1], expected + segments[i].text + "\t" + segments[i].text);
        }
        EXPECT_EQ(fields[segments.size() + 1], "tokens within segments");
        EXPECT_EQ(fields[segments.size() + 2], file.string());
        EXPECT_EQ(fields[segments.size() + 3], std::to_string(rate) + (rate == 16000 ? " 1 0" : " 2 0"));
    }

    // The same audio as a WAV stream and as raw 16-bit samples on standard input.
    const std::string wavBytes = fileText(file16);
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

    // Pauses of 0.8 s: the node restarts decoding at each pause it sees at a transcribe()
    // (every 0.25 s here), so each ends a segment, printed once with its times; the whole text has the same
    // letters without spaces (the test tokens start no word), also paced on the wall clock from a thread of
    // its own and with --segment, which is accepted and ignored.
    const fs::path paused = scratch.path() / "paused.wav";
    writeWav(paused, makeToneBursts("AB____BA____A", 16000, 0.0), 16000, 1);
    const auto segmented = runSubprocess(kTool, withArguments({"--interval", "0.25", paused.string()}));
    ASSERT_TRUE(segmented.succeeded()) << segmented.describe();
    const std::vector<SegmentLine> pieces = segmentLines(segmented.standardOutput);
    ASSERT_EQ(pieces.size(), 3u) << segmented.standardOutput;
    EXPECT_EQ(pieces[0].text, "AB");
    EXPECT_EQ(pieces[1].text, "BA");
    EXPECT_EQ(pieces[2].text, "A");
    expectEachTextOnce(pieces, "ABBAA");
    for (const std::vector<std::string>& arguments :
        std::vector<std::vector<std::string>>{{"-q", paused.string()}, {"-q", "--realtime", paused.string()},
            {"-q", "--segment", "0.5", paused.string()}}) {
        const auto run = runSubprocess(kTool, withArguments(arguments));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        EXPECT_EQ(run.standardOutput, "ABBAA\n") << arguments[1];
    }

    // On a terminal: the words still changing in one line rewritten in place, which each
    // finished segment replaces; what stays on the screen is the lines of the pipe.
    SubprocessOptions onTerminal = withArguments({"-c",
        "import os, pty, subprocess, sys\n"
        "master, slave = pty.openpty()\n"
        "child = subprocess.Popen(sys.argv[1:], stdout=slave, stderr=subprocess.DEVNULL)\n"
        "os.close(slave)\n"
        "out = b''\n"
        "while True:\n"
        "    try:\n"
        "        piece = os.read(master, 4096)\n"
        "    except OSError:\n"
        "        break\n"
        "    if not piece:\n"
        "        break\n"
        "    out += piece\n"
        "child.wait()\n"
        "text = out.decode('utf-8').replace('\\r\\n', '\\n')\n"
        "print('rewritten %d' % text.count('\\r\\x1b[K'))\n"
        "for line in text.split('\\n'):\n"
        "    shown = line.split('\\r\\x1b[K')[-1]\n"
        "    if shown:\n"
        "        print(shown)\n"
        "sys.exit(child.returncode)\n",
        kTool, "--interval", "0.25", paused.string()});
    const auto terminal = runSubprocess("/usr/bin/python3", onTerminal);
    ASSERT_TRUE(terminal.succeeded()) << terminal.describe();
    const std::vector<std::string> screen = lines(terminal.standardOutput);
    ASSERT_FALSE(screen.empty());
    EXPECT_NE(screen[0], "rewritten 0") << terminal.standardOutput;
    EXPECT_EQ(std::vector<std::string>(screen.begin() + 1, screen.end()), lines(segmented.standardOutput))
        << terminal.standardOutput;

    // No audio at all: no segment, an empty text, and success.
    const fs::path empty = scratch.path() / "empty.wav";
    writeWav(empty, {}, 16000, 1);
    const auto none = runSubprocess(kTool, withArguments({empty.string()}));
    ASSERT_TRUE(none.succeeded()) << none.describe();
    EXPECT_EQ(none.standardOutput, "");
    const auto noneQuiet = runSubprocess(kTool, withArguments({"-q", empty.string()}));
    ASSERT_TRUE(noneQuiet.succeeded()) << noneQuiet.describe();
    EXPECT_EQ(noneQuiet.standardOutput, "\n");
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
    for (const std::vector<std::string>& arguments :
        std::vector<std::vector<std::string>>{{}, {"--frobnicate", good.string()}, {"--raw"},
            {"--interval", "0", good.string()}, {"--tokens", "t.txt", good.string()},
            {good.string(), good.string()}, {"--output-file", "base", good.string()}, {"--output-srt", "-"},
            {"--raw", "--rate", "16000", "--output-json"}}) {
        const auto run = runSubprocess(kTool, withArguments(arguments));
        EXPECT_EQ(run.exitCode, 2) << run.describe();
        EXPECT_NE(run.standardError.find("--help"), std::string::npos) << run.standardError;
    }
}

/// Writes `samples` as mono in `format` with libsndfile; false when this libsndfile cannot.
bool writeSoundFile(const fs::path& path, const std::vector<float>& samples, int rate, int format)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 1;
    info.format = format;
    if (sf_format_check(&info) == 0) {
        return false;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const sf_count_t written = sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return written == static_cast<sf_count_t>(samples.size());
}

TEST(TranscribeTool, ReadsFlacOggOpusAndMp3LikeWav)
{
    ScratchDirectory scratch;
    const fs::path wav = scratch.path() / "bursts.wav";
    const std::vector<float> at16 = makeToneBursts(kPattern, 16000, 0.0);
    writeWav(wav, at16, 16000, 1);
    const auto reference = runSubprocess(kTool, withArguments({wav.string()}));
    ASSERT_TRUE(reference.succeeded()) << reference.describe();
    ASSERT_EQ(lines(reference.standardOutput).size(), 1u) << reference.standardOutput;

    // Opus and MP3 at 48000 Hz, their usual rate, which the tool converts to 16000 Hz.
    // Every libsndfile 1.2 writes FLAC, Vorbis and Opus; MP3 only with LAME, so a
    // libsndfile without it skips MP3.
    const std::vector<float> at48 = makeToneBursts(kPattern, 48000, 0.0);
    struct Case {
        const char* name;
        int format;
        const std::vector<float>* samples;
        int rate;
        bool required;
    };
    const std::vector<Case> cases = {
        {"bursts.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, &at16, 16000, true},
        {"bursts.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, &at16, 16000, true},
        {"bursts.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, &at48, 48000, true},
        {"bursts.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, &at48, 48000, false},
    };
    for (const Case& entry : cases) {
        SCOPED_TRACE(entry.name);
        const fs::path file = scratch.path() / entry.name;
        if (!writeSoundFile(file, *entry.samples, entry.rate, entry.format)) {
            EXPECT_FALSE(entry.required) << "libsndfile cannot write " << entry.name;
            continue;
        }
        const auto run = runSubprocess(kTool, withArguments({file.string()}));
        ASSERT_TRUE(run.succeeded()) << run.describe();
        // The same text; the times may differ by the codecs' delays.
        const std::vector<SegmentLine> segments = segmentLines(run.standardOutput);
        expectEachTextOnce(segments, kPatternText);
        EXPECT_EQ(run.standardError.find("esampler"), std::string::npos) << run.standardError;
        const auto quiet = runSubprocess(kTool, withArguments({"-q", file.string()}));
        ASSERT_TRUE(quiet.succeeded()) << quiet.describe();
        EXPECT_EQ(quiet.standardOutput, std::string(kPatternText) + "\n");
        EXPECT_EQ(quiet.standardError, "");
    }
}

/// Reads a cue's timing line "HH:MM:SS<sep>mmm --> HH:MM:SS<sep>mmm", digits exactly
/// where they stand, into milliseconds.
bool parseCueTiming(const std::string& line, char separator, std::array<long, 2>& milliseconds)
{
    const std::string shape = std::string("00:00:00") + separator + "000 --> 00:00:00" + separator + "000";
    if (line.size() != shape.size()) {
        return false;
    }
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == '0' ? !digit : line[i] != shape[i]) {
            return false;
        }
    }
    const auto field
        = [&line](std::size_t at, std::size_t length) { return std::stol(line.substr(at, length)); };
    for (std::size_t t = 0; t < 2; ++t) {
        const std::size_t at = t * 17; // "00:00:00,000 --> " is 17 characters
        milliseconds[t]
            = ((field(at, 2) * 60 + field(at + 3, 2)) * 60 + field(at + 6, 2)) * 1000 + field(at + 9, 3);
    }
    return true;
}

/// Checks `srt` by SubRip's rules: cues numbered from 1, each a number line, a timing line
/// "HH:MM:SS,mmm --> HH:MM:SS,mmm" and text lines, separated by a blank line, times only
/// moving forward. `vtt` likewise by WebVTT's (a "WEBVTT" header, '.' before the
/// milliseconds, no numbers). Returns the cues' texts.
std::vector<std::string> subtitleTexts(const std::string& subtitles, bool webVtt)
{
    std::vector<std::string> texts;
    std::vector<std::string> all = lines(subtitles);
    std::size_t at = 0;
    if (webVtt) {
        EXPECT_GE(all.size(), 2u);
        EXPECT_EQ(all.at(0), "WEBVTT");
        EXPECT_EQ(all.at(1), "");
        at = 2;
    }
    const char separator = webVtt ? '.' : ',';
    long previousEnd = 0;
    int number = 0;
    while (at < all.size()) {
        if (!webVtt) {
            EXPECT_EQ(all[at], std::to_string(++number)) << subtitles;
            ++at;
        }
        std::array<long, 2> times{};
        const bool timed = at < all.size() && parseCueTiming(all[at], separator, times);
        EXPECT_TRUE(timed) << subtitles;
        if (!timed) {
            return texts;
        }
        EXPECT_LE(previousEnd, times[0]) << all[at];
        EXPECT_LT(times[0], times[1]) << all[at];
        previousEnd = times[1];
        ++at;
        std::string text;
        for (; at < all.size() && !all[at].empty(); ++at) {
            text += all[at];
        }
        EXPECT_FALSE(text.empty()) << subtitles;
        texts.push_back(text);
        EXPECT_TRUE(at < all.size() && all[at].empty()) << "no blank line after a cue:\n" << subtitles;
        ++at;
    }
    return texts;
}

TEST(TranscribeTool, ReplacesEachIllFormedPieceOfUtf8WithOneReplacementCharacter)
{
    using tools::jsonString;
    using tools::validUtf8;
    const std::string r = "\xEF\xBF\xBD"; // U+FFFD
    // Valid text of every length passes unchanged, up to U+10FFFF.
    for (const std::string valid : {"plain", "caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
             "\xF4\x8F\xBF\xBF", "\xED\x9F\xBF", "\xEE\x80\x80"}) {
        EXPECT_EQ(validUtf8(valid), valid);
    }
    const std::vector<std::pair<std::string, std::string>> repaired = {
        {"a\xFF"
         "b",
            "a" + r + "b"}, // a byte that never starts a character
        {"\x80", r}, // a stray continuation byte
        {"\xC0\xAF", r + r}, // an overlong '/': C0 never starts one, AF is then stray
        {"\xE0\x80\xAF", r + r + r}, // overlong in three bytes
        {"\xED\xA0\x80", r + r + r}, // a surrogate (U+D800)
        {"\xF4\x90\x80\x80", r + r + r + r}, // above U+10FFFF
        {"\xE2\x82", r}, // cut at the end: one piece
        {"\xE2\x82x", r + "x"}, // cut by an ASCII byte, which stays
        {"\xF0\x9F\x98"
         "\xF0\x9F\x98\x80",
            r + "\xF0\x9F\x98\x80"}, // cut by the next character
    };
    for (const auto& [bytes, expected] : repaired) {
        EXPECT_EQ(validUtf8(bytes), expected) << ::testing::PrintToString(bytes);
    }
    // JSON strings: repaired, then escaped.
    EXPECT_EQ(jsonString("say \"\xFF\"\n\x01"), "\"say \\\"" + r + "\\\"\\n\\u0001\"");
}

TEST(TranscribeTool, WritesTranscriptFilesThatParseBackWithTextThatIsUtf8)
{
    ScratchDirectory scratch;
    // A file name that is not UTF-8 (byte 0xFF): it appears in the JSON as U+FFFD.
    const fs::path paused = scratch.path() / "paused-\xFF.wav";
    writeWav(paused, makeToneBursts("AB____BA____A", 16000, 0.0), 16000, 1);
    const fs::path base = scratch.path() / "transcript";
    const auto run = runSubprocess(kTool,
        withArguments({"--interval", "0.25", "--output-txt", "--output-srt", "--output-vtt", "--output-json",
            "--output-file", base.string(), paused.string()}));
    ASSERT_TRUE(run.succeeded()) << run.describe();
    const std::vector<SegmentLine> segments = segmentLines(run.standardOutput);
    ASSERT_EQ(segments.size(), 3u) << run.standardOutput;
    std::vector<std::string> expected;
    for (const SegmentLine& segment : segments) {
        expected.push_back(segment.text);
    }

    EXPECT_EQ(lines(fileText(base.string() + ".txt")), expected);
    EXPECT_EQ(subtitleTexts(fileText(base.string() + ".srt"), false), expected);
    EXPECT_EQ(subtitleTexts(fileText(base.string() + ".vtt"), true), expected);
    const auto parsed = parseJson(fileText(base.string() + ".json"));
    ASSERT_TRUE(parsed.succeeded()) << parsed.describe();
    const std::vector<std::string> fields = lines(parsed.standardOutput);
    ASSERT_EQ(fields.size(), 3u + 4u) << parsed.standardOutput;
    EXPECT_EQ(fields[0], "ABBAA");
    for (std::size_t i = 0; i < segments.size(); ++i) {
        char times[64];
        std::snprintf(times, sizeof times, "%.3f\t%.3f\t", segments[i].start, segments[i].end);
        EXPECT_EQ(fields[i + 1], times + expected[i] + "\t" + expected[i]);
    }
    EXPECT_EQ(fields[4], "tokens within segments");
    EXPECT_EQ(fields[5], (scratch.path() / "paused-\xEF\xBF\xBD.wav").string());

    // The SRT times are the segments' times.
    const std::vector<std::string> srt = lines(fileText(base.string() + ".srt"));
    char first[64];
    std::snprintf(first, sizeof first, "00:00:%02d,%03d --> ", static_cast<int>(segments[0].start),
        static_cast<int>(std::lround(segments[0].start * 1000)) % 1000);
    EXPECT_EQ(srt.at(1).substr(0, 17), first);

    // Without --output-file the files are named after the input, as whisper.cpp does.
    const fs::path plain = scratch.path() / "plain.wav";
    fs::copy_file(paused, plain);
    const auto named
        = runSubprocess(kTool, withArguments({"-q", "--interval", "0.25", "--output-srt", plain.string()}));
    ASSERT_TRUE(named.succeeded()) << named.describe();
    EXPECT_EQ(subtitleTexts(fileText(scratch.path() / "plain.wav.srt"), false), expected);

    // A file that cannot be written: status 5 naming it.
    const auto unwritable = runSubprocess(kTool,
        withArguments({"-q", "--output-txt", "--output-file", (scratch.path() / "no" / "such").string(),
            plain.string()}));
    EXPECT_EQ(unwritable.exitCode, 5) << unwritable.describe();
    EXPECT_NE(unwritable.standardError.find("cannot write " + (scratch.path() / "no" / "such.txt").string()),
        std::string::npos)
        << unwritable.standardError;
}

} // namespace
} // namespace ombrix::testing
