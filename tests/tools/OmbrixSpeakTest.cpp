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

    const std::string missingModel = (scratch.path() / "nowhere" / "voice.onnx").string();
    const auto missing
        = runSubprocess(tool, withArguments({"-o", wavPath.string(), "--model", missingModel, "hi"}));
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.standardError.find("model file missing: " + missingModel), std::string::npos)
        << missing.standardError;
    // The advice names the voice installer, which is there.
    const fs::path installer = fs::path(OMBRIX_BUILD_DIR) / "bin" / "ombrix-install-voice";
    EXPECT_NE(missing.standardError.find(installer.string() + " --prefix "), std::string::npos)
        << missing.standardError;
    EXPECT_TRUE(fs::is_regular_file(installer));

    // Files that exist but that the engine refuses (phoneme data without its files):
    // the node's "loadModel" answers false, and the program says so.
    const fs::path emptyData = scratch.path() / "empty-espeak-data";
    fs::create_directory(emptyData);
    const auto refused = runSubprocess(tool,
        withArguments({"-o", wavPath.string(), "--model", fixtureVoice().model, "--data-dir",
            emptyData.string(), "hi"}));
    EXPECT_EQ(refused.exitCode, 3);
    EXPECT_NE(refused.standardError.find("\"loadModel\" returned false"), std::string::npos)
        << refused.standardError;
    EXPECT_NE(refused.standardError.find(emptyData.string()), std::string::npos);
    EXPECT_FALSE(fs::exists(wavPath)) << "no output is written when nothing can be spoken";
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
