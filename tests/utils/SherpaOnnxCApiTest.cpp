// Checks our hand-written declarations of the sherpa-onnx C interface against the library
// actually loaded: its version, and that configs built from our structs reach the fields
// the library reads (a wrong offset would give NULL, a different result or a crash).

#include "utils/SherpaOnnxCApi.h"
#include "utils/SherpaOnnxHandles.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

using namespace ombrix::extensions::sherpa;

namespace {

const std::string kFixtures = OMBRIX_FIXTURES_DIR;
constexpr int32_t kModelSampleRate = 16000;
constexpr int32_t kSamplesPerToken = 200; // fixture voices at speed 1

OfflineTtsPtr createVoice(const std::string& directory)
{
    const std::string model = directory + "/model.onnx";
    const std::string tokens = directory + "/tokens.txt";
    const std::string dataDir = directory + "/espeak-ng-data";
    SherpaOnnxOfflineTtsConfig config{};
    config.model.vits.model = model.c_str();
    config.model.vits.tokens = tokens.c_str();
    config.model.vits.data_dir = dataDir.c_str();
    config.model.num_threads = 1;
    return OfflineTtsPtr(SherpaOnnxCreateOfflineTts(&config));
}

// 200 ms tone bursts (A = 1 kHz, B = 4 kHz, _ = silence) with 5 ms raised-cosine edges,
// after 300 ms and before 600 ms of silence, as the fixture recogniser expects.
std::vector<float> toneBursts(const std::string& pattern, int sampleRate)
{
    const int symbolSamples = sampleRate / 5;
    const int edgeSamples = sampleRate / 200;
    std::vector<float> audio(static_cast<std::size_t>(sampleRate * 3 / 10), 0.0f);
    for (char symbol : pattern) {
        const double frequency = symbol == 'A' ? 1000.0 : symbol == 'B' ? 4000.0 : 0.0;
        for (int i = 0; i < symbolSamples; ++i) {
            double gain = 0.5;
            const int edge = std::min(i, symbolSamples - 1 - i);
            if (edge < edgeSamples) {
                gain *= 0.5 - 0.5 * std::cos(std::numbers::pi * edge / edgeSamples);
            }
            audio.push_back(
                static_cast<float>(gain * std::sin(2 * std::numbers::pi * frequency * i / sampleRate)));
        }
    }
    audio.resize(audio.size() + static_cast<std::size_t>(sampleRate * 6 / 10), 0.0f);
    return audio;
}

std::string recognise(const std::string& graph, const std::vector<float>& audio)
{
    const std::string model = kFixtures + "/asr/model.onnx";
    const std::string tokens = kFixtures + "/asr/tokens.txt";
    SherpaOnnxOnlineRecognizerConfig config{};
    config.model_config.zipformer2_ctc.model = model.c_str();
    config.model_config.tokens = tokens.c_str();
    config.model_config.num_threads = 1;
    config.ctc_fst_decoder_config.graph = graph.c_str();
    config.feat_config.sample_rate = kModelSampleRate;

    OnlineRecognizerPtr recognizer(SherpaOnnxCreateOnlineRecognizer(&config));
    if (!recognizer) {
        return "<no recognizer>";
    }
    OnlineStreamPtr stream(SherpaOnnxCreateOnlineStream(recognizer.get()));
    SherpaOnnxOnlineStreamAcceptWaveform(
        stream.get(), kModelSampleRate, audio.data(), static_cast<int32_t>(audio.size()));
    SherpaOnnxOnlineStreamInputFinished(stream.get());
    while (SherpaOnnxIsOnlineStreamReady(recognizer.get(), stream.get()) != 0) {
        SherpaOnnxDecodeOnlineStream(recognizer.get(), stream.get());
    }
    EXPECT_EQ(SherpaOnnxOnlineStreamIsEndpoint(recognizer.get(), stream.get()), 0) << "endpointing is off";
    OnlineRecognizerResultPtr result(SherpaOnnxGetOnlineStreamResult(recognizer.get(), stream.get()));
    if (!result) {
        return "<no result>";
    }
    std::string text = result->text;
    EXPECT_EQ(result->count, static_cast<int32_t>(text.size())) << "one token per letter";

    SherpaOnnxOnlineStreamReset(recognizer.get(), stream.get());
    OnlineRecognizerResultPtr afterReset(SherpaOnnxGetOnlineStreamResult(recognizer.get(), stream.get()));
    EXPECT_STREQ(afterReset->text, "");
    EXPECT_EQ(afterReset->count, 0);
    EXPECT_EQ(afterReset->tokens_arr, nullptr);
    return text;
}

} // namespace

TEST(SherpaOnnxCApi, LoadedLibraryIsTheVersionTheDeclarationsDescribe)
{
    EXPECT_STREQ(SherpaOnnxGetVersionStr(), kSherpaOnnxExpectedVersion);
    EXPECT_STREQ(SherpaOnnxGetVersionStr(), "1.13.4");
    EXPECT_STREQ(SherpaOnnxGetGitSha1(), "14280725");
}

TEST(SherpaOnnxCApi, RejectedConfigsGiveEmptyHandles)
{
    const SherpaOnnxOfflineTtsConfig emptyTts{};
    EXPECT_FALSE(OfflineTtsPtr(SherpaOnnxCreateOfflineTts(&emptyTts)));

    const std::string missing = kFixtures + "/does-not-exist/model.onnx";
    SherpaOnnxOnlineRecognizerConfig recognizerConfig{};
    recognizerConfig.model_config.zipformer2_ctc.model = missing.c_str();
    recognizerConfig.model_config.tokens = missing.c_str();
    EXPECT_FALSE(OnlineRecognizerPtr(SherpaOnnxCreateOnlineRecognizer(&recognizerConfig)));

    // The deleters accept empty handles, as the library's destroy functions do.
    GeneratedAudioPtr noAudio;
    OnlineStreamPtr noStream;
    noAudio.reset();
    noStream.reset();
    EXPECT_FALSE(noAudio);
}

TEST(SherpaOnnxCApi, VoiceConfigAndGenerationSettingsReachTheEngine)
{
    OfflineTtsPtr tts = createVoice(kFixtures + "/voice-en");
    ASSERT_TRUE(tts) << "fixture voice did not load";
    EXPECT_EQ(SherpaOnnxOfflineTtsSampleRate(tts.get()), kModelSampleRate);
    EXPECT_EQ(SherpaOnnxOfflineTtsNumSpeakers(tts.get()), 1);

    GeneratedAudioPtr normal(SherpaOnnxOfflineTtsGenerate(tts.get(), "Hello.", 0, 1.0f));
    ASSERT_TRUE(normal);
    EXPECT_EQ(normal->sample_rate, kModelSampleRate);
    ASSERT_GT(normal->n, 0);
    EXPECT_EQ(normal->n % kSamplesPerToken, 0);

    SherpaOnnxGenerationConfig generation{};
    generation.speed = 2.0f; // length scale 1/2: half the samples per token
    int callbacks = 0;
    GeneratedAudioPtr fast(SherpaOnnxOfflineTtsGenerateWithConfig(
        tts.get(), "Hello.", &generation,
        [](const float*, int32_t, float, void* arg) -> int32_t {
            ++*static_cast<int*>(arg);
            return 1;
        },
        &callbacks));
    ASSERT_TRUE(fast);
    EXPECT_EQ(fast->n * 2, normal->n);
    EXPECT_EQ(callbacks, 1);

    const SherpaOnnxGeneratedAudio* none = SherpaOnnxOfflineTtsGenerate(tts.get(), "Hello.", 0, 0.0f);
    EXPECT_EQ(none, nullptr) << "speed 0 is rejected";
}

TEST(SherpaOnnxCApi, RecognizerConfigSelectsModelAndDecodingGraph)
{
    const std::vector<float> audio = toneBursts("A_B_A", kModelSampleRate);
    EXPECT_EQ(recognise(kFixtures + "/asr/HLG.fst", audio), "ABA");
    // A graph without B arcs changes the text, so the graph field is where the library reads it.
    EXPECT_EQ(recognise(kFixtures + "/asr/HLG-only-a.fst", audio), "AA");
}
