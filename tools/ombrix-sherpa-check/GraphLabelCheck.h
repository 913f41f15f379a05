#pragma once

// The decoding-graph check of ombrix-sherpa-check, kept in a unit of its own because
// Debian's OpenFst 1.7.9 headers only compile as C++17 (they use std::allocator::rebind,
// which C++20 removed). This header is plain C++17.

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace ombrix::extensions::sherpa {

/**
 * Reads `graphPath` with OpenFst as sherpa-onnx does (vector or const FST, standard arcs)
 * and checks every input label: label = token id + 1 (0 is epsilon), and each token id
 * must be one of `tokenIds` (read from `tokensPath`) and, when `outputSize` is known, be
 * below the number of outputs of the model at `modelPath`. The paths only name the files
 * in the message. Returns "" when every label is usable, otherwise one line starting with
 * the path of the graph.
 */
std::string checkGraphLabels(const std::string& graphPath, const std::set<int64_t>& tokenIds,
    const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath);

} // namespace ombrix::extensions::sherpa
