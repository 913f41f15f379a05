#include "SpeakSession.h"

#include "AudioOutput.h"
#include "GraphPacing.h"
#include "SpeakText.h"

#include "tools/common/PluginLoading.h"
#include "tools/common/Progress.h"
#include "tools/common/ToolCommon.h"
#include "tools/common/WavOutput.h"

#include <link.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace ombrix::speak {

namespace {

namespace fs = std::filesystem;
using ombrix::LogLevel;

constexpr const char* kNodeType = "Sherpa.TTS";
// The node's line for a text it drops because it has no voice loaded.
constexpr const char* kTextRejectedLogLine
    = "[SherpaTTSNode] synthesize is called but TTS instance is not initialized.";
// The node's error lines for a text on which the engine failed (an exception out of the
// engine, or audio it could not convert or keep); whatever audio it published before
// still plays.
constexpr const char* kEngineFailureLogLines[] = {
    "[SherpaTTSNode] Speech engine failed on the text",
    "[SherpaTTSNode] Could not convert the voice's audio",
    "[SherpaTTSNode] Could not keep the synthesised audio",
};

// A piece whose synthesis is over (the node's threads are idle) but whose audio has not
// been heard after this much graph time is reported as giving no audio: a voice's lead
// silence is far shorter.
constexpr double kNoAudioGraphSeconds = 2.0;
// Safety bound, in wall time, for a node that never gets its text synthesised.
constexpr double kNoAudioWallSeconds = 30.0;
// After everything is spoken, the tool keeps pulling for the resampler's latency plus
// these margins, then until a silent block, but never longer than the cap.
constexpr double kTailCapSeconds = 1.0;
// The automatic graph-time limit: a fixed allowance plus an allowance per byte of text
// (far more than any voice needs per character) plus the streaming feed time.
constexpr double kLimitBaseSeconds = 60.0;
constexpr double kLimitSecondsPerByte = 0.25;

// The node's error lines that only say that loading failed, after the line with the reason.
constexpr const char* kReasonlessLogLines[] = {
    "[SherpaTTSNode] Failed to create Sherpa Offline TTS.",
    "[SherpaTTSNode] Check that the model files exist and are valid",
    "[SherpaTTSNode] Failed to load Sherpa model.",
    kTextRejectedLogLine,
};
constexpr const char* kNodeLogPrefix = "[SherpaTTSNode] ";

int dlIteratePrinter(dl_phdr_info* info, size_t, void* data)
{
    auto* out = static_cast<std::vector<std::string>*>(data);
    const std::string name = info->dlpi_name ? info->dlpi_name : "";
    for (const char* wanted : {"libOmbrixSDK", "libOmbrixSherpa", "libsherpa-onnx-c-api", "libonnxruntime"}) {
        if (name.find(wanted) != std::string::npos) {
            std::error_code error;
            const fs::path canonical = fs::canonical(name, error);
            out->push_back(error ? name : canonical.string());
        }
    }
    return 0;
}

} // namespace

void SpeakSession::installLogSink()
{
    // -q leaves only errors.
    const LogLevel shown = options.quiet ? std::max(options.logLevel, LogLevel::Error) : options.logLevel;
    // Error lines always reach the sink so that a dropped text is noticed; they are only
    // printed when the chosen level asks for them.
    ombrix::Logger::setLevel(std::min(shown, LogLevel::Error));
    ombrix::Logger::setSink([this, shown](LogLevel level, const std::string& line) {
        if (line.find(kTextRejectedLogLine) != std::string::npos) {
            textRejected.store(true);
        }
        if (level >= LogLevel::Error
            && std::any_of(std::begin(kEngineFailureLogLines), std::end(kEngineFailureLogLines),
                [&line](const char* failure) { return line.find(failure) != std::string::npos; })) {
            std::lock_guard lock(startedMutex);
            engineFailures.push_back({startedPieces.size(), line});
        } else if (level >= LogLevel::Error
            && std::none_of(std::begin(kReasonlessLogLines), std::end(kReasonlessLogLines),
                [&line](const char* reasonless) { return line.find(reasonless) != std::string::npos; })) {
            std::lock_guard lock(startedMutex);
            reasonLines.push_back(
                line.rfind(kNodeLogPrefix, 0) == 0 ? line.substr(std::string(kNodeLogPrefix).size()) : line);
        }
        if (level >= shown) {
            std::fprintf(stderr, "[%s] %s\n", ombrix::Logger::levelName(level), line.c_str());
        }
    });
}

std::string SpeakSession::takeReasons()
{
    std::vector<std::string> lines;
    {
        std::lock_guard lock(startedMutex);
        lines.swap(reasonLines);
    }
    if (lines.empty()) {
        return "\nRun with --log-level info to see the node's reasons.";
    }
    std::string text = lines.size() == 1 ? "\nThe node's reason:" : "\nThe node's reasons:";
    for (const std::string& line : lines) {
        text += "\n  " + line;
    }
    return text;
}

void SpeakSession::loadPluginAndCreateNode()
{
    factory = tools::loadSherpaNodeFactory(options.pluginPath, kNodeType);

    // With explicit voice files, the node's own attempt at the default voice during
    // construction does not matter; its log lines would only confuse.
    const LogLevel level = ombrix::Logger::getLevel();
    if (!voice.isDefault) {
        ombrix::Logger::setLevel(LogLevel::None);
    }
    const auto created = Clock::now();
    const std::vector<pid_t> threadsBefore = NodeThreads::current();
    try {
        // A node given its voice below skips the default voice's load.
        // Speaker and speed as configuration too, for the streamed pieces.
        ombrix::OXAnyMap configuration;
        if (!voice.isDefault) {
            configuration.set("loadDefaultVoice", false);
        }
        if (options.speaker) {
            configuration.set("speakerId", static_cast<std::int64_t>(*options.speaker));
        }
        if (options.speed) {
            configuration.set("speed", *options.speed);
        }
        node = factory->createNode(kNodeType, configuration);
    } catch (...) {
        ombrix::Logger::setLevel(level);
        throw;
    }
    ombrix::Logger::setLevel(level);
    // The node's worker (and whatever the engine started with it) from here on paces the
    // graph; loading a voice below may start more.
    nodeThreads.adoptNewThreads(threadsBefore);
    source = dynamic_cast<ombrix::SingleBusAudioSourceNode*>(node.get());
    if (!source) {
        throw tools::ToolError(
            tools::kExitInput, std::string("the node \"") + kNodeType + "\" is not an audio source");
    }

    if (!voice.isDefault) {
        takeReasons(); // only the lines of this load are its reasons
        const auto result = node->callAction("loadModel",
            ombrix::OXAnyMap{
                {"modelPath", voice.model}, {"tokensPath", voice.tokens}, {"dataPath", voice.dataDir}});
        if (result.isError()) {
            throw tools::ToolError(tools::kExitInput, "the node refused \"loadModel\": " + result.getError());
        }
        if (!result.getValue().convert<bool>()) {
            throw tools::ToolError(tools::kExitNoModel,
                "the voice could not be loaded (\"loadModel\" returned false) from\n  model:    "
                    + voice.model + "\n  tokens:   " + voice.tokens + "\n  data dir: " + voice.dataDir
                    + takeReasons());
        }
    }
    nodeThreads.adoptNewThreads(threadsBefore);
    // The default voice's load cannot be seen from here: a text dropped for want of a
    // voice tells it later.
    status.print("node %s created in %.3f s%s\n", kNodeType,
        std::chrono::duration<double>(Clock::now() - created).count(),
        voice.isDefault ? "" : " (voice loaded with \"loadModel\")");

    node->addEventListener("synthesisStarted", [this](const std::string&, const ombrix::OXAny& data) {
        // Runs on the node's worker thread.
        std::string text;
        try {
            text = data.convert<ombrix::OXAnyMap>().get<std::string>("text");
        } catch (const std::exception&) {
            text = "(no text in the event)";
        }
        const double wall = wallNow();
        const std::uint64_t frame = graphFrames.load();
        std::lock_guard lock(startedMutex);
        startedPieces.push_back({std::move(text), wall, frame});
    });
    node->addEventListener("finished", [this](const std::string&, const ombrix::OXAny&) {
        // Runs on the audio thread (here the main thread, inside processBlock). The piece
        // it ends was announced before its audio was published, so it is counted here.
        std::lock_guard lock(startedMutex);
        finishedEvents.push_back(startedPieces.size());
    });
}

void SpeakSession::handOff(const std::string& action, const ombrix::OXAnyMap& params)
{
    const auto result = node->callAction(action, params);
    if (result.isError()) {
        throw tools::ToolError(
            tools::kExitInput, "the node refused \"" + action + "\": " + result.getError());
    }
}

void SpeakSession::addEvent(std::uint64_t frame, double wall, std::string what)
{
    events.push_back({frame, wall, std::move(what)});
}

void SpeakSession::collectStartedPieces(std::uint64_t blockIndex)
{
    std::vector<StartedPiece> fresh;
    {
        std::lock_guard lock(startedMutex);
        if (startedPieces.size() <= pieces.size()) {
            return;
        }
        fresh.assign(startedPieces.begin() + static_cast<std::ptrdiff_t>(pieces.size()), startedPieces.end());
    }
    for (auto& started : fresh) {
        // The worker synthesises one piece at a time and publishes its audio before it
        // starts the next, so a new start means the previous piece is in the graph.
        if (synthesising) {
            markPlaying(*synthesising, blockIndex, started.frame, false);
        }
        Piece piece;
        piece.text = started.text;
        piece.startWall = started.wall;
        piece.startFrame = started.frame;
        pieces.push_back(piece);
        synthesising = pieces.size() - 1;
        spokenSoFar += spokenCharacters(started.text);
        addEvent(started.frame, started.wall,
            "piece " + std::to_string(pieces.size()) + " started: " + timelineText(started.text));
    }
}

void SpeakSession::markPlaying(std::size_t index, std::uint64_t blockIndex, std::uint64_t frame, bool heard)
{
    Piece& piece = pieces[index];
    if (piece.state != Piece::State::Synthesising) {
        return;
    }
    piece.state = Piece::State::Playing;
    piece.playingBlock = blockIndex;
    piece.playingFrame = std::max(frame, piece.startFrame);
    piece.playingWall = wallNow();
    piece.heardArriving = heard;
    if (synthesising == index) {
        synthesising.reset();
    }
    addEvent(piece.playingFrame, piece.playingWall,
        "piece " + std::to_string(index + 1)
            + (heard ? " playing" : " playing (start not heard: by this time)"));
}

void SpeakSession::interruptOlderPieces(std::size_t newerIndex)
{
    for (std::size_t i = 0; i < newerIndex; ++i) {
        Piece& piece = pieces[i];
        if (piece.state != Piece::State::Playing) {
            continue;
        }
        const Piece& successor = pieces[i + 1];
        piece.state = Piece::State::Interrupted;
        piece.interruptedBy = i + 2;
        piece.endFrame = std::max(successor.startFrame, piece.playingFrame);
        piece.endWall = successor.startWall;
        // Heard from its first audible block to the start of its successor's synthesis;
        // when its arrival was hidden under other audio, only an upper bound is known.
        char heard[96];
        if (piece.heardArriving) {
            std::snprintf(heard, sizeof(heard), " after %.3f s of its audio",
                seconds(piece.endFrame - piece.playingFrame));
        } else {
            std::snprintf(heard, sizeof(heard), ", at most %.3f s of its audio heard",
                seconds(successor.startFrame - std::min(successor.startFrame, piece.startFrame)));
        }
        addEvent(std::max(successor.playingFrame, successor.startFrame), successor.playingWall,
            "piece " + std::to_string(i + 1) + " interrupted by piece " + std::to_string(i + 2) + heard);
    }
}

void SpeakSession::onFinished(
    std::uint64_t blockIndex, std::uint64_t frame, std::size_t announcedBefore, bool loud)
{
    // The event belongs to a piece announced before it. Of those, the newest that was
    // already in the graph before this block: a piece that arrived in this very block can
    // only have replaced the one that ended in it.
    const std::size_t candidates = std::min(announcedBefore, pieces.size());
    std::optional<std::size_t> owner;
    for (std::size_t i = candidates; i-- > 0;) {
        if (pieces[i].state == Piece::State::Playing && pieces[i].playingBlock < blockIndex) {
            owner = i;
            break;
        }
    }
    if (!owner) {
        // Otherwise the newest that has not ended: its audio arrived in this block or
        // went unseen (a piece too short or too quiet to notice, or all of it inside one
        // block), and ended.
        for (std::size_t i = candidates; i-- > 0;) {
            const Piece::State state = pieces[i].state;
            if (state == Piece::State::Synthesising || state == Piece::State::Playing) {
                owner = i;
                break;
            }
        }
        if (owner) {
            markPlaying(*owner, blockIndex, frame, false);
        }
    }
    if (!owner) {
        addEvent(frame, wallNow(), "\"finished\" event without a piece playing");
        return;
    }
    interruptOlderPieces(*owner);
    Piece& piece = pieces[*owner];
    // A piece that played only in this block sounded if the block did.
    piece.audible = piece.audible || (loud && piece.playingBlock == blockIndex);
    piece.state = Piece::State::Finished;
    piece.endFrame = frame;
    piece.endWall = wallNow();
    addEvent(frame, piece.endWall, "piece " + std::to_string(*owner + 1) + " finished");
}

void SpeakSession::collectEngineFailures()
{
    std::vector<EngineFailure> fresh;
    {
        std::lock_guard lock(startedMutex);
        fresh.swap(engineFailures);
    }
    for (EngineFailure& failure : fresh) {
        if (failure.announced == 0 || failure.announced > pieces.size()) {
            continue; // not while a piece was synthesised (cannot happen: logged after the start)
        }
        Piece& piece = pieces[failure.announced - 1];
        if (piece.engineFailure.empty()) {
            piece.engineFailure = std::move(failure.line);
            addEvent(graphFrames.load(), wallNow(),
                "piece " + std::to_string(failure.announced) + ": the speech engine failed");
        }
    }
}

std::string SpeakSession::pieceWithoutAudio() const
{
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        const std::string name = "piece " + std::to_string(i + 1) + " (" + timelineText(piece.text) + ")";
        if (!piece.engineFailure.empty()) {
            return "the speech engine failed on " + name + ": " + piece.engineFailure;
        }
        if (piece.state == Piece::State::NoAudio
            || (piece.state == Piece::State::Finished && !piece.audible)) {
            return name + " gave no audio";
        }
    }
    return {};
}

bool SpeakSession::allSpoken() const
{
    if (pieces.empty() || synthesising || spokenSoFar.size() < spokenTarget.size()) {
        return false;
    }
    return std::all_of(pieces.begin(), pieces.end(), [](const Piece& piece) {
        return piece.state != Piece::State::Synthesising && piece.state != Piece::State::Playing;
    });
}

int SpeakSession::run()
{
    installLogSink();
    loadPluginAndCreateNode();
    if (options.showLibraries) {
        std::vector<std::string> libraries;
        dl_iterate_phdr(dlIteratePrinter, &libraries);
        for (const auto& library : libraries) {
            status.print("library: %s\n", library.c_str());
        }
    }

    AudioOutput output;
    output.open(options.outputPath, options.sampleRate, options.channels, options.format, options.outputRaw);
    ombrix::GraphRunner runner(options.sampleRate, options.channels, options.blockSize);
    runner.setSource(source);
    if (!runner.start()) {
        throw tools::ToolError(tools::kExitRuntime,
            "the node refused the graph format (" + std::to_string(options.sampleRate) + " Hz, "
                + std::to_string(options.channels) + " channels)");
    }

    const double latency = resamplerLatencyFrames(options.sampleRate, options.channels, options.blockSize);
    const auto innerBlockFrames = static_cast<std::uint64_t>(
        std::ceil(static_cast<double>(kNodeInnerBlockSize) * options.sampleRate / kNodeInnerSampleRate));
    const std::uint64_t minimumTailFrames
        = static_cast<std::uint64_t>(std::ceil(latency)) + options.blockSize + innerBlockFrames;
    const auto tailCapFrames
        = minimumTailFrames + static_cast<std::uint64_t>(kTailCapSeconds * options.sampleRate);

    const std::vector<std::string> tokens
        = options.stream ? splitIntoTokens(options.text) : std::vector<std::string>{};
    spokenTarget = spokenCharacters(options.text);
    const double limitSeconds = options.maxGraphSeconds > 0.0
        ? options.maxGraphSeconds
        : kLimitBaseSeconds + kLimitSecondsPerByte * static_cast<double>(options.text.size())
            + 2.0 * static_cast<double>(tokens.size()) / options.wordsPerSecond;
    const auto limitFrames = static_cast<std::uint64_t>(limitSeconds * options.sampleRate);

    status.print("graph: %d Hz, %u channel%s, blocks of %u frames; resampler latency %.1f frames\n",
        options.sampleRate, options.channels, options.channels == 1 ? "" : "s", options.blockSize, latency);
    if (options.stream) {
        status.print("mode: streaming %zu words at %.3g words per second of graph time\n", tokens.size(),
            options.wordsPerSecond);
    } else {
        status.print("mode: whole text (%zu bytes) with \"synthesizeWith\"\n", options.text.size());
    }

    wallStart = Clock::now();
    NodeWorkPacer pacer(nodeThreads,
        std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(static_cast<double>(options.blockSize) / options.sampleRate)));
    bool previousSilent = true;
    bool everythingHandedOff = false;
    std::size_t nextToken = 0;
    std::optional<std::uint64_t> doneFrame;
    double waitingSince = -1.0; // wall time the wait began; negative: not waiting
    std::uint64_t frames = 0;
    tools::Progress progress(stderr, status.enabled());
    std::string failure;

    if (!options.stream) {
        // "synthesizeWith" checks the speaker against the voice, and says how many it has.
        ombrix::OXAnyMap params{{"text", options.text}};
        if (options.speaker) {
            params.set("speakerId", static_cast<std::int64_t>(*options.speaker));
        }
        if (options.speed) {
            params.set("speed", *options.speed);
        }
        const auto result = node->callAction("synthesizeWith", params);
        if (result.isError()) {
            throw tools::ToolError(
                tools::kExitUsage, "the node refused the voice settings: " + result.getError());
        }
        try {
            const ombrix::OXAnyMap answer = result.getValue().convert<ombrix::OXAnyMap>();
            const long speakers = static_cast<long>(answer.get<std::int64_t>("speakers"));
            status.print("speakers: %ld (speaking with speaker %ld at speed %.3g)\n", speakers,
                static_cast<long>(answer.get<std::int64_t>("speakerId")), answer.get<double>("speed"));
        } catch (const std::exception&) {
            // An answer without these fields: nothing to report.
        }
        everythingHandedOff = true;
    }

    for (std::uint64_t block = 0;; ++block) {
        // Streamed words whose time has come, by graph time.
        while (options.stream && nextToken < tokens.size()
            && seconds(frames) * options.wordsPerSecond >= static_cast<double>(nextToken)) {
            const bool isFinal = nextToken + 1 == tokens.size();
            handOff(
                "appendStreamingText", ombrix::OXAnyMap{{"token", tokens[nextToken]}, {"isFinal", isFinal}});
            ++nextToken;
            if (isFinal) {
                everythingHandedOff = true;
                addEvent(frames, wallNow(), "last word sent with \"isFinal\"");
            }
        }
        collectStartedPieces(block);
        collectEngineFailures();
        if (textRejected.load()) {
            failure = "the node has no voice loaded and dropped the text (run with --log-level debug for the "
                      "whole story)"
                + takeReasons();
            break;
        }

        // The node's threads idle with a piece started: its synthesis is over and its audio
        // is in the node, to be heard from the next block on. Under other audio its
        // arrival cannot be seen, so it is taken as playing from there.
        const bool nodeIdle = !nodeThreads.anyWorking();
        if (synthesising) {
            Piece& piece = pieces[*synthesising];
            if (!nodeIdle) {
                piece.idleSinceFrame.reset();
            } else if (!piece.idleSinceFrame) {
                piece.idleSinceFrame = frames;
            }
            if (nodeIdle && !previousSilent) {
                markPlaying(*synthesising, block, frames, false);
            } else if (nodeIdle && frames - *piece.idleSinceFrame >= secondsToFrames(kNoAudioGraphSeconds)) {
                piece.state = Piece::State::NoAudio;
                synthesising.reset();
                char line[96];
                std::snprintf(line, sizeof line, " gave no audio %.1f s after its synthesis ended",
                    kNoAudioGraphSeconds);
                addEvent(frames, wallNow(), "piece " + std::to_string(&piece - pieces.data() + 1) + line);
            }
        }

        if (!doneFrame && everythingHandedOff && nodeIdle && allSpoken()) {
            doneFrame = frames;
        }
        if (doneFrame) {
            const std::uint64_t tail = frames - *doneFrame;
            if ((tail >= minimumTailFrames && previousSilent) || tail >= tailCapFrames) {
                break;
            }
        } else if (frames >= limitFrames) {
            char line[160];
            std::snprintf(line, sizeof line,
                "gave up after %.3f s of graph time (%.3f s of wall time) without the text having finished "
                "playing (--max-seconds)",
                seconds(frames), wallNow());
            failure = line;
            break;
        }

        // Everything is handed off, nothing is playing or being synthesised, yet part of
        // the text has not been announced: the node's worker has not picked it up yet.
        const bool waitingForNode = !doneFrame && everythingHandedOff && !synthesising
            && spokenSoFar.size() < spokenTarget.size()
            && std::none_of(pieces.begin(), pieces.end(),
                [](const Piece& p) { return p.state == Piece::State::Playing; });
        if (!waitingForNode) {
            waitingSince = -1.0;
        } else if (waitingSince < 0.0) {
            waitingSince = wallNow();
        } else if (wallNow() - waitingSince > kNoAudioWallSeconds) {
            char line[160];
            std::snprintf(line, sizeof line, "part of the text was not synthesised by the node within %.1f s",
                wallNow() - waitingSince);
            failure = line;
            break;
        }

        // Graph time runs with the node's work while it works (NodeWorkPacer).
        pacer.beforeBlock();

        // Whatever the node's worker starts during this block starts at its end.
        graphFrames.store(frames + options.blockSize);
        const auto& buffer = runner.processBlock();
        const std::uint64_t blockStart = frames;
        frames += buffer.getNumberOfFrames();
        graphFrames.store(frames);
        errno = 0;
        if (!output.write(buffer)) {
            failure
                = "cannot write " + options.outputPath + ": " + tools::systemReason(errno != 0 ? errno : EIO);
            break;
        }

        const std::optional<unsigned> firstLoud = firstAudibleFrame(buffer);
        const bool silent = !firstLoud;

        // Pieces announced during this block are recorded before the block's "finished"
        // events are read: an event may end a piece whose whole audio played in it.
        collectStartedPieces(block);
        collectEngineFailures();
        std::vector<std::size_t> finished;
        {
            std::lock_guard lock(startedMutex);
            finished.swap(finishedEvents);
        }
        // A playback that ended here may let the node cut held-back streaming text.
        for (const std::size_t announcedBefore : finished) {
            onFinished(block, blockStart, announcedBefore, !silent);
        }
        // The first sound after silence is the piece being synthesised arriving.
        if (synthesising && previousSilent && !silent) {
            markPlaying(*synthesising, block, blockStart + *firstLoud, true);
        }
        if (!silent) {
            for (Piece& piece : pieces) {
                piece.audible = piece.audible || piece.state == Piece::State::Playing;
            }
        }
        previousSilent = silent;

        if (progress.due()) {
            char line[160];
            std::snprintf(line, sizeof line,
                "progress: %.1f s of audio rendered in %.1f s, %zu piece%s started", seconds(frames),
                wallNow(), pieces.size(), pieces.size() == 1 ? "" : "s");
            progress.report(line);
        }
    }
    const double renderWall = wallNow();
    // A failure the worker logged while the last blocks were rendered.
    collectEngineFailures();
    progress.finish();
    runner.stop();
    if (!output.close() && failure.empty()) {
        failure = "cannot write " + options.outputPath + ": " + tools::systemReason(errno != 0 ? errno : EIO);
    }

    // Pieces still playing with a successor were cut off by it.
    if (!pieces.empty()) {
        std::size_t newestPlaying = pieces.size();
        for (std::size_t i = pieces.size(); i-- > 0;) {
            if (pieces[i].state == Piece::State::Playing) {
                newestPlaying = i;
                break;
            }
        }
        if (newestPlaying < pieces.size()) {
            interruptOlderPieces(newestPlaying);
        }
    }
    if (doneFrame) {
        addEvent(
            frames, renderWall, "end of output, " + std::to_string(frames - *doneFrame) + " frames of tail");
    }
    printTimeline();
    printSummary(output.getFramesWritten(), renderWall);
    if (failure.empty()) {
        failure = pieceWithoutAudio();
    }
    if (!failure.empty()) {
        throw tools::ToolError(textRejected.load() ? tools::kExitNoModel : tools::kExitRuntime, failure);
    }
    return 0;
}

void SpeakSession::printTimeline() const
{
    std::vector<TimelineEvent> sorted = events;
    std::stable_sort(sorted.begin(), sorted.end(),
        [](const TimelineEvent& a, const TimelineEvent& b) { return a.frame < b.frame; });
    status.print("timeline:\n   graph s    wall s  event\n");
    for (const auto& event : sorted) {
        status.print("%10.3f %9.3f  %s\n", seconds(event.frame), event.wall, event.what.c_str());
    }
}

void SpeakSession::printSummary(std::uint64_t framesWritten, double renderWall) const
{
    auto count = [this](Piece::State state) {
        return std::count_if(
            pieces.begin(), pieces.end(), [state](const Piece& p) { return p.state == state; });
    };
    status.print("pieces: %zu started, %zd finished, %zd interrupted", pieces.size(),
        count(Piece::State::Finished), count(Piece::State::Interrupted));
    if (const auto silent = count(Piece::State::NoAudio)) {
        status.print(", %zd without audio", silent);
    }
    status.print("\n");
    const double audioSeconds = seconds(framesWritten);
    status.print("output: %s, %.3f s of audio (%d Hz, %u channel%s, %s)\n", options.outputPath.c_str(),
        audioSeconds, options.sampleRate, options.channels, options.channels == 1 ? "" : "s",
        options.outputRaw                                        ? "raw 16-bit little-endian PCM"
            : options.format == ombrix::WavWriter::Format::Pcm16 ? "16-bit PCM"
                                                                 : "32-bit float");
    status.print("wall time: %.3f s, real-time factor %.3f\n", renderWall,
        audioSeconds > 0.0 ? renderWall / audioSeconds : 0.0);
}

} // namespace ombrix::speak
