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
 * it does not own. The library reads the graph with OpenFst (vector or const FST,
 * standard arcs) and then trusts it completely: a next state beyond the graph, a label
 * beyond the model's outputs or a token missing from tokens.txt only does harm once
 * decoding reaches that arc, which a check that decodes silence would never show.
 *
 * check() looks at every state and arc:
 *  - the file's layout: the states and arcs the header and each state declare must fit
 *    in the file (before OpenFst allocates for them), and a const graph's per-state arc
 *    ranges must lie inside its arc array;
 *  - the graph as OpenFst reads it: standard (tropical) arcs, a start state among its
 *    states, every next state in range, every weight (arcs and final weights) a member
 *    of the tropical semiring (no NaN, no negative infinity), output labels (word ids)
 *    not negative, input labels not negative and, when not 0 (epsilon), label - 1 a
 *    token id that `tokenIds` (read from `tokensPath`) holds and, when `outputSize` is
 *    known, below the number of outputs of the model at `modelPath`.
 * It then starts fst::Verify on the graph in a thread of its own, which verified()
 * waits for. Verify adds the comparison of the properties stored in the header with
 * the graph's real ones (it also repeats the checks above): nothing the library uses
 * depends on them, and recomputing them costs as much as loading the graph, so the
 * caller may let the library load meanwhile and only give its verdict after verified().
 *
 * The file is mapped and read once. Costs one pass over the file and one over the arcs,
 * memory for the graph as OpenFst holds it (until this object goes), and the
 * verification thread; messages are only built for a fault. Both calls return "" when
 * the graph is usable, otherwise one line starting with `graphPath` that names the
 * first fault (state and arc where there is one). The other paths only name files in
 * the message. Not thread-safe; the destructor waits for the verification.
 */
class GraphCheck {
public:
    GraphCheck();
    ~GraphCheck();
    GraphCheck(const GraphCheck&) = delete;
    GraphCheck& operator=(const GraphCheck&) = delete;

    std::string check(const std::string& graphPath, const std::set<int64_t>& tokenIds,
        const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath);
    std::string verified();

private:
    struct State;
    std::unique_ptr<State> state;
};

} // namespace ombrix::extensions::sherpa
