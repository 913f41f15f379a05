#pragma once

// The structural check of a recogniser's decoding graph (HLG), read from its bytes as
// OpenFst lays them out, without OpenFst: the plug-in runs it in its own process before
// anything else reads the graph, and the model checker runs it before OpenFst reads the
// graph there. Plain C++17 (the checker's OpenFst unit includes it).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace ombrix::extensions::sherpa {

/// What a graph's input labels are judged against: label - 1 must be a token id of
/// `tokenIds` (read from `tokensPath`) and, when `outputSize` is known, below the number
/// of outputs of the model at `modelPath`. The paths only name files in messages.
struct GraphLabelLimits {
    const std::set<int64_t>& tokenIds;
    std::string tokensPath;
    std::optional<int64_t> outputSize;
    std::string modelPath;
};

/**
 * Proves that sherpa-onnx can read the decoding graph in `data` (the whole file, `size`
 * bytes; standard-arc vector or const FST, as OpenFst 1.7.9 writes them) and walk every
 * path of it, and that decoding it ends and can give a text:
 *  - the header (magic number, types, version) and any symbol tables after it;
 *  - the layout: the states and arcs the header and each state declare fit in the file
 *    (so that no reader allocates for more than the file holds), and a const graph's
 *    per-state arc ranges lie inside its arc array;
 *  - a start state among the states; every next state in range; every weight (arcs and
 *    final weights) a tropical weight (no NaN, no negative infinity); output labels not
 *    negative; input labels 0 (epsilon) or a token as GraphLabelLimits says;
 *  - no cycle of epsilon-input arcs of negative total weight (the decoder would follow
 *    it for ever): strongly connected components of the epsilon-input arcs (linear),
 *    then a Bellman-Ford search inside each non-trivial one, at most kMaxRelaxations
 *    steps for the whole graph; a component that needs more is refused, saying so;
 *  - a final state reachable from the start at finite weight.
 * Memory: proportional to the states and the epsilon-input arcs, both bounded by the
 * file size (every count is proven to fit in the file before anything is allocated for
 * it); the arcs are read where they lie. Returns "" when the graph is usable, otherwise
 * one line starting with `path` naming the first fault (state and arc where there is
 * one). Never throws for bad contents; thread-safe.
 */
std::string checkDecodingGraphBytes(
    const std::string& path, const uint8_t* data, std::size_t size, const GraphLabelLimits& labels);

/// checkDecodingGraphBytes on the file at `path`, mapped read-only (refused without
/// opening when it is not a regular file).
std::string checkDecodingGraphFile(const std::string& path, const GraphLabelLimits& labels);

/// checkDecodingGraphBytes on the file open at `fd` (which stays open), named `path`.
std::string checkDecodingGraphDescriptor(const std::string& path, int fd, const GraphLabelLimits& labels);

} // namespace ombrix::extensions::sherpa
