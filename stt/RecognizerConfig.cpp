#include "stt/RecognizerConfig.h"

namespace ombrix::extensions::sherpa {

namespace {

// A zero feature rate means the model's own rate (16000 Hz): sherpa-onnx resamples
// whatever rate it is fed to that.
constexpr int32_t kFeatureSampleRate = 0;
constexpr int32_t kFeatureDimension = 80;
constexpr int32_t kRecognizerThreads = 4;
constexpr const char* kRecognizerProvider = "cpu";
constexpr int32_t kEndpointDetection = 0;

} // namespace

SherpaOnnxOnlineRecognizerConfig speechToTextRecognizerConfig(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath)
{
    // Every field not set here stays zero / null: the library's defaults, or "not used".
    SherpaOnnxOnlineRecognizerConfig config{};
    config.feat_config.sample_rate = kFeatureSampleRate;
    config.feat_config.feature_dim = kFeatureDimension;
    config.model_config.zipformer2_ctc.model = modelPath.c_str();
    config.model_config.tokens = tokensPath.c_str();
    config.model_config.num_threads = kRecognizerThreads;
    config.model_config.provider = kRecognizerProvider;
    config.enable_endpoint = kEndpointDetection;
    config.ctc_fst_decoder_config.graph = graphPath.c_str();
    return config;
}

} // namespace ombrix::extensions::sherpa
