#pragma once

// Declarations of the part of the sherpa-onnx C interface (libsherpa-onnx-c-api.so) that
// this library calls. The prebuilt library ships no header, so the layouts are written
// here and pinned with static_asserts to the sizes and offsets measured for sherpa-onnx
// 1.13.4 on x86-64 Linux (LP64, natural alignment, no packing). The structs carry no
// version field: compare SherpaOnnxGetVersionStr() with
// ombrix::extensions::sherpa::kSherpaOnnxExpectedVersion at run time before trusting them.
//
// Usage notes that matter for every caller:
//  - Zero-fill a config (`Config config{};`) and set only what is needed: the library
//    substitutes its defaults for zero / NULL fields.
//  - Handles are passed as pointers to const even to calls that change state.
//  - Wrap every handle at creation in the RAII types of utils/SherpaOnnxHandles.h.

#include <cstddef>
#include <cstdint>

namespace ombrix::extensions::sherpa {
/// The library version these declarations were written and measured for.
inline constexpr const char* kSherpaOnnxExpectedVersion = "1.13.4";
} // namespace ombrix::extensions::sherpa

extern "C" {

// ---------------------------------------------------------------------------------------
// Streaming speech recognition

struct SherpaOnnxOnlineTransducerModelConfig {
    const char* encoder;
    const char* decoder;
    const char* joiner;
};

struct SherpaOnnxOnlineParaformerModelConfig {
    const char* encoder;
    const char* decoder;
};

struct SherpaOnnxOnlineZipformer2CtcModelConfig {
    const char* model;
};

struct SherpaOnnxOnlineNemoCtcModelConfig {
    const char* model;
};

struct SherpaOnnxOnlineToneCtcModelConfig {
    const char* model;
};

struct SherpaOnnxOnlineModelConfig {
    SherpaOnnxOnlineTransducerModelConfig transducer;
    SherpaOnnxOnlineParaformerModelConfig paraformer;
    SherpaOnnxOnlineZipformer2CtcModelConfig zipformer2_ctc;
    const char* tokens;
    int32_t num_threads;
    const char* provider;
    int32_t debug;
    const char* model_type;
    const char* modeling_unit;
    const char* bpe_vocab;
    const char* tokens_buf;
    int32_t tokens_buf_size;
    SherpaOnnxOnlineNemoCtcModelConfig nemo_ctc;
    SherpaOnnxOnlineToneCtcModelConfig t_one_ctc;
};

struct SherpaOnnxFeatureConfig {
    int32_t sample_rate; ///< rate the model expects (input is resampled to it)
    int32_t feature_dim;
};

struct SherpaOnnxOnlineCtcFstDecoderConfig {
    const char* graph;
    int32_t max_active;
};

struct SherpaOnnxHomophoneReplacerConfig {
    const char* dict_dir;
    const char* lexicon;
    const char* rule_fsts;
};

struct SherpaOnnxOnlineRecognizerConfig {
    SherpaOnnxFeatureConfig feat_config;
    SherpaOnnxOnlineModelConfig model_config;
    const char* decoding_method;
    int32_t max_active_paths;
    int32_t enable_endpoint;
    float rule1_min_trailing_silence;
    float rule2_min_trailing_silence;
    float rule3_min_utterance_length;
    const char* hotwords_file;
    float hotwords_score;
    SherpaOnnxOnlineCtcFstDecoderConfig ctc_fst_decoder_config;
    const char* rule_fsts;
    const char* rule_fars;
    float blank_penalty;
    const char* hotwords_buf;
    int32_t hotwords_buf_size;
    SherpaOnnxHomophoneReplacerConfig hr;
};

/// Owned by the library until SherpaOnnxDestroyOnlineRecognizerResult. `text` and `json`
/// are never NULL; with `count` 0 the token arrays and `timestamps` are NULL.
struct SherpaOnnxOnlineRecognizerResult {
    const char* text;
    const char* tokens;
    const char* const* tokens_arr;
    float* timestamps;
    int32_t count;
    const char* json;
};

struct SherpaOnnxOnlineRecognizer; // opaque
struct SherpaOnnxOnlineStream; // opaque

// ---------------------------------------------------------------------------------------
// Offline text-to-speech

struct SherpaOnnxOfflineTtsVitsModelConfig {
    const char* model;
    const char* lexicon;
    const char* tokens;
    const char* data_dir;
    float noise_scale;
    float noise_scale_w;
    float length_scale;
    const char* dict_dir;
};

struct SherpaOnnxOfflineTtsMatchaModelConfig {
    const char* acoustic_model;
    const char* vocoder;
    const char* lexicon;
    const char* tokens;
    const char* data_dir;
    float noise_scale;
    float length_scale;
    const char* dict_dir;
};

struct SherpaOnnxOfflineTtsKokoroModelConfig {
    const char* model;
    const char* voices;
    const char* tokens;
    const char* data_dir;
    float length_scale;
    const char* dict_dir;
    const char* lexicon;
    const char* lang;
};

struct SherpaOnnxOfflineTtsKittenModelConfig {
    const char* model;
    const char* voices;
    const char* tokens;
    const char* data_dir;
    float length_scale;
};

struct SherpaOnnxOfflineTtsZipvoiceModelConfig {
    const char* tokens;
    const char* encoder;
    const char* decoder;
    const char* vocoder;
    const char* data_dir;
    const char* lexicon;
    float feat_scale;
    float t_shift;
    float target_rms;
    float guidance_scale;
};

struct SherpaOnnxOfflineTtsPocketModelConfig {
    const char* lm_flow;
    const char* lm_main;
    const char* encoder;
    const char* decoder;
    const char* text_conditioner;
    const char* vocab_json;
    const char* token_scores_json;
    int32_t voice_embedding_cache_capacity;
};

struct SherpaOnnxOfflineTtsSupertonicModelConfig {
    const char* duration_predictor;
    const char* text_encoder;
    const char* vector_estimator;
    const char* vocoder;
    const char* tts_json;
    const char* unicode_indexer;
    const char* voice_style;
};

struct SherpaOnnxOfflineTtsModelConfig {
    SherpaOnnxOfflineTtsVitsModelConfig vits;
    int32_t num_threads;
    int32_t debug;
    const char* provider;
    SherpaOnnxOfflineTtsMatchaModelConfig matcha;
    SherpaOnnxOfflineTtsKokoroModelConfig kokoro;
    SherpaOnnxOfflineTtsKittenModelConfig kitten;
    SherpaOnnxOfflineTtsZipvoiceModelConfig zipvoice;
    SherpaOnnxOfflineTtsPocketModelConfig pocket;
    SherpaOnnxOfflineTtsSupertonicModelConfig supertonic;
};

struct SherpaOnnxOfflineTtsConfig {
    SherpaOnnxOfflineTtsModelConfig model;
    const char* rule_fsts;
    int32_t max_num_sentences;
    const char* rule_fars;
    float silence_scale;
};

/// Mono samples allocated by the library; free only with
/// SherpaOnnxDestroyOfflineTtsGeneratedAudio. Never returned with `n` 0 (NULL instead).
struct SherpaOnnxGeneratedAudio {
    const float* samples;
    int32_t n;
    int32_t sample_rate;
};

/// Per-call settings of SherpaOnnxOfflineTtsGenerateWithConfig (0 fields take defaults:
/// silence_scale 0.2, speed 1.0, num_steps 5).
struct SherpaOnnxGenerationConfig {
    float silence_scale;
    float speed;
    int32_t sid;
    const float* reference_audio;
    int32_t reference_audio_len;
    int32_t reference_sample_rate;
    const char* reference_text;
    int32_t num_steps;
    const char* extra;
};

struct SherpaOnnxOfflineTts; // opaque

/// Called on the generating thread with audio generated so far; `samples` is valid only
/// during the call. Return 1 to continue, 0 to stop.
typedef int32_t (*SherpaOnnxGeneratedAudioProgressCallbackWithArg)(
    const float* samples, int32_t n, float progress, void* arg);

// ---------------------------------------------------------------------------------------
// Functions

/// NULL when validation fails (missing files, bad options). `config` must not be NULL.
/// May throw a C++ exception (bad model contents) or end the process; see the callers.
const SherpaOnnxOnlineRecognizer* SherpaOnnxCreateOnlineRecognizer(
    const SherpaOnnxOnlineRecognizerConfig* config);
void SherpaOnnxDestroyOnlineRecognizer(const SherpaOnnxOnlineRecognizer* recognizer);

const SherpaOnnxOnlineStream* SherpaOnnxCreateOnlineStream(const SherpaOnnxOnlineRecognizer* recognizer);
void SherpaOnnxDestroyOnlineStream(const SherpaOnnxOnlineStream* stream);

/// Resamples to the model rate; the first rate other than the model's is fixed for the
/// life of the stream (another rate later ends the process). Never pass a rate <= 0.
void SherpaOnnxOnlineStreamAcceptWaveform(
    const SherpaOnnxOnlineStream* stream, int32_t sample_rate, const float* samples, int32_t n);
int32_t SherpaOnnxIsOnlineStreamReady(
    const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream);
void SherpaOnnxDecodeOnlineStream(
    const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream);
/// A new object on every call; release with SherpaOnnxDestroyOnlineRecognizerResult.
const SherpaOnnxOnlineRecognizerResult* SherpaOnnxGetOnlineStreamResult(
    const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream);
void SherpaOnnxDestroyOnlineRecognizerResult(const SherpaOnnxOnlineRecognizerResult* result);
int32_t SherpaOnnxOnlineStreamIsEndpoint(
    const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream);
void SherpaOnnxOnlineStreamReset(
    const SherpaOnnxOnlineRecognizer* recognizer, const SherpaOnnxOnlineStream* stream);
void SherpaOnnxOnlineStreamInputFinished(const SherpaOnnxOnlineStream* stream);

/// NULL when validation fails. `config` must not be NULL. May throw or end the process.
const SherpaOnnxOfflineTts* SherpaOnnxCreateOfflineTts(const SherpaOnnxOfflineTtsConfig* config);
void SherpaOnnxDestroyOfflineTts(const SherpaOnnxOfflineTts* tts);
/// NULL for NULL tts/text, speed <= 0, or no samples. Release with
/// SherpaOnnxDestroyOfflineTtsGeneratedAudio. May throw (bad tokens, unknown espeak voice).
const SherpaOnnxGeneratedAudio* SherpaOnnxOfflineTtsGenerate(
    const SherpaOnnxOfflineTts* tts, const char* text, int32_t sid, float speed);
/// As SherpaOnnxOfflineTtsGenerate with per-call settings; `callback` may be NULL.
const SherpaOnnxGeneratedAudio* SherpaOnnxOfflineTtsGenerateWithConfig(const SherpaOnnxOfflineTts* tts,
    const char* text, const SherpaOnnxGenerationConfig* config,
    SherpaOnnxGeneratedAudioProgressCallbackWithArg callback, void* arg);
void SherpaOnnxDestroyOfflineTtsGeneratedAudio(const SherpaOnnxGeneratedAudio* audio);
/// Not NULL-safe.
int32_t SherpaOnnxOfflineTtsSampleRate(const SherpaOnnxOfflineTts* tts);
/// Not NULL-safe.
int32_t SherpaOnnxOfflineTtsNumSpeakers(const SherpaOnnxOfflineTts* tts);

/// Static strings owned by the library.
const char* SherpaOnnxGetVersionStr(void);
const char* SherpaOnnxGetGitSha1(void);

} // extern "C"

// ---------------------------------------------------------------------------------------
// Layout pins (sherpa-onnx 1.13.4, x86-64). A failure here means the declarations above
// no longer match the library's ABI.

#define OMBRIX_SHERPA_LAYOUT(type, size) static_assert(sizeof(type) == (size), #type " size")
#define OMBRIX_SHERPA_OFFSET(type, field, offset)                                                            \
    static_assert(offsetof(type, field) == (offset), #type "." #field " offset")

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineTransducerModelConfig, 24);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineTransducerModelConfig, joiner, 16);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineParaformerModelConfig, 16);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineZipformer2CtcModelConfig, 8);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineNemoCtcModelConfig, 8);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineToneCtcModelConfig, 8);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineModelConfig, 136);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, transducer, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, paraformer, 24);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, zipformer2_ctc, 40);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, tokens, 48);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, num_threads, 56);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, provider, 64);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, debug, 72);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, model_type, 80);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, modeling_unit, 88);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, bpe_vocab, 96);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, tokens_buf, 104);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, tokens_buf_size, 112);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, nemo_ctc, 120);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineModelConfig, t_one_ctc, 128);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxFeatureConfig, 8);
OMBRIX_SHERPA_OFFSET(SherpaOnnxFeatureConfig, sample_rate, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxFeatureConfig, feature_dim, 4);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineCtcFstDecoderConfig, 16);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineCtcFstDecoderConfig, graph, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineCtcFstDecoderConfig, max_active, 8);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxHomophoneReplacerConfig, 24);
OMBRIX_SHERPA_OFFSET(SherpaOnnxHomophoneReplacerConfig, rule_fsts, 16);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineRecognizerConfig, 272);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, feat_config, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, model_config, 8);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, decoding_method, 144);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, max_active_paths, 152);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, enable_endpoint, 156);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, rule1_min_trailing_silence, 160);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, rule2_min_trailing_silence, 164);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, rule3_min_utterance_length, 168);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, hotwords_file, 176);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, hotwords_score, 184);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, ctc_fst_decoder_config, 192);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, rule_fsts, 208);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, rule_fars, 216);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, blank_penalty, 224);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, hotwords_buf, 232);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, hotwords_buf_size, 240);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerConfig, hr, 248);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOnlineRecognizerResult, 48);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerResult, text, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerResult, tokens, 8);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerResult, tokens_arr, 16);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerResult, timestamps, 24);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerResult, count, 32);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOnlineRecognizerResult, json, 40);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsVitsModelConfig, 56);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, model, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, lexicon, 8);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, tokens, 16);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, data_dir, 24);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, noise_scale, 32);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, noise_scale_w, 36);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, length_scale, 40);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsVitsModelConfig, dict_dir, 48);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsMatchaModelConfig, 56);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsMatchaModelConfig, noise_scale, 40);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsMatchaModelConfig, dict_dir, 48);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsKokoroModelConfig, 64);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsKokoroModelConfig, length_scale, 32);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsKokoroModelConfig, lang, 56);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsKittenModelConfig, 40);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsKittenModelConfig, length_scale, 32);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsZipvoiceModelConfig, 64);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsZipvoiceModelConfig, feat_scale, 48);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsZipvoiceModelConfig, guidance_scale, 60);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsPocketModelConfig, 64);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsPocketModelConfig, voice_embedding_cache_capacity, 56);
OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsSupertonicModelConfig, 56);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsSupertonicModelConfig, voice_style, 48);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsModelConfig, 416);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, vits, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, num_threads, 56);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, debug, 60);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, provider, 64);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, matcha, 72);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, kokoro, 128);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, kitten, 192);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, zipvoice, 232);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, pocket, 296);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsModelConfig, supertonic, 360);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxOfflineTtsConfig, 448);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsConfig, model, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsConfig, rule_fsts, 416);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsConfig, max_num_sentences, 424);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsConfig, rule_fars, 432);
OMBRIX_SHERPA_OFFSET(SherpaOnnxOfflineTtsConfig, silence_scale, 440);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxGeneratedAudio, 16);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGeneratedAudio, samples, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGeneratedAudio, n, 8);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGeneratedAudio, sample_rate, 12);

OMBRIX_SHERPA_LAYOUT(SherpaOnnxGenerationConfig, 56);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, silence_scale, 0);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, speed, 4);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, sid, 8);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, reference_audio, 16);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, reference_audio_len, 24);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, reference_sample_rate, 28);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, reference_text, 32);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, num_steps, 40);
OMBRIX_SHERPA_OFFSET(SherpaOnnxGenerationConfig, extra, 48);

#undef OMBRIX_SHERPA_LAYOUT
#undef OMBRIX_SHERPA_OFFSET
