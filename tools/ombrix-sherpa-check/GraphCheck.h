#pragma once

// The decoding-graph check of ombrix-sherpa-check, kept in a unit of its own because
// Debian's OpenFst 1.7.9 headers only compile as C++17 (they use std::allocator::rebind,
// which C++20 removed). This header is plain C++17.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace ombrix::extensions::sherpa {

/**
 * Proves that sherpa-onnx can walk every path of a decoding graph without reading memory
 * it does not own, and that decoding it ends. The library reads the graph with OpenFst
 * (vector or const FST, standard arcs) and then trusts it completely: a next state beyond
 * the graph, a label beyond the model's outputs or a token missing from tokens.txt only
 * does harm once decoding reaches that arc, which a check that decodes noise would
 * rarely show.
 *
 * check() first runs the structural check of models/DecodingGraphCheck.h on the mapped
 * file (the same one the plug-in runs in its own process: layout, every state and arc,
 * negative epsilon-input cycles, a reachable final state), then reads the graph with
 * OpenFst, which that check has proven to fit the file, and starts fst::Verify on it in a
 * thread of its own, which verified() waits for. Verify adds the comparison of the
 * properties stored in the header with the graph's real ones: nothing the library uses
 * depends on them, and recomputing them costs as much as loading the graph, so the
 * caller may let the library load meanwhile and only give its verdict after verified().
 *
 * Costs one pass over the file's states and arcs, memory for the graph as OpenFst holds
 * it (until this object goes), and the verification thread; messages are only built for
 * a fault. Both calls return "" when the graph is usable, otherwise one line starting
 * with `graphPath` that names the first fault. The other paths only name files in the
 * message. Not thread-safe; the destructor waits for the verification.
 */
class GraphCheck {
public:
    GraphCheck();
    ~GraphCheck();
    GraphCheck(const GraphCheck&) = delete;
    GraphCheck& operator=(const GraphCheck&) = delete;

    /// Without `checkStructure` (the caller's process has run that same check on this
    /// file), only the OpenFst read and the verification.
    std::string check(const std::string& graphPath, const std::set<int64_t>& tokenIds,
        const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath,
        bool checkStructure = true);
    std::string verified();

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace ombrix::extensions::sherpa
