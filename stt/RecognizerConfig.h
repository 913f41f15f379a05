#pragma once

#include <string>

#include "utils/SherpaOnnxCApi.h"

namespace ombrix::extensions::sherpa {

/**
 * The streaming recogniser configuration of the speech-to-text node, for a Zipformer2 CTC
 * model with its tokens and HLG decoding graph: feature dimension 80 at the model's own
 * rate, 4 threads on the CPU, no endpoint detection, the graph decoder; every other field
 * zero or null (the library's defaults). The model checker loads files with exactly this
 * record, so that what it proves is what the node will load.
 *
 * The record points at the character data of the three strings, which must outlive every
 * use of it (the library only reads them during creation). No allocation, no lock.
 */
SherpaOnnxOnlineRecognizerConfig speechToTextRecognizerConfig(
    const std::string& modelPath, const std::string& tokensPath, const std::string& graphPath);

} // namespace ombrix::extensions::sherpa
