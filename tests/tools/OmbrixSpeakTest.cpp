// ombrix-speak run as a separate program from the build tree, where it finds the plug-in
// in <build>/lib and the synthetic English voice in <build>/share/files. Its WAV output is
// compared with the engine's own samples for the same text, generated in this process
// and resampled with libsoxr in one go. The command-line forms (getopt_long's) are spread
// over the cases below rather than tested one by one.

#include "SpeakToolSupport.h"

#include "utils/SherpaOnnxCApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kGraphRate = 48000;
constexpr std::ptrdiff_t kBlockFrames = 480;
// Largest difference allowed between the file and the reference: 16-bit quantisation
// (3e-5), and the resampler's pre-ringing, which is missing from the file when a piece is
// ready before the graph's first block (1.4e-3 for the synthetic voice, whose pieces all
// begin with the same burst). The blockwise resampler otherwise matches a one-shot
// conversion exactly; a lost, repeated or misplaced block differs by 0.1 or more.
constexpr double kResampledTolerance = 2e-3;
// 16-bit quantisation: half a step, with room for rounding.
constexpr double kQuantisationTolerance = 1e-4;
// Below this the output counts as silent (-80 dBFS; 16-bit quantisation is far below).
constexpr double kSilence = 1e-4;
// Samples a piece's placement search looks at: 0.1 s at 48 kHz.
constexpr std::size_t kProbeFrames = 4800;

struct SpeakRun {
    SubprocessResult result;
    SpeakTimeline timeline;
    WavData wav;
};

// Runs the program with `arguments` (and `standardInput` on its standard input).
SpeakRun speak(
    const fs::path& wavPath, std::vector<std::string> arguments, const std::string& standardInput = {})
{
    SpeakRun run;
    arguments.insert(arguments.begin(), {"-o", wavPath.string()});
    SubprocessOptions options = withArguments(arguments);
    options.standardInput = standardInput;
    run.result = runSubprocess(speakToolInBuildTree(), options);
    if (run.result.succeeded()) {
        run.timeline = parseTimeline(run.result.standardError);
        std::string error;
        if (!readWav(wavPath.string(), run.wav, &error)) {
            ADD_FAILURE() << "cannot read " << wavPath << ": " << error;
        }
    }
    return run;
}

std::ptrdiff_t framesAt(double seconds)
{
    return static_cast<std::ptrdiff_t>(std::round(seconds * kGraphRate));
}

// Offsets of a reference (which begins with 10 ms of lead silence) for a piece reported
// between graph times `from` and `to`, with a margin on both sides.
std::pair<std::ptrdiff_t, std::ptrdiff_t> searchWindow(double from, double to, double margin = 0.05)
{
    return {framesAt(from - margin), framesAt(to + margin)};
}

// Signal indices as unsigned positions, clamped at the signal's start.
std::size_t position(std::ptrdiff_t index)
{
    return index < 0 ? 0 : static_cast<std::size_t>(index);
}

TEST(OmbrixSpeak, WritesTheEnginesSamplesAt48kStereoAndKeepsTheResamplerTail)
{
    ScratchDirectory scratch;
    const fs::path wavPath = scratch.path() / "hello.wav";
    const std::string text = "How are you?";
    const SpeakRun run
        = speak(wavPath, {"--rate=48000", "-c2", "--block", "480", "--stream=no", "--", "-", text});
    ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
    EXPECT_TRUE(run.result.standardOutput.empty()) << "status belongs on standard error";
    EXPECT_NE(run.result.standardError.find("mode: whole text"), std::string::npos)
        << run.result.standardError;

    const SpeakTimeline& timeline = run.timeline;
    EXPECT_TRUE(timeline.unknownLines.empty()) << timeline.unknownLines.front();
    ASSERT_EQ(timeline.pieces.size(), 1u) << run.result.standardError;
    const SpokenPiece& piece = timeline.pieces[0];
    // After "--", "-" is a word of the text, not standard input.
    EXPECT_EQ(piece.text, "- " + text);
    ASSERT_EQ(piece.end, SpokenPiece::End::Finished) << run.result.standardError;
    EXPECT_TRUE(timeline.outputEnded);

    const WavHeader header = readWavHeader(wavPath.string());
    ASSERT_TRUE(header.valid) << header.problem;
    EXPECT_EQ(header.formatTag, 1u);
    EXPECT_EQ(header.channels, 2u);
    EXPECT_EQ(header.sampleRate, 48000u);
    EXPECT_EQ(header.bitsPerSample, 16u);

    ASSERT_EQ(run.wav.channels.size(), 2u);
    const std::vector<float>& left = run.wav.channels[0];
    EXPECT_EQ(left, run.wav.channels[1]) << "both channels must carry the same signal";
    EXPECT_LT(peak(left, 0, left.size()), 0.99) << "the output is clipped or close to it";

    const std::vector<float> reference
        = resampleFrom16k(engineSamples(defaultVoiceBelow(OMBRIX_BUILD_DIR), piece.text), kGraphRate);
    ASSERT_FALSE(reference.empty());
    const auto [first, last] = searchWindow(piece.startedSeconds, piece.playingSeconds);
    const Placement placement
        = placeReference(left, reference, first, last, 0, reference.size(), kProbeFrames);
    EXPECT_LT(placement.maxError, kResampledTolerance)
        << "the engine's samples are not in the file at offset " << placement.offset;
    EXPECT_GT(placement.referencePeak, 0.1);
    EXPECT_LT(peak(left, 0, position(placement.offset)), kSilence) << "sound before the piece";

    // The resampler releases the last samples, and the filter's ringing after them, after
    // the node has reported "finished"; they are part of the comparison above, so they
    // are in the file, and after them there is nothing but silence.
    // The resampler releases the piece's last samples, and the filter's ringing after
    // them, only after the block in which the node reported "finished" (for this text the
    // last burst of the voice comes out after it). Away from the graph's start the match
    // is exact but for 16-bit quantisation, so that part is held to it.
    const std::ptrdiff_t pieceEnd = placement.offset + static_cast<std::ptrdiff_t>(reference.size());
    const std::ptrdiff_t finishedBlockEnd = framesAt(piece.finishedSeconds) + kBlockFrames;
    ASSERT_GT(pieceEnd, finishedBlockEnd);
    const std::size_t afterFinished = position(finishedBlockEnd - placement.offset);
    const Placement tail = placeReference(
        left, reference, placement.offset, placement.offset, afterFinished, reference.size(), 0);
    EXPECT_GT(tail.referencePeak, 0.05) << "the piece has no audio left after the block with \"finished\", "
                                           "so this run does not test the tail";
    EXPECT_LT(tail.maxError, kQuantisationTolerance) << "the audio after \"finished\" is not all in the file";
    std::size_t lastSound = reference.size();
    while (lastSound > 0 && std::fabs(reference[lastSound - 1]) < kSilence) {
        --lastSound;
    }
    EXPECT_GE(left.size(), position(placement.offset + static_cast<std::ptrdiff_t>(lastSound)))
        << "the file ends before the piece's ringing has died away";
    EXPECT_LT(peak(left, position(pieceEnd), left.size()), kSilence);
}

TEST(OmbrixSpeak, At16kMonoTheFileHoldsTheEnginesSamplesUnchanged)
{
    ScratchDirectory scratch;
    const VoicePaths voice = fixtureVoice();
    // Long enough for the timeline to shorten it.
    const std::string text
        = "Testing, one two three. This text is long enough for the timeline to shorten it in the middle.";
    // The WAV goes to standard output, a pipe (so its sizes are the unknown-size marker),
    // and everything else to standard error; the text comes on standard input, with the
    // line end `echo` leaves.
    SubprocessOptions options
        = withArguments({"--output=-", "--model", voice.model, "-r16000", "-c", "1", "--format=float", "-"});
    options.standardInput = text + "\n";
    SpeakRun run;
    run.result = runSubprocess(speakToolInBuildTree(), options);
    ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
    run.timeline = parseTimeline(run.result.standardError);
    const fs::path wavPath = scratch.path() / "exact.wav";
    std::ofstream(wavPath, std::ios::binary) << run.result.standardOutput;
    std::string error;
    ASSERT_TRUE(readWav(wavPath.string(), run.wav, &error)) << error;
    ASSERT_EQ(run.timeline.pieces.size(), 1u) << run.result.standardError;
    const SpokenPiece& piece = run.timeline.pieces[0];
    EXPECT_EQ(piece.textBytes, text.size());
    EXPECT_LT(piece.text.size(), text.size()) << "a long text is shortened in the timeline";
    EXPECT_EQ(piece.text.substr(0, 24), text.substr(0, 24));
    EXPECT_NE(piece.text.find(" ... "), std::string::npos) << piece.text;
    EXPECT_EQ(piece.text.substr(piece.text.size() - 12), text.substr(text.size() - 12));
    EXPECT_EQ(piece.end, SpokenPiece::End::Finished);

    const WavHeader header = readWavHeader(wavPath.string());
    ASSERT_TRUE(header.valid) << header.problem;
    EXPECT_TRUE(header.unknownSizes);
    EXPECT_EQ(header.formatTag, 3u);
    EXPECT_EQ(header.channels, 1u);
    EXPECT_EQ(header.sampleRate, 16000u);
    EXPECT_EQ(header.bitsPerSample, 32u);
    // The summary's duration is what was written.
    char written[64];
    std::snprintf(written, sizeof written, "%.3f s of audio", header.dataBytes / 4 / 16000.0);
    EXPECT_NE(run.result.standardError.find(written), std::string::npos) << run.result.standardError;

    ASSERT_EQ(run.wav.channels.size(), 1u);
    const std::vector<float>& samples = run.wav.channels[0];
    const std::vector<float> reference = engineSamples(voice, text);
    ASSERT_FALSE(reference.empty());
    // Without a resampler the node's samples reach the file untouched: find the first
    // sound and compare sample for sample (each burst of the synthetic voice starts at 0).
    const auto firstSound = std::find_if(samples.begin(), samples.end(), [](float s) { return s != 0.0f; });
    ASSERT_NE(firstSound, samples.end());
    const std::size_t start = static_cast<std::size_t>(firstSound - samples.begin()) - 1;
    ASSERT_GE(samples.size(), start + reference.size());
    const std::vector<float> played(samples.begin() + static_cast<std::ptrdiff_t>(start),
        samples.begin() + static_cast<std::ptrdiff_t>(start + reference.size()));
    EXPECT_EQ(played, reference);
    EXPECT_EQ(energy(samples, start + reference.size(), samples.size()), 0.0);
}

TEST(OmbrixSpeak, ExplainsBadRequestsAndVoicesThatDoNotLoad)
{
    ScratchDirectory scratch;
    const std::string tool = speakToolInBuildTree();
    const fs::path wavPath = scratch.path() / "never.wav";

    const auto badChannels = runSubprocess(tool, withArguments({"--channels", "3", "hello"}));
    EXPECT_EQ(badChannels.exitCode, 2);
    EXPECT_NE(badChannels.standardError.find("--channels"), std::string::npos) << badChannels.standardError;

    const auto unknownOption = runSubprocess(tool, withArguments({"--loudly", "hello"}));
    EXPECT_EQ(unknownOption.exitCode, 2);
    EXPECT_NE(unknownOption.standardError.find("unknown option --loudly"), std::string::npos);

    const auto badStream = runSubprocess(tool, withArguments({"--stream=maybe", "hello"}));
    EXPECT_EQ(badStream.exitCode, 2);
    EXPECT_NE(badStream.standardError.find("--stream"), std::string::npos) << badStream.standardError;
    const auto missingValue = runSubprocess(tool, withArguments({"hello", "--rate"}));
    EXPECT_EQ(missingValue.exitCode, 2);
    EXPECT_NE(missingValue.standardError.find("--rate needs a value"), std::string::npos)
        << missingValue.standardError;

    // Our version and the version of the sherpa-onnx library the plug-in loads (asked
    // here from the library this test links, the same file).
    const auto version = runSubprocess(tool, withArguments({"--version"}));
    EXPECT_EQ(version.exitCode, 0) << version.describe();
    EXPECT_NE(
        version.standardOutput.find(std::string("ombrix-speak ") + OMBRIX_PROJECT_VERSION), std::string::npos)
        << version.standardOutput;
    EXPECT_NE(version.standardOutput.find(std::string("sherpa-onnx ") + SherpaOnnxGetVersionStr()),
        std::string::npos)
        << version.standardOutput;

    // An output that cannot be written is reported with the system's reason before any
    // voice is looked at (the voice here does not exist either).
    const std::string unwritable = (scratch.path() / "no-such-directory" / "out.wav").string();
    const auto cannotWrite = runSubprocess(
        tool, withArguments({"-o" + unwritable, "--model", (scratch.path() / "none.onnx").string(), "hi"}));
    EXPECT_EQ(cannotWrite.exitCode, 5) << cannotWrite.describe();
    EXPECT_NE(cannotWrite.standardError.find("cannot write " + unwritable + ": " + std::strerror(ENOENT)),
        std::string::npos)
        << cannotWrite.standardError;
    EXPECT_EQ(cannotWrite.standardError.find("voice"), std::string::npos) << cannotWrite.standardError;

    // -q: nothing but the WAV file.
    const fs::path quietPath = scratch.path() / "quiet.wav";
    const auto quiet = runSubprocess(
        tool, withArguments({"-q", "--model", fixtureVoice().model, "-o", quietPath.string(), "hi"}));
    EXPECT_EQ(quiet.exitCode, 0) << quiet.describe();
    EXPECT_EQ(quiet.standardError, "");
    EXPECT_EQ(quiet.standardOutput, "");
    const WavHeader quietHeader = readWavHeader(quietPath.string());
    EXPECT_TRUE(quietHeader.valid) << quietHeader.problem;
    EXPECT_GT(quietHeader.dataBytes, 0u);

    const auto noText = runSubprocess(tool, withArguments({"-o", wavPath.string()}));
    EXPECT_EQ(noText.exitCode, 2);
    EXPECT_NE(noText.standardError.find("no text"), std::string::npos) << noText.standardError;

    // The advice matches the failure. A --model path that does not exist: the missing
    // files are named, and nothing is said about installing the default voice.
    const std::string missingModel = (scratch.path() / "nowhere" / "voice.onnx").string();
    const auto missing
        = runSubprocess(tool, withArguments({"-o", wavPath.string(), "--model", missingModel, "hi"}));
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.standardError.find("model file missing: " + missingModel), std::string::npos)
        << missing.standardError;
    EXPECT_NE(missing.standardError.find("Name existing files with --model"), std::string::npos)
        << missing.standardError;
    EXPECT_EQ(missing.standardError.find("English voice"), std::string::npos) << missing.standardError;
    EXPECT_EQ(missing.standardError.find("ombrix-install-voice"), std::string::npos) << missing.standardError;

    // No default voice (the program copied into a prefix of its own, whose lib/ is the
    // build tree's and which has no share/): the advice names the installed installer.
    const fs::path prefix = scratch.path() / "prefix";
    fs::create_directories(prefix / "bin");
    fs::copy_file(tool, prefix / "bin" / "ombrix-speak");
    fs::create_directory_symlink(OMBRIX_LIB_DIR, prefix / "lib");
    const auto noVoice = runSubprocess(
        (prefix / "bin" / "ombrix-speak").string(), withArguments({"-o", wavPath.string(), "hi"}));
    EXPECT_EQ(noVoice.exitCode, 3) << noVoice.describe();
    EXPECT_NE(noVoice.standardError.find("no voice found. The default English voice is looked up at\n  "
                  + (prefix / "share" / "files").string()),
        std::string::npos)
        << noVoice.standardError;
    EXPECT_NE(noVoice.standardError.find("Install the English voice into this installation with\n  "
                  + (prefix / "bin" / "ombrix-install-voice").string() + " --prefix " + prefix.string()),
        std::string::npos)
        << noVoice.standardError;

    // Files that exist but that the voice check refuses (phoneme data without its files):
    // the node's "loadModel" answers false, and the program gives the check's reason.
    const fs::path emptyData = scratch.path() / "empty-espeak-data";
    fs::create_directory(emptyData);
    const auto refused = runSubprocess(tool,
        withArguments({"-o", wavPath.string(), "--model", fixtureVoice().model, "--data-dir",
            emptyData.string(), "hi"}));
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.standardError.find("\"loadModel\" returned false"), std::string::npos)
        << refused.standardError;
    EXPECT_NE(refused.standardError.find("data dir: " + emptyData.string()), std::string::npos);
    EXPECT_NE(refused.standardError.find("The node's reason:\n  Model files rejected: " + emptyData.string()
                  + ": lacks the espeak-ng data file"),
        std::string::npos)
        << refused.standardError;
    EXPECT_EQ(refused.standardError.find("ombrix-install-voice"), std::string::npos) << refused.standardError;
    EXPECT_FALSE(fs::exists(wavPath)) << "no output is written when nothing can be spoken";
}

// -f/--input-file and --output-raw, the names espeak-ng's and piper's users know.
TEST(OmbrixSpeak, ReadsTheTextFromAFileAndWritesRawPcmForAPlayer)
{
    ScratchDirectory scratch;
    const std::string tool = speakToolInBuildTree();
    const VoicePaths voice = fixtureVoice();
    const std::string text = "Testing the text file.";
    const fs::path textPath = scratch.path() / "text.txt";
    std::ofstream(textPath, std::ios::binary) << text << "\r\n";

    // Raw PCM to standard output (no -o), 16 kHz mono: the engine's samples, quantised as
    // the WAV writer quantises them, with no header in front.
    const auto raw = runSubprocess(tool,
        withArguments(
            {"--model", voice.model, "-r", "16000", "-c", "1", "--output-raw", "-f", textPath.string()}));
    ASSERT_TRUE(raw.succeeded()) << raw.describe();
    const SpeakTimeline timeline = parseTimeline(raw.standardError);
    ASSERT_EQ(timeline.pieces.size(), 1u) << raw.standardError;
    EXPECT_EQ(timeline.pieces[0].text, text) << "the line end at the file's end is not part of the text";
    EXPECT_NE(raw.standardError.find("raw 16-bit little-endian PCM"), std::string::npos) << raw.standardError;
    const std::string& bytes = raw.standardOutput;
    ASSERT_EQ(bytes.size() % 2, 0u);
    EXPECT_NE(bytes.substr(0, 4), "RIFF");
    std::vector<int> samples(bytes.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto low = static_cast<unsigned char>(bytes[2 * i]);
        const auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
        samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
    }
    const std::vector<float> reference = engineSamples(voice, text);
    ASSERT_FALSE(reference.empty());
    std::vector<int> expected(reference.size());
    for (std::size_t i = 0; i < reference.size(); ++i) {
        expected[i] = static_cast<int>(std::lrint(std::clamp(reference[i] * 32768.0f, -32768.0f, 32767.0f)));
    }
    const auto firstExpected = std::find_if(expected.begin(), expected.end(), [](int v) { return v != 0; });
    const auto firstSound = std::find_if(samples.begin(), samples.end(), [](int v) { return v != 0; });
    ASSERT_NE(firstSound, samples.end());
    ASSERT_NE(firstExpected, expected.end());
    const std::size_t offset = static_cast<std::size_t>(firstSound - samples.begin());
    const std::size_t lead = static_cast<std::size_t>(firstExpected - expected.begin());
    ASSERT_GE(offset, lead);
    ASSERT_GE(samples.size(), offset - lead + expected.size());
    EXPECT_EQ(std::vector<int>(samples.begin() + static_cast<std::ptrdiff_t>(offset - lead),
                  samples.begin() + static_cast<std::ptrdiff_t>(offset - lead + expected.size())),
        expected);

    // "-f -" is standard input; --output-raw with -o writes the file; the bytes reach the
    // node as they are (a Latin-1 text is not UTF-8, as with the text given as arguments).
    const fs::path rawPath = scratch.path() / "out.raw";
    SubprocessOptions fromStdin = withArguments(
        {"--model", voice.model, "-c", "1", "--output-raw", "-o", rawPath.string(), "--input-file=-"});
    fromStdin.standardInput = "caf\xe9.\n";
    const auto latin1 = runSubprocess(tool, fromStdin);
    ASSERT_TRUE(latin1.succeeded()) << latin1.describe();
    EXPECT_EQ(latin1.standardOutput, "");
    const SpeakTimeline latin1Timeline = parseTimeline(latin1.standardError);
    ASSERT_EQ(latin1Timeline.pieces.size(), 1u) << latin1.standardError;
    // The node got the five bytes; the status line shows the byte that is not UTF-8 as
    // U+FFFD, as every line of the tools does.
    EXPECT_EQ(latin1Timeline.pieces[0].text, "caf\xEF\xBF\xBD.");
    const auto rawBytes = fs::file_size(rawPath);
    EXPECT_GT(rawBytes, 0u);
    EXPECT_EQ(rawBytes % 2, 0u);

    const auto help = runSubprocess(tool, withArguments({"--help"}));
    EXPECT_NE(help.standardOutput.find("| aplay -t raw -f S16_LE -r 48000 -c 2"), std::string::npos);

    // Files that cannot be read, with the reason; the limit; conflicting requests.
    const std::string missingPath = (scratch.path() / "missing.txt").string();
    const auto missing = runSubprocess(tool, withArguments({"-f", missingPath}));
    EXPECT_EQ(missing.exitCode, 4) << missing.describe();
    EXPECT_NE(missing.standardError.find("cannot read " + missingPath + ": " + std::strerror(ENOENT)),
        std::string::npos)
        << missing.standardError;
    const fs::path hugePath = scratch.path() / "huge.txt";
    std::ofstream(hugePath, std::ios::binary) << std::string((8u << 20) + 1, 'a');
    const auto huge = runSubprocess(tool, withArguments({"-f", hugePath.string()}));
    EXPECT_EQ(huge.exitCode, 4) << huge.describe();
    EXPECT_NE(huge.standardError.find(hugePath.string() + " holds more than 8388608 bytes of text"),
        std::string::npos)
        << huge.standardError;
    const fs::path emptyPath = scratch.path() / "empty.txt";
    std::ofstream(emptyPath, std::ios::binary) << "\n";
    const auto empty = runSubprocess(tool, withArguments({"-f", emptyPath.string()}));
    EXPECT_EQ(empty.exitCode, 4) << empty.describe();
    EXPECT_NE(empty.standardError.find("no text in " + emptyPath.string()), std::string::npos);
    const auto both = runSubprocess(tool, withArguments({"-f", textPath.string(), "more", "words"}));
    EXPECT_EQ(both.exitCode, 2) << both.describe();
    const auto rawFloat = runSubprocess(tool, withArguments({"--output-raw", "--format=float", "hi"}));
    EXPECT_EQ(rawFloat.exitCode, 2) << rawFloat.describe();
    EXPECT_NE(rawFloat.standardError.find("--output-raw writes 16-bit PCM"), std::string::npos);
}

// A piece whose whole audio plays inside one block ("." at 48 kHz in blocks of 10 ms;
// "Hello world." at 8 kHz in blocks of 0.512 s) gets its "finished" event in the very
// block that its audio arrived in, possibly before the program has looked at the pieces
// announced in that block. Whatever the scheduling, the piece is counted and finished,
// and the run ends right after it: the same run repeated must come out the same each time.
TEST(OmbrixSpeakTruth, APieceWhoseAudioFitsInOneBlockIsCountedAndFinishedEveryTime)
{
    constexpr int kRepetitions = 8;
    // Far more than either text takes, far less than the time limit a lost piece runs into.
    constexpr double kMostOutputSeconds = 5.0;
    struct Case {
        std::vector<std::string> arguments;
        std::string text;
        unsigned rate;
    };
    const std::vector<Case> cases = {
        {{}, ".", 48000},
        {{"-r", "8000", "-b", "4096"}, "Hello world.", 8000},
    };
    ScratchDirectory scratch;
    for (const Case& c : cases) {
        for (int run = 0; run < kRepetitions; ++run) {
            SCOPED_TRACE(
                "\"" + c.text + "\" at " + std::to_string(c.rate) + " Hz, run " + std::to_string(run + 1));
            const fs::path wavPath = scratch.path() / "short.wav";
            std::vector<std::string> arguments = c.arguments;
            arguments.push_back(c.text);
            const SpeakRun result = speak(wavPath, arguments);
            ASSERT_TRUE(result.result.succeeded()) << result.result.describe();
            ASSERT_EQ(result.timeline.pieces.size(), 1u) << result.result.standardError;
            EXPECT_EQ(result.timeline.pieces[0].text, c.text);
            EXPECT_EQ(result.timeline.pieces[0].end, SpokenPiece::End::Finished)
                << result.result.standardError;
            EXPECT_TRUE(result.timeline.unknownLines.empty()) << result.result.standardError;
            EXPECT_EQ(result.result.standardError.find("without a piece"), std::string::npos)
                << result.result.standardError;
            ASSERT_EQ(result.wav.channels.size(), 2u);
            const std::vector<float>& left = result.wav.channels[0];
            EXPECT_GT(peak(left, 0, left.size()), 0.1) << "the piece's audio is not in the file";
            EXPECT_LT(static_cast<double>(left.size()), kMostOutputSeconds * c.rate)
                << "the run went on after the piece had finished";
        }
    }
}

// The engine made to fail by a stand-in preloaded in front of it (tests/tools/
// FailingEnginePreload.cpp), on marked texts only, so the voice loads as usual: an
// exception before any audio (what a text too large for the memory gives), an exception
// after some audio, and no result at all. Each ends with status 5 and a line saying what
// happened to which piece, never with success.
TEST(OmbrixSpeakTruth, AnEngineFailureOrAPieceWithoutAudioEndsWithStatus5AndALine)
{
    struct Case {
        std::string text;
        std::string line;
        bool audioBeforeFailure;
    };
    const std::vector<Case> cases = {
        {"Hello engine-throws.",
            "the speech engine failed on piece 1 (\"Hello engine-throws.\"): [SherpaTTSNode] Speech engine "
            "failed on the text: std::bad_alloc",
            false},
        {"Hello engine-throws-after-audio.",
            "the speech engine failed on piece 1 (\"Hello engine-throws-after-audio.\"): [SherpaTTSNode] "
            "Speech engine failed on the text: std::bad_alloc",
            true},
        {"Hello engine-gives-nothing.", "piece 1 (\"Hello engine-gives-nothing.\") gave no audio", false},
    };
    ScratchDirectory scratch;
    const fs::path wavPath = scratch.path() / "failed.wav";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        SubprocessOptions options = withArguments({"-o", wavPath.string(), c.text});
        options.environment["LD_PRELOAD"] = OMBRIX_FAILING_ENGINE_PRELOAD;
        // Sanitizer builds: the stand-in comes before the sanitizer's run time.
        options.environment["ASAN_OPTIONS"] = "verify_asan_link_order=0";
        const SubprocessResult result = runSubprocess(speakToolInBuildTree(), options);
        EXPECT_EQ(result.exitCode, 5) << result.describe();
        EXPECT_NE(result.standardError.find("ombrix-speak: error: " + c.line + "\n"), std::string::npos)
            << result.standardError;
        const SpeakTimeline timeline = parseTimeline(result.standardError);
        ASSERT_EQ(timeline.pieces.size(), 1u) << result.standardError;
        // Audio published before the failure is played to its end.
        EXPECT_EQ(timeline.pieces[0].end == SpokenPiece::End::Finished, c.audioBeforeFailure)
            << result.standardError;
        EXPECT_TRUE(timeline.outputEnded) << "the run ends as soon as nothing more can come";
    }
}

TEST(OmbrixSpeak, SpeakerAndSpeedOptionsReachTheVoiceOrAreRefused)
{
    ScratchDirectory scratch;
    const std::string tool = speakToolInBuildTree();
    const std::string fourSpeakers = std::string(OMBRIX_FIXTURES_DIR) + "/piper-44100-4-speakers/model.onnx";
    const auto framesOf = [](const fs::path& path) {
        const WavHeader header = readWavHeader(path.string());
        EXPECT_TRUE(header.valid) << header.problem;
        return header.dataBytes;
    };

    const fs::path normal = scratch.path() / "normal.wav";
    const auto speaker3 = runSubprocess(tool,
        withArguments(
            {"--model", fourSpeakers, "-r16000", "-c1", "-s", "3", "-o", normal.string(), "Hello world."}));
    ASSERT_EQ(speaker3.exitCode, 0) << speaker3.describe();
    EXPECT_NE(
        speaker3.standardError.find("speakers: 4 (speaking with speaker 3 at speed 1)\n"), std::string::npos)
        << speaker3.standardError;

    // --length-scale 2 is --speed 0.5: twice as long (the file also holds a fixed tail).
    const fs::path slow = scratch.path() / "slow.wav";
    const auto slower = runSubprocess(tool,
        withArguments({"--model", fourSpeakers, "-r16000", "-c1", "--sid=1", "--length-scale", "2", "-o",
            slow.string(), "Hello world."}));
    ASSERT_EQ(slower.exitCode, 0) << slower.describe();
    EXPECT_NE(slower.standardError.find("(speaking with speaker 1 at speed 0.5)\n"), std::string::npos)
        << slower.standardError;
    EXPECT_GT(framesOf(slow), framesOf(normal) * 3 / 2);

    const auto absent = runSubprocess(tool,
        withArguments(
            {"--model", fourSpeakers, "--speaker", "4", "-o", (scratch.path() / "x.wav").string(), "Hi."}));
    EXPECT_EQ(absent.exitCode, 2) << absent.describe();
    EXPECT_NE(absent.standardError.find("(4 speakers: 0 to 3)"), std::string::npos) << absent.standardError;

    for (const std::vector<std::string>& bad :
        std::vector<std::vector<std::string>>{{"--speed", "5"}, {"--speed", "0.1"}, {"--length-scale", "8"},
            {"--speed", "1", "--length-scale", "1"}, {"-s", "-1"}, {"-s", "x"}}) {
        std::vector<std::string> arguments = bad;
        arguments.push_back("Hi.");
        const auto refused = runSubprocess(tool, withArguments(arguments));
        EXPECT_EQ(refused.exitCode, 2) << bad[0] << " " << bad[1] << ": " << refused.describe();
    }
}

// Each sentence is at least 50 bytes long and has no comma, so the node cuts the stream
// exactly after each sentence's period once it is complete; at 3 words per second every
// sentence completes well after the previous one has finished playing (the synthetic
// voice speaks each of them in under 2 s), so nothing is held back and nothing is cut off.
TEST(OmbrixSpeakStreaming, SpeaksEachSentenceAsItsOwnPieceWhenTheVoiceKeepsUp)
{
    const std::vector<std::string> sentences = {
        "The quick brown fox jumps over the lazy dog near the river.",
        "Then the tired fox sleeps under the old oak tree all day.",
        "At night the fox wakes up and runs home to its family.",
    };
    ScratchDirectory scratch;
    const fs::path wavPath = scratch.path() / "stream.wav";
    const SpeakRun run = speak(wavPath,
        {"--stream", "--words-per-second=3", sentences[0] + " " + sentences[1] + " " + sentences[2]});
    ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
    const SpeakTimeline& timeline = run.timeline;
    EXPECT_TRUE(timeline.lastWordSent);
    ASSERT_EQ(timeline.pieces.size(), sentences.size()) << run.result.standardError;

    ASSERT_EQ(run.wav.channels.size(), 2u);
    const std::vector<float>& left = run.wav.channels[0];
    const VoicePaths voice = defaultVoiceBelow(OMBRIX_BUILD_DIR);
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        const SpokenPiece& piece = timeline.pieces[i];
        SCOPED_TRACE("piece " + std::to_string(i + 1));
        EXPECT_EQ(piece.text, sentences[i]);
        EXPECT_EQ(piece.end, SpokenPiece::End::Finished) << run.result.standardError;
        if (i > 0) {
            EXPECT_GT(piece.startedSeconds, timeline.pieces[i - 1].finishedSeconds);
        }
        const std::vector<float> reference = resampleFrom16k(engineSamples(voice, sentences[i]), kGraphRate);
        ASSERT_FALSE(reference.empty());
        const auto [first, last] = searchWindow(piece.startedSeconds, piece.playingSeconds);
        const Placement placement
            = placeReference(left, reference, first, last, 0, reference.size(), kProbeFrames);
        EXPECT_LT(placement.maxError, kResampledTolerance) << "offset " << placement.offset;
    }
}

// The first sentence is complete after 1.1 s and starts playing; the two words of the
// short tail arrive during its playback, and the last one, marked final, flushes them at
// once: their audio replaces the playing sentence, which never reaches its end.
TEST(OmbrixSpeakStreaming, AFinalFlushDuringPlaybackCutsThePlayingPieceOffAndTheTimelineSaysSo)
{
    const std::string sentence = "The quick brown fox jumps over the lazy dog near the river.";
    const std::string tail = "Bye now.";
    ScratchDirectory scratch;
    const fs::path wavPath = scratch.path() / "interrupted.wav";
    const SpeakRun run = speak(wavPath, {"--stream", "--words-per-second", "10", sentence + " " + tail});
    ASSERT_TRUE(run.result.succeeded()) << run.result.describe();
    const SpeakTimeline& timeline = run.timeline;
    ASSERT_EQ(timeline.pieces.size(), 2u) << run.result.standardError;
    const SpokenPiece& cut = timeline.pieces[0];
    const SpokenPiece& last = timeline.pieces[1];
    EXPECT_EQ(cut.text, sentence);
    EXPECT_EQ(last.text, tail);
    ASSERT_EQ(cut.end, SpokenPiece::End::Interrupted) << run.result.standardError;
    EXPECT_EQ(cut.interruptedBy, 2);
    ASSERT_GE(cut.heardBeforeInterruption, 0.1) << run.result.standardError;
    EXPECT_EQ(last.end, SpokenPiece::End::Finished);

    const std::vector<float>& left = run.wav.channels.at(0);
    const VoicePaths voice = defaultVoiceBelow(OMBRIX_BUILD_DIR);
    const std::vector<float> cutReference = resampleFrom16k(engineSamples(voice, sentence), kGraphRate);
    const std::vector<float> lastReference = resampleFrom16k(engineSamples(voice, tail), kGraphRate);
    ASSERT_FALSE(cutReference.empty());
    ASSERT_FALSE(lastReference.empty());

    // What the timeline says was heard of the first piece is in the file (up to a
    // resampler's filter length before the cut), and its continuation is not.
    const auto heard = position(framesAt(cut.heardBeforeInterruption - 0.02));
    const auto [first, last_] = searchWindow(cut.startedSeconds, cut.playingSeconds);
    const Placement heardPart = placeReference(left, cutReference, first, last_, 0, heard, kProbeFrames);
    EXPECT_LT(heardPart.maxError, kResampledTolerance);
    const auto lostFrom = position(framesAt(cut.heardBeforeInterruption + 0.05));
    const Placement lostPart = placeReference(left, cutReference, heardPart.offset, heardPart.offset,
        lostFrom, lostFrom + position(framesAt(0.2)), kProbeFrames);
    EXPECT_GT(lostPart.maxError, 0.05) << "the rest of the interrupted piece was played after all";

    // The final piece plays in full; its first block (the reference's 10 ms of lead
    // silence, then 10 ms) overlaps the fade of the cut one.
    const auto overlap = position(framesAt(0.03));
    const auto [lastFirst, lastLast] = searchWindow(last.startedSeconds, last.playingSeconds);
    const Placement finalPiece = placeReference(
        left, lastReference, lastFirst, lastLast, overlap, lastReference.size(), kProbeFrames);
    EXPECT_LT(finalPiece.maxError, kResampledTolerance) << "offset " << finalPiece.offset;
    EXPECT_GT(finalPiece.offset, heardPart.offset + static_cast<std::ptrdiff_t>(heard));
}

} // namespace
} // namespace ombrix::testing
