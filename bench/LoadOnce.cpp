// ombrix_load_once: one load of a voice or recogniser in a process of its own, timed, for
// the figures that compare what a fresh process pays (bench/FirstLoadBench.cpp):
//
//   ombrix_load_once plain|node|check tts <model> <tokens.txt> <espeak-ng-data>
//   ombrix_load_once plain|node|check asr <model> <tokens.txt> <HLG.fst>
//
// "plain" creates the sherpa-onnx engine from the files, without any of the plug-in's
// checks; "node" loads them through the node (loadModel), with whatever verdicts the
// environment's stores hold (OMBRIX_SHERPA_PERSIST_VERDICTS, XDG_CACHE_HOME,
// OMBRIX_SHERPA_CHECKER). The text-to-speech node is created without its default voice, so
// that the timed voice is the process's first, as for a host that loads its own voice.
// "check" times only the model check the node runs before its load (with a stored
// verdict: the lookup), the part of "node" that "plain" does not do.
// "plain" creates the same nodes first (the speech-to-text node loads the installation's
// default recogniser when it is created, and frees it again here as the node's reload does)
// and leaves them unused, so that both sides start the timed load from the same state.
// Prints "seconds <wall time of the load>" and exits 0 when the files were loaded, 1 when
// not, 64 on bad usage.

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "BenchSupport.h"
#include "models/ModelFileChecker.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tts/SherpaTTSNode.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

using namespace ombrix::extensions::sherpa;
using SteadyClock = std::chrono::steady_clock;

constexpr int kExitUsage = 64;
// The recogniser as the speech-to-text node creates it (see SttBench.cpp).
constexpr int32_t kFeatureDimension = 80;
constexpr int32_t kRecognizerThreads = 4;

OnlineRecognizerPtr plainRecognizer(const char* model, const char* tokens, const char* graph)
{
    SherpaOnnxOnlineRecognizerConfig config{};
    config.feat_config.feature_dim = kFeatureDimension;
    config.model_config.zipformer2_ctc.model = model;
    config.model_config.tokens = tokens;
    config.model_config.num_threads = kRecognizerThreads;
    config.model_config.provider = "cpu";
    config.ctc_fst_decoder_config.graph = graph;
    return OnlineRecognizerPtr(SherpaOnnxCreateOnlineRecognizer(&config));
}

bool plainLoad(bool voice, const char* model, const char* tokens, const char* third)
{
    if (voice) {
        SherpaOnnxOfflineTtsConfig config{};
        config.model.vits.model = model;
        config.model.vits.tokens = tokens;
        config.model.vits.data_dir = third;
        return OfflineTtsPtr(SherpaOnnxCreateOfflineTts(&config)) != nullptr;
    }
    return plainRecognizer(model, tokens, third) != nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6
        || (std::strcmp(argv[1], "plain") != 0 && std::strcmp(argv[1], "node") != 0
            && std::strcmp(argv[1], "check") != 0)
        || (std::strcmp(argv[2], "tts") != 0 && std::strcmp(argv[2], "asr") != 0)) {
        std::fprintf(
            stderr, "usage: %s plain|node|check tts|asr <model> <tokens> <data dir or graph>\n", argv[0]);
        return kExitUsage;
    }
    ombrix::bench::installQuietLogger();
    const bool plain = std::strcmp(argv[1], "plain") == 0;
    const bool checkOnly = std::strcmp(argv[1], "check") == 0;
    const bool voice = std::strcmp(argv[2], "tts") == 0;
    bool loaded = false;
    double seconds = 0.0;
    if (checkOnly) {
        const SherpaTTSNode unusedVoiceNode{ombrix::OXAnyMap{{"loadDefaultVoice", false}}};
        const auto start = SteadyClock::now();
        loaded = (voice ? checkSpeechSynthesisFiles(argv[3], argv[4], argv[5])
                        : checkRecognizerFiles(argv[3], argv[4], argv[5]))
                     .ok;
        seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    } else if (plain) {
        const SherpaTTSNode unusedVoiceNode{ombrix::OXAnyMap{{"loadDefaultVoice", false}}};
        std::optional<SherpaSTTNode> unusedRecogniserNode;
        if (!voice) {
            // Its default recogniser freed as the node's own reload frees it (a load of
            // missing files fails after that): its idle thread pool would otherwise
            // compete with the timed load.
            unusedRecogniserNode.emplace(ombrix::OXAnyMap{});
            unusedRecogniserNode->loadModel(
                "/nonexistent/model.ort", "/nonexistent/tokens.txt", "/nonexistent/HLG.fst");
        }
        const auto start = SteadyClock::now();
        loaded = plainLoad(voice, argv[3], argv[4], argv[5]);
        seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    } else if (voice) {
        SherpaTTSNode node{ombrix::OXAnyMap{{"loadDefaultVoice", false}}};
        const auto start = SteadyClock::now();
        loaded = node.loadModel(argv[3], argv[4], argv[5]);
        seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    } else {
        const SherpaTTSNode unusedVoiceNode{ombrix::OXAnyMap{{"loadDefaultVoice", false}}};
        SherpaSTTNode node{ombrix::OXAnyMap{}};
        const auto start = SteadyClock::now();
        loaded = node.loadModel(argv[3], argv[4], argv[5]);
        seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    }
    std::printf("seconds %.6f\n", seconds);
    std::fflush(stdout);
    return loaded ? 0 : 1;
}
