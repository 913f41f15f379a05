// A speech engine that fails on request, for the tests of what ombrix-speak makes of an
// engine failure. Preloaded (LD_PRELOAD) into the program, it stands in front of
// sherpa-onnx's SherpaOnnxOfflineTtsGenerateWithConfig: a text that holds one of the
// markers below fails in the way the marker names, any other text (the voice checker's
// probes among them) goes to the real function unchanged. The failures are those the
// engine shows under memory pressure or with a voice whose files do not match: an
// exception before any audio, an exception after the first sentence's audio, or no
// result at all.

#include "utils/SherpaOnnxCApi.h"

#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

constexpr const char* kThrowsMarker = "engine-throws";
constexpr const char* kThrowsAfterAudioMarker = "engine-throws-after-audio";
constexpr const char* kGivesNothingMarker = "engine-gives-nothing";

// The audio handed out before the failure: 0.1 s of a 440 Hz tone at 16000 Hz, loud
// enough to be heard.
constexpr int kToneSampleRate = 16000;
constexpr int kToneSamples = 1600;
constexpr double kToneHz = 440.0;
constexpr double kTonePeak = 0.5;

using GenerateFunction = decltype(&SherpaOnnxOfflineTtsGenerateWithConfig);

GenerateFunction realGenerate()
{
    static const auto function
        = reinterpret_cast<GenerateFunction>(dlsym(RTLD_NEXT, "SherpaOnnxOfflineTtsGenerateWithConfig"));
    return function;
}

} // namespace

extern "C" __attribute__((visibility("default"))) const SherpaOnnxGeneratedAudio*
SherpaOnnxOfflineTtsGenerateWithConfig(const SherpaOnnxOfflineTts* tts, const char* text,
    const SherpaOnnxGenerationConfig* config, SherpaOnnxGeneratedAudioProgressCallbackWithArg callback,
    void* arg)
{
    const char* const given = text != nullptr ? text : "";
    if (std::strstr(given, kThrowsAfterAudioMarker) != nullptr) {
        std::vector<float> tone(kToneSamples);
        for (int i = 0; i < kToneSamples; ++i) {
            tone[static_cast<std::size_t>(i)]
                = static_cast<float>(kTonePeak * std::sin(2.0 * M_PI * kToneHz * i / kToneSampleRate));
        }
        if (callback != nullptr) {
            callback(tone.data(), kToneSamples, 0.5f, arg);
        }
        throw std::bad_alloc();
    }
    if (std::strstr(given, kThrowsMarker) != nullptr) {
        throw std::bad_alloc();
    }
    if (std::strstr(given, kGivesNothingMarker) != nullptr) {
        return nullptr;
    }
    const GenerateFunction real = realGenerate();
    if (real == nullptr) {
        throw std::runtime_error("the real SherpaOnnxOfflineTtsGenerateWithConfig is not loaded");
    }
    return real(tts, text, config, callback, arg);
}
