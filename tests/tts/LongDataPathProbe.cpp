// Helper program for the phoneme-data path tests: loads a voice the way the
// text-to-speech node does, with the data directory given on the command line, and speaks
// one text. It runs in a process of its own because espeak-ng initialises once per
// process, from the first engine's data directory, and ends the process when that
// directory cannot be used.
//
// usage: LongDataPathProbe <model> <tokens> <espeak-ng-data dir> [--no-guard]
//
// A data directory longer than kPhonemeDataPathLimit bytes goes through
// shortPhonemeDataPath first. Unless --no-guard is given, a directory that espeak-ng
// cannot use is then refused instead of handed to the engine.
//
// Standard output: "effective-data-dir=<dir>", then "samples=<count>" after speaking.
// Exit status: 0 spoke, 2 engine creation returned NULL, 3 refused, 4 no audio, 64 usage.

#include <cstdlib>
#include <iostream>
#include <string>

#include "tts/PhonemeDataPath.h"
#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

namespace {

constexpr int kExitSpoke = 0;
constexpr int kExitCreateFailed = 2;
constexpr int kExitRefused = 3;
constexpr int kExitNoAudio = 4;
constexpr int kExitUsage = 64;
constexpr const char* kText = "Hello world. How are you?";

} // namespace

int main(int argc, char** argv)
{
    using namespace ombrix::extensions::sherpa;

    const std::string noGuardFlag = "--no-guard";
    if (argc < 4 || argc > 5 || (argc == 5 && argv[4] != noGuardFlag)) {
        std::cerr << "usage: " << argv[0] << " <model> <tokens> <espeak-ng-data dir> [--no-guard]\n";
        return kExitUsage;
    }
    const std::string modelPath = argv[1];
    const std::string tokensPath = argv[2];
    const std::string dataPath = argv[3];
    const bool guard = argc == 4;

    const std::string effectiveDataPath
        = dataPath.size() > kPhonemeDataPathLimit ? shortPhonemeDataPath(dataPath) : dataPath;
    std::cout << "effective-data-dir=" << effectiveDataPath << std::endl;

    if (guard && !phonemeDataPathUsable(effectiveDataPath)) {
        std::cerr << "refused: espeak-ng-data path of " << effectiveDataPath.size()
                  << " bytes is longer than espeak-ng can use\n";
        return kExitRefused;
    }

    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = modelPath.c_str();
    config.model.vits.tokens = tokensPath.c_str();
    config.model.vits.data_dir = effectiveDataPath.c_str();
    ::setenv("ESPEAK_DATA_PATH", effectiveDataPath.c_str(), 1);

    const OfflineTtsPtr tts(SherpaOnnxCreateOfflineTts(&config));
    if (!tts) {
        std::cerr << "engine creation failed\n";
        return kExitCreateFailed;
    }
    const SherpaOnnxGenerationConfig generation{};
    const GeneratedAudioPtr audio(
        SherpaOnnxOfflineTtsGenerateWithConfig(tts.get(), kText, &generation, nullptr, nullptr));
    if (!audio) {
        std::cerr << "no audio\n";
        return kExitNoAudio;
    }
    std::cout << "samples=" << audio->n << std::endl;
    return kExitSpoke;
}
