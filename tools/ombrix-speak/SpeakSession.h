#pragma once

// The speak session: one text through a "Sherpa.TTS" node into a WAV file, with the
// timeline of what the node did.
//
// The program is a host application like any other: it links only the host SDK, loads
// libOmbrixSherpa.so at run time from its own installation (<prefix>/lib next to
// <prefix>/bin), finds the "Sherpa" extension, creates a "Sherpa.TTS" node from a
// configuration map, and pulls the node's output block by block through a GraphRunner
// into a WavWriter. It never includes a header of the plug-in: it knows the node only by
// its type name, its actions and its events.
//
// The graph clock. A live host pulls one block per block of wall time. This tool renders
// faster than that while nothing is pending, but the node's synthesis runs on the node's
// own worker thread, and the only sign that a piece has been synthesised is its audio in
// the output. So while the node's threads work (from the moment text handed to it or a
// playback's end wakes its worker, until the worker waits again) the tool lets one block
// of graph time pass per block duration of the processor time those threads use, as an
// audio device would on a machine given to the node alone (NodeWorkPacer). The output
// sounds as it would on such a device, with the same short gaps that synthesis takes,
// and it is the same however busy the machine is: where a piece lands in graph time
// depends on the work its synthesis takes, not on how the threads are scheduled. When the
// worker waits again with a piece started, that piece's audio is in the node.
//
// Reading the timeline. Each piece the node synthesises is recorded when its
// "synthesisStarted" event arrives on the node's worker ("started"), then reported by the
// first block in which its audio is heard ("playing"), and ends either with a "finished"
// event ("finished") or, when the next piece's audio replaced it before its end, as
// "interrupted"; the node sends no event for an interrupted piece, so the tool infers it:
// a "finished" event always belongs to the newest piece that is playing, and older pieces
// still playing at that moment were cut off by their successor. The worker announces a
// piece before it publishes any of its audio, so a "finished" event can only belong to a
// piece announced before it: each event carries the number of pieces announced by then,
// and is never dropped, however short the piece (all of it may play inside one block).
// A piece gave no audio when its synthesis ended without any, when the engine failed on
// it (the node's error line), or when it finished without a sound; the tool then fails. The seconds of audio
// given for an interrupted piece run from its first audible block to the start of its successor's synthesis,
// so at least that much of it was heard; when its audio arrived while other audio was still sounding, the
// arrival cannot be told apart: it is taken as playing from the block after the worker went idle, and the
// timeline gives an upper bound instead (from the start of its synthesis to the start of its successor's).

#include "SpeakOptions.h"
#include "Voice.h"

#include "GraphPacing.h"

#include "host/Ombrix.h"

#include "tools/common/ToolCommon.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ombrix::speak {

// One piece of text as the node synthesised it, seen from the host.
struct Piece {
    enum class State { Synthesising, Playing, Finished, Interrupted, NoAudio };

    std::string text;
    double startWall = 0.0;
    std::uint64_t startFrame = 0;
    State state = State::Synthesising;
    // Set when its audio is known to be in the graph: the block from which on the
    // finished event of a later block can belong to it.
    std::uint64_t playingBlock = 0;
    std::uint64_t playingFrame = 0;
    double playingWall = 0.0;
    bool heardArriving = false; // seen as silence turning into sound
    std::uint64_t endFrame = 0;
    double endWall = 0.0;
    // A block at or above the silence threshold was written while it played.
    bool audible = false;
    // The node's error line when the engine failed on it; empty otherwise.
    std::string engineFailure;
    std::size_t interruptedBy = 0;
    // Graph frame from which the node's threads were seen idle while it had not been heard.
    std::optional<std::uint64_t> idleSinceFrame;
};

struct TimelineEvent {
    std::uint64_t frame;
    double wall;
    std::string what;
};

class SpeakSession {
public:
    SpeakSession(Options opts, VoiceFiles voiceFiles, std::filesystem::path baseDirectory)
        : options(std::move(opts))
        , voice(std::move(voiceFiles))
        , base(std::move(baseDirectory))
    {
    }

    ~SpeakSession()
    {
        // The node's worker may log until the node is gone; only then may the sink that
        // refers to this session go.
        node.reset();
        factory.reset();
        ombrix::Logger::setSink({});
    }

    int run();

private:
    void installLogSink();
    void loadPluginAndCreateNode();
    void handOff(const std::string& action, const ombrix::OXAnyMap& params);
    void collectStartedPieces(std::uint64_t blockIndex);
    void markPlaying(std::size_t index, std::uint64_t blockIndex, std::uint64_t frame, bool heard);
    void onFinished(std::uint64_t blockIndex, std::uint64_t frame, std::size_t announcedBefore, bool loud);
    void collectEngineFailures();
    std::string pieceWithoutAudio() const;
    void interruptOlderPieces(std::size_t finishedIndex);
    bool allSpoken() const;
    void addEvent(std::uint64_t frame, double wall, std::string what);
    double wallNow() const { return std::chrono::duration<double>(Clock::now() - wallStart).count(); }
    double seconds(std::uint64_t frames) const { return static_cast<double>(frames) / options.sampleRate; }
    std::uint64_t secondsToFrames(double s) const
    {
        return static_cast<std::uint64_t>(s * options.sampleRate);
    }
    void printTimeline() const;
    void printSummary(std::uint64_t framesWritten, double renderWall) const;

    Options options;
    tools::Status status{options.quiet};
    VoiceFiles voice;
    std::filesystem::path base;

    std::shared_ptr<ombrix::NodeFactory> factory;
    NodeThreads nodeThreads;
    std::unique_ptr<ombrix::Node> node;
    ombrix::SingleBusAudioSourceNode* source = nullptr;

    Clock::time_point wallStart = Clock::now();
    // Graph frames processed, published for the worker thread's event listener.
    std::atomic<std::uint64_t> graphFrames{0};
    // Set by the log sink (any thread) when the node drops a text for want of a voice.
    std::atomic<bool> textRejected{false};

    // Pieces announced by "synthesisStarted" on the node's worker thread.
    struct StartedPiece {
        std::string text;
        double wall;
        std::uint64_t frame;
    };
    std::mutex startedMutex;
    std::vector<StartedPiece> startedPieces; // guarded by startedMutex
    // "finished" events, each as the number of pieces announced when it came; emitted on
    // the audio thread, which is this program's main thread (GraphRunner::processBlock
    // runs the node on the caller's thread). Guarded by startedMutex.
    std::vector<std::size_t> finishedEvents;
    // The node's error lines for an engine that failed on a text, each with the number of
    // pieces announced when it came (the worker logs it while synthesising the newest).
    // Guarded by startedMutex.
    struct EngineFailure {
        std::size_t announced;
        std::string line;
    };
    std::vector<EngineFailure> engineFailures;
    // The node's error lines that give a reason (a voice's files refused, the engine not
    // created), for the message when no voice loads. Guarded by startedMutex.
    std::vector<std::string> reasonLines;
    std::string takeReasons();

    // Main-thread state of the rendering.
    std::vector<Piece> pieces;
    std::optional<std::size_t> synthesising;
    std::vector<TimelineEvent> events;
    std::string spokenTarget;
    std::string spokenSoFar;
};

} // namespace ombrix::speak
