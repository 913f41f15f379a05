#pragma once

// Owning handles for sherpa-onnx objects: each is a std::unique_ptr whose deleter calls
// the matching SherpaOnnxDestroy* function (all of which accept NULL). Wrap a handle in
// the statement that creates it, e.g.
//
//     OfflineTtsPtr tts(SherpaOnnxCreateOfflineTts(&config));
//     if (!tts) { /* validation failed */ }
//     GeneratedAudioPtr audio(SherpaOnnxOfflineTtsGenerate(tts.get(), text, 0, 1.0f));
//
// Destruction order matters where the library ties objects together: destroy every
// OnlineStreamPtr before the OnlineRecognizerPtr that created it (declare the recognizer
// first so it is destroyed last). Results and generated audio are independent copies.

#include "utils/SherpaOnnxCApi.h"

#include <memory>

namespace ombrix::extensions::sherpa {

struct OfflineTtsDeleter {
    void operator()(const SherpaOnnxOfflineTts* tts) const noexcept { SherpaOnnxDestroyOfflineTts(tts); }
};

struct GeneratedAudioDeleter {
    void operator()(const SherpaOnnxGeneratedAudio* audio) const noexcept
    {
        SherpaOnnxDestroyOfflineTtsGeneratedAudio(audio);
    }
};

struct OnlineRecognizerDeleter {
    void operator()(const SherpaOnnxOnlineRecognizer* recognizer) const noexcept
    {
        SherpaOnnxDestroyOnlineRecognizer(recognizer);
    }
};

struct OnlineStreamDeleter {
    void operator()(const SherpaOnnxOnlineStream* stream) const noexcept
    {
        SherpaOnnxDestroyOnlineStream(stream);
    }
};

struct OnlineRecognizerResultDeleter {
    void operator()(const SherpaOnnxOnlineRecognizerResult* result) const noexcept
    {
        SherpaOnnxDestroyOnlineRecognizerResult(result);
    }
};

/// From SherpaOnnxCreateOfflineTts.
using OfflineTtsPtr = std::unique_ptr<const SherpaOnnxOfflineTts, OfflineTtsDeleter>;
/// From SherpaOnnxOfflineTtsGenerate / SherpaOnnxOfflineTtsGenerateWithConfig.
using GeneratedAudioPtr = std::unique_ptr<const SherpaOnnxGeneratedAudio, GeneratedAudioDeleter>;
/// From SherpaOnnxCreateOnlineRecognizer.
using OnlineRecognizerPtr = std::unique_ptr<const SherpaOnnxOnlineRecognizer, OnlineRecognizerDeleter>;
/// From SherpaOnnxCreateOnlineStream; destroy before its recognizer.
using OnlineStreamPtr = std::unique_ptr<const SherpaOnnxOnlineStream, OnlineStreamDeleter>;
/// From SherpaOnnxGetOnlineStreamResult (a new object on every call).
using OnlineRecognizerResultPtr
    = std::unique_ptr<const SherpaOnnxOnlineRecognizerResult, OnlineRecognizerResultDeleter>;

} // namespace ombrix::extensions::sherpa
