#include "tools/ombrix-sherpa-check/GraphCheck.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fst/const-fst.h>
#include <fst/fst.h>
#include <fst/symbol-table.h>
#include <fst/vector-fst.h>
#include <fst/verify.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <memory>
#include <new>
#include <streambuf>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa {

namespace {

using Arc = fst::StdArc;
using Graph = fst::Fst<Arc>;

// OpenFst's binary layouts, as its readers take them from the stream.
constexpr int32_t kFstMagicNumber = 0x7eb2fdd6;
constexpr std::size_t kWeightBytes = sizeof(float); // a tropical weight
constexpr std::size_t kArcBytes = 3 * sizeof(int32_t) + kWeightBytes; // ilabel olabel weight nextstate
/// A vector graph's state: its final weight and its arc count, then its arcs.
constexpr std::size_t kVectorStateBytes = kWeightBytes + sizeof(int64_t);
/// A const graph's state: final weight, first arc, arc count, input and output epsilons.
constexpr std::size_t kConstStateBytes = kWeightBytes + 4 * sizeof(uint32_t);
constexpr std::size_t kConstArcPositionOffset = kWeightBytes;
constexpr std::size_t kConstArcCountOffset = kWeightBytes + sizeof(uint32_t);
constexpr std::size_t kConstAlignment = fst::MappedFile::kArchAlignment;
constexpr int32_t kConstAlignedVersion = 1;
/// Longest type name accepted in the header ("vector", "const", "standard", ...):
/// OpenFst reads these strings a byte at a time for as long as the length says.
constexpr int32_t kMaxHeaderStringLength = 256;
/// Token ids below this get a lookup table; rarer, larger ones are looked up in the set.
constexpr int64_t kMaxTokenTableSize = int64_t{1} << 24;

std::string at(const std::string& path, const std::string& what)
{
    return path + ": " + what;
}

std::string arcAt(const std::string& path, int64_t state, std::size_t arc, const std::string& what)
{
    return at(path, "arc " + std::to_string(arc) + " of state " + std::to_string(state) + " " + what);
}

std::string damaged(const std::string& path, const std::string& what)
{
    return at(path, "the OpenFst graph is damaged: " + what);
}

/// The graph file, mapped read-only for the life of the check.
class MappedGraphFile {
public:
    MappedGraphFile() = default;
    MappedGraphFile(const MappedGraphFile&) = delete;
    MappedGraphFile& operator=(const MappedGraphFile&) = delete;
    ~MappedGraphFile()
    {
        if (mapping != MAP_FAILED) {
            ::munmap(mapping, bytes);
        }
    }

    /// "" when mapped; otherwise the problem. Never blocks on a FIFO or device.
    std::string open(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            return at(path, std::string("cannot be opened (") + std::strerror(errno) + ")");
        }
        struct stat status { };
        std::string problem;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            problem = at(path, "is not a regular file");
        } else if (status.st_size == 0) {
            problem = at(path, "is empty");
        } else {
            bytes = static_cast<std::size_t>(status.st_size);
            mapping = ::mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
            if (mapping == MAP_FAILED) {
                problem = at(path, std::string("cannot be read (") + std::strerror(errno) + ")");
            }
        }
        ::close(fd);
        return problem;
    }

    const char* data() const { return static_cast<const char*>(mapping); }
    std::size_t size() const { return bytes; }

private:
    void* mapping = MAP_FAILED;
    std::size_t bytes = 0;
};

/// An input stream buffer over the mapped file, with positions (OpenFst's const reader
/// asks for them to align). The buffer is never written through.
class MemoryBuffer : public std::streambuf {
public:
    MemoryBuffer(const char* begin, std::size_t size)
    {
        char* const start = const_cast<char*>(begin);
        setg(start, start, start + size);
    }

protected:
    pos_type seekoff(
        off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override
    {
        if ((which & std::ios_base::in) == 0) {
            return pos_type(off_type(-1));
        }
        char* const base = direction == std::ios_base::beg ? eback()
            : direction == std::ios_base::cur              ? gptr()
                                                           : egptr();
        if (offset < eback() - base || offset > egptr() - base) {
            return pos_type(off_type(-1));
        }
        setg(eback(), base + offset, egptr());
        return pos_type(gptr() - eback());
    }

    pos_type seekpos(pos_type position, std::ios_base::openmode which) override
    {
        return seekoff(off_type(position), std::ios_base::beg, which);
    }
};

template <typename T>
T readAt(const char* data, std::size_t offset)
{
    T value{};
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

std::size_t alignedUp(std::size_t offset)
{
    return (offset + kConstAlignment - 1) / kConstAlignment * kConstAlignment;
}

/// The magic number and the two type names, checked before OpenFst reads them.
std::string checkHeaderStart(const std::string& path, const char* data, std::size_t size)
{
    if (size < sizeof(int32_t) || readAt<int32_t>(data, 0) != kFstMagicNumber) {
        return at(path, "is not an OpenFst graph (no FST magic number)");
    }
    std::size_t offset = sizeof(int32_t);
    for (int name = 0; name < 2; ++name) {
        if (size - offset < sizeof(int32_t)) {
            return at(path, "has a damaged OpenFst header");
        }
        const int32_t length = readAt<int32_t>(data, offset);
        offset += sizeof(int32_t);
        if (length < 0 || length > kMaxHeaderStringLength
            || static_cast<std::size_t>(length) > size - offset) {
            return at(path, "has a damaged OpenFst header");
        }
        offset += static_cast<std::size_t>(length);
    }
    return {};
}

/// Proves that what the header and the states declare fits in the file, so that
/// OpenFst never allocates for more than the file holds, and that a const graph's arc
/// ranges lie inside its arc array (OpenFst takes them as they are). `offset` is where
/// the states begin.
std::string checkLayout(const std::string& path, const fst::FstHeader& header, const char* data,
    std::size_t size, std::size_t offset)
{
    const int64_t declaredStates = header.NumStates();
    if (header.FstType() == "vector") {
        if (declaredStates < fst::kNoStateId) {
            return damaged(path, "its header declares " + std::to_string(declaredStates) + " states");
        }
        if (declaredStates != fst::kNoStateId
            && static_cast<uint64_t>(declaredStates) > (size - offset) / kVectorStateBytes) {
            return damaged(path,
                "its header declares " + std::to_string(declaredStates) + " states, more than the "
                    + std::to_string(size - offset) + " bytes after it can hold");
        }
        for (int64_t state = 0; declaredStates == fst::kNoStateId || state < declaredStates; ++state) {
            if (size - offset < kWeightBytes && declaredStates == fst::kNoStateId) {
                break; // the end of a graph that does not say how many states it has
            }
            if (size - offset < kVectorStateBytes) {
                return damaged(path, "the file ends inside state " + std::to_string(state));
            }
            const int64_t arcs = readAt<int64_t>(data, offset + kWeightBytes);
            offset += kVectorStateBytes;
            if (arcs < 0 || static_cast<uint64_t>(arcs) > (size - offset) / kArcBytes) {
                return damaged(path,
                    "state " + std::to_string(state) + " declares " + std::to_string(arcs)
                        + " arcs, more than the rest of the file holds");
            }
            offset += static_cast<std::size_t>(arcs) * kArcBytes;
        }
        return {};
    }

    // const: the state array, then the arc array, each aligned in the aligned version.
    const int64_t declaredArcs = header.NumArcs();
    const bool aligned
        = (header.GetFlags() & fst::FstHeader::IS_ALIGNED) != 0 || header.Version() == kConstAlignedVersion;
    if (declaredStates < 0 || declaredArcs < 0) {
        return damaged(path,
            "its header declares " + std::to_string(declaredStates) + " states and "
                + std::to_string(declaredArcs) + " arcs");
    }
    offset = aligned ? alignedUp(offset) : offset;
    if (offset > size || static_cast<uint64_t>(declaredStates) > (size - offset) / kConstStateBytes) {
        return damaged(path,
            "its header declares " + std::to_string(declaredStates) + " states, more than the file can hold");
    }
    const std::size_t states = offset;
    offset += static_cast<std::size_t>(declaredStates) * kConstStateBytes;
    offset = aligned ? alignedUp(offset) : offset;
    if (offset > size || static_cast<uint64_t>(declaredArcs) > (size - offset) / kArcBytes) {
        return damaged(path,
            "its header declares " + std::to_string(declaredArcs) + " arcs, more than the file can hold");
    }
    for (int64_t state = 0; state < declaredStates; ++state) {
        const std::size_t record = states + static_cast<std::size_t>(state) * kConstStateBytes;
        const uint64_t first = readAt<uint32_t>(data, record + kConstArcPositionOffset);
        const uint64_t count = readAt<uint32_t>(data, record + kConstArcCountOffset);
        if (first + count > static_cast<uint64_t>(declaredArcs)) {
            return damaged(path,
                "state " + std::to_string(state) + " has its " + std::to_string(count) + " arcs from arc "
                    + std::to_string(first) + " on, beyond the graph's " + std::to_string(declaredArcs)
                    + " arcs");
        }
    }
    return {};
}

/// Token ids of tokens.txt, with a table for the common small ids.
class TokenIds {
public:
    explicit TokenIds(const std::set<int64_t>& ids)
        : ids(ids)
    {
        const int64_t largest = ids.empty() ? -1 : *ids.rbegin();
        table.assign(static_cast<std::size_t>(std::min(largest + 1, kMaxTokenTableSize)), false);
        for (const int64_t id : ids) {
            if (id >= 0 && id < static_cast<int64_t>(table.size())) {
                table[static_cast<std::size_t>(id)] = true;
            }
        }
    }

    bool contains(int64_t id) const
    {
        if (id >= 0 && id < static_cast<int64_t>(table.size())) {
            return table[static_cast<std::size_t>(id)];
        }
        return ids.count(id) != 0;
    }

private:
    const std::set<int64_t>& ids;
    std::vector<bool> table;
};

std::string weightText(const fst::TropicalWeight& weight)
{
    return std::to_string(weight.Value());
}

/// Edge relaxations that the search for a negative cycle may spend on one graph (a few
/// tenths of a second at most). A component of epsilon-input arcs that needs more is
/// refused: the decoder could not be shown to end on it.
constexpr int64_t kMaxRelaxations = int64_t{1} << 26;
/// Improvements smaller than this (relative to the distance, at least absolute) are
/// rounding, not a negative cycle: the decoder's float costs stop changing there too.
constexpr double kRelaxationTolerance = 1e-6;

/// The epsilon-input arcs of finite weight, grouped by their state (states are visited
/// in order), with their index among the state's arcs for messages.
struct EpsilonArcs {
    struct Arc {
        int32_t next;
        float weight;
        uint32_t index;
    };
    std::vector<std::size_t> first{0}; // arcs of state s: [first[s], first[s + 1])
    std::vector<Arc> arcs;
};

bool improves(double candidate, double current)
{
    return candidate < current - kRelaxationTolerance * std::max(1.0, std::fabs(current));
}

/// The strongly connected components of the epsilon-input subgraph (Tarjan's algorithm,
/// iterative): component[s] for every state, components numbered from 0; `count` says how
/// many states each has.
struct Components {
    std::vector<int32_t> component;
    std::vector<int32_t> count;
};

Components epsilonComponents(const EpsilonArcs& epsilon, int32_t states)
{
    constexpr int32_t kUnvisited = -1;
    Components result;
    result.component.assign(static_cast<std::size_t>(states), kUnvisited);
    std::vector<int32_t> order(static_cast<std::size_t>(states), kUnvisited); // discovery index
    std::vector<int32_t> low(static_cast<std::size_t>(states), 0);
    std::vector<int32_t> stack; // Tarjan's stack of states not yet in a component
    std::vector<std::pair<int32_t, std::size_t>> path; // the depth-first path: state, next arc
    int32_t discovered = 0;
    for (int32_t root = 0; root < states; ++root) {
        if (order[static_cast<std::size_t>(root)] != kUnvisited) {
            continue;
        }
        if (epsilon.first[static_cast<std::size_t>(root) + 1]
            == epsilon.first[static_cast<std::size_t>(root)]) {
            // No epsilon arc leaves it: a component of its own, on no cycle.
            order[static_cast<std::size_t>(root)] = discovered++;
            result.component[static_cast<std::size_t>(root)] = static_cast<int32_t>(result.count.size());
            result.count.push_back(1);
            continue;
        }
        const auto enter = [&](int32_t state) {
            order[static_cast<std::size_t>(state)] = low[static_cast<std::size_t>(state)] = discovered++;
            stack.push_back(state);
            path.emplace_back(state, epsilon.first[static_cast<std::size_t>(state)]);
        };
        enter(root);
        while (!path.empty()) {
            auto& [state, next] = path.back();
            const std::size_t s = static_cast<std::size_t>(state);
            if (next < epsilon.first[s + 1]) {
                const int32_t to = epsilon.arcs[next++].next;
                const std::size_t t = static_cast<std::size_t>(to);
                if (order[t] == kUnvisited) {
                    enter(to); // invalidates `state` and `next`
                } else if (result.component[t] == kUnvisited) {
                    low[s] = std::min(low[s], order[t]); // on the stack
                }
                continue;
            }
            const int32_t done = state;
            path.pop_back();
            if (!path.empty()) {
                const std::size_t parent = static_cast<std::size_t>(path.back().first);
                low[parent] = std::min(low[parent], low[static_cast<std::size_t>(done)]);
            }
            if (low[static_cast<std::size_t>(done)] == order[static_cast<std::size_t>(done)]) {
                const int32_t id = static_cast<int32_t>(result.count.size());
                int32_t size = 0;
                int32_t member = 0;
                do {
                    member = stack.back();
                    stack.pop_back();
                    result.component[static_cast<std::size_t>(member)] = id;
                    ++size;
                } while (member != done);
                result.count.push_back(size);
            }
        }
    }
    return result;
}

/// Proves that no cycle of epsilon-input arcs has a negative total weight: the decoder
/// follows epsilon arcs for as long as they lower a cost, so such a cycle never ends.
/// Cycles only exist inside strongly connected components; each non-trivial one gets a
/// Bellman-Ford search of its own (all distances start at 0, as from a source joined to
/// every state), which ends early once nothing improves.
std::string checkEpsilonCycles(const std::string& path, const EpsilonArcs& epsilon, int32_t states)
{
    if (epsilon.arcs.empty()) {
        return {};
    }
    // A negative self-loop needs no components.
    for (int32_t state = 0; state < states; ++state) {
        const std::size_t s = static_cast<std::size_t>(state);
        for (std::size_t arc = epsilon.first[s]; arc < epsilon.first[s + 1]; ++arc) {
            if (epsilon.arcs[arc].next == state && epsilon.arcs[arc].weight < 0.0F) {
                return arcAt(path, state, epsilon.arcs[arc].index,
                    "is an epsilon-input loop of the negative weight "
                        + std::to_string(epsilon.arcs[arc].weight)
                        + ", which the decoder would follow for ever");
            }
        }
    }
    const Components components = epsilonComponents(epsilon, states);
    std::vector<std::vector<int32_t>> members(components.count.size());
    bool anyCycle = false;
    for (int32_t state = 0; state < states; ++state) {
        const int32_t id = components.component[static_cast<std::size_t>(state)];
        if (components.count[static_cast<std::size_t>(id)] > 1) {
            members[static_cast<std::size_t>(id)].push_back(state);
            anyCycle = true;
        }
    }
    if (!anyCycle) {
        return {};
    }
    std::vector<double> distance(static_cast<std::size_t>(states), 0.0);
    int64_t budget = kMaxRelaxations;
    for (std::size_t id = 0; id < members.size(); ++id) {
        const std::vector<int32_t>& component = members[id];
        if (component.empty()) {
            continue;
        }
        // Rounds: after |component| - 1 rounds every shortest path is found unless a
        // negative cycle keeps lowering distances; one more round tells.
        bool changed = true;
        for (std::size_t round = 0; changed && round <= component.size(); ++round) {
            changed = false;
            for (const int32_t state : component) {
                const std::size_t s = static_cast<std::size_t>(state);
                for (std::size_t arc = epsilon.first[s]; arc < epsilon.first[s + 1]; ++arc) {
                    const EpsilonArcs::Arc& a = epsilon.arcs[arc];
                    const std::size_t t = static_cast<std::size_t>(a.next);
                    if (components.component[t] != static_cast<int32_t>(id)) {
                        continue;
                    }
                    if (--budget < 0) {
                        return at(path,
                            "the cycles of epsilon-input arcs among the " + std::to_string(component.size())
                                + " states from state " + std::to_string(component.front())
                                + " on are too large to prove free of a negative total weight (more than "
                                + std::to_string(kMaxRelaxations) + " steps)");
                    }
                    const double candidate = distance[s] + double{a.weight};
                    if (improves(candidate, distance[t])) {
                        distance[t] = candidate;
                        changed = true;
                        if (round == component.size()) {
                            return arcAt(path, state, a.index,
                                "lies among epsilon-input arcs that form a cycle of negative total weight, "
                                "which the "
                                "decoder would follow for ever");
                        }
                    }
                }
            }
        }
    }
    return {};
}

/// Proves that some final state is reachable from the start at finite weight; without
/// one, no path is ever complete and every decoding gives no text. Breadth first over
/// arcs of finite weight, ending at the first final state found.
std::string checkFinalReachable(const std::string& path, const Graph& graph, int32_t states)
{
    const fst::TropicalWeight zero = fst::TropicalWeight::Zero();
    std::vector<bool> seen(static_cast<std::size_t>(states), false);
    std::vector<int32_t> queue{static_cast<int32_t>(graph.Start())};
    seen[static_cast<std::size_t>(queue.front())] = true;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int32_t state = queue[head];
        if (graph.Final(state) != zero) {
            return {};
        }
        for (fst::ArcIterator<Graph> arcs(graph, state); !arcs.Done(); arcs.Next()) {
            const Arc& arc = arcs.Value();
            if (arc.weight != zero && !seen[static_cast<std::size_t>(arc.nextstate)]) {
                seen[static_cast<std::size_t>(arc.nextstate)] = true;
                queue.push_back(arc.nextstate);
            }
        }
    }
    return at(path,
        "no final state can be reached from the start state " + std::to_string(graph.Start())
            + " at finite weight (" + std::to_string(queue.size())
            + " states reachable), so decoding it never gives a text");
}

/// Every state and arc of the graph as OpenFst holds it.
std::string checkStatesAndArcs(const std::string& path, const Graph& graph, const TokenIds& tokens,
    const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath)
{
    const int64_t states = fst::CountStates(graph);
    const int64_t start = graph.Start();
    if (states == 0) {
        return at(path, "the graph is empty (it has no states)");
    }
    if (start == fst::kNoStateId) {
        return at(path, "the graph has no start state");
    }
    if (start < 0 || start >= states) {
        return at(path,
            "the start state " + std::to_string(start) + " is not one of the graph's "
                + std::to_string(states) + " states");
    }
    if (states > std::numeric_limits<int32_t>::max()) {
        return at(
            path, "the graph has " + std::to_string(states) + " states, more than OpenFst's state ids reach");
    }
    EpsilonArcs epsilon;
    epsilon.first.reserve(static_cast<std::size_t>(states) + 1);
    const fst::TropicalWeight zero = fst::TropicalWeight::Zero();
    for (fst::StateIterator<Graph> stateIterator(graph); !stateIterator.Done(); stateIterator.Next()) {
        const int64_t state = stateIterator.Value();
        if (state != static_cast<int64_t>(epsilon.first.size()) - 1) {
            return at(path, "the graph's states are not numbered in order"); // vector and const always are
        }
        if (!graph.Final(state).Member()) {
            return at(path,
                "state " + std::to_string(state) + " has the final weight " + weightText(graph.Final(state))
                    + ", which is not a tropical weight");
        }
        std::size_t index = 0;
        for (fst::ArcIterator<Graph> arcs(graph, state); !arcs.Done(); arcs.Next(), ++index) {
            const Arc& arc = arcs.Value();
            if (arc.nextstate < 0 || arc.nextstate >= states) {
                return arcAt(path, state, index,
                    "leads to state " + std::to_string(arc.nextstate) + ", which the graph (of "
                        + std::to_string(states) + " states) does not have");
            }
            if (!arc.weight.Member()) {
                return arcAt(path, state, index,
                    "has the weight " + weightText(arc.weight) + ", which is not a tropical weight");
            }
            if (arc.olabel < 0) {
                return arcAt(
                    path, state, index, "has the negative output label " + std::to_string(arc.olabel));
            }
            if (arc.ilabel == 0) {
                if (arc.weight != zero) {
                    epsilon.arcs.push_back({static_cast<int32_t>(arc.nextstate), arc.weight.Value(),
                        static_cast<uint32_t>(index)});
                }
                continue; // epsilon
            }
            const int64_t token = int64_t{arc.ilabel} - 1;
            if (arc.ilabel < 0 || !tokens.contains(token)) {
                return arcAt(path, state, index,
                    "has the input label " + std::to_string(arc.ilabel) + ", which stands for token id "
                        + std::to_string(token) + ", which " + tokensPath + " does not define");
            }
            if (outputSize && token >= *outputSize) {
                return arcAt(path, state, index,
                    "has the input label " + std::to_string(arc.ilabel) + ", which stands for token id "
                        + std::to_string(token) + ", beyond the " + std::to_string(*outputSize)
                        + " outputs of " + modelPath);
            }
        }
        epsilon.first.push_back(epsilon.arcs.size());
    }
    if (std::string problem = checkEpsilonCycles(path, epsilon, static_cast<int32_t>(states));
        !problem.empty()) {
        return problem;
    }
    return checkFinalReachable(path, graph, static_cast<int32_t>(states));
}

/// Reads and checks the mapped graph; on success leaves it in `graph`.
std::string checkMappedGraph(const std::string& path, const char* data, std::size_t size,
    const std::set<int64_t>& tokenIds, const std::string& tokensPath, std::optional<int64_t> outputSize,
    const std::string& modelPath, std::unique_ptr<Graph>& graph)
{
    if (std::string problem = checkHeaderStart(path, data, size); !problem.empty()) {
        return problem;
    }
    MemoryBuffer buffer(data, size);
    std::istream in(&buffer);
    fst::FstHeader header;
    if (!header.Read(in, path)) {
        return at(path, "has a damaged OpenFst header");
    }
    const std::streampos afterHeader = in.tellg();
    if (header.ArcType() != Arc::Type()) {
        return at(path,
            "is an OpenFst graph with '" + header.ArcType()
                + "' arcs; only standard (tropical) arcs can be read");
    }
    if (header.FstType() != "vector" && header.FstType() != "const") {
        return at(path,
            "is an OpenFst graph of type '" + header.FstType() + "'; only vector and const can be read");
    }
    // Symbol tables (rare in decoding graphs) sit between the header and the states.
    for (const uint32_t table : {fst::FstHeader::HAS_ISYMBOLS, fst::FstHeader::HAS_OSYMBOLS}) {
        if ((header.GetFlags() & table) != 0
            && !std::unique_ptr<fst::SymbolTable>(fst::SymbolTable::Read(in, path))) {
            return damaged(path, "a symbol table after its header cannot be read");
        }
    }
    const std::streampos statesBegin = in.tellg();
    if (statesBegin < 0) {
        return damaged(path, "it ends inside its header");
    }
    if (std::string problem = checkLayout(path, header, data, size, static_cast<std::size_t>(statesBegin));
        !problem.empty()) {
        return problem;
    }

    in.clear();
    in.seekg(afterHeader);
    const fst::FstReadOptions options(path, &header);
    graph.reset(Graph::Read(in, options));
    if (!graph) {
        return at(path, "the OpenFst graph is damaged and cannot be read");
    }
    const TokenIds tokens(tokenIds);
    return checkStatesAndArcs(path, *graph, tokens, tokensPath, outputSize, modelPath);
}

} // namespace

struct GraphCheck::State {
    std::string path;
    std::unique_ptr<Graph> graph;
    std::thread verification;
    bool verifiedGood = false;
};

GraphCheck::GraphCheck()
    : state(std::make_unique<State>())
{
}

GraphCheck::~GraphCheck()
{
    if (state->verification.joinable()) {
        state->verification.join();
    }
}

std::string GraphCheck::check(const std::string& graphPath, const std::set<int64_t>& tokenIds,
    const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath)
{
    state->path = graphPath;
    std::string problem;
    {
        MappedGraphFile file;
        problem = file.open(graphPath);
        if (!problem.empty()) {
            return problem;
        }
        try {
            problem = checkMappedGraph(graphPath, file.data(), file.size(), tokenIds, tokensPath, outputSize,
                modelPath, state->graph);
        } catch (const std::bad_alloc&) {
            problem = at(graphPath, "reading the OpenFst graph needs more memory than this process can have");
        } catch (const std::exception& e) {
            problem = at(graphPath, std::string("the OpenFst graph cannot be read: ") + e.what());
        }
    }
    if (!problem.empty()) {
        state->graph.reset();
        return problem;
    }
    // Only reads the graph, which nothing else touches until the join.
    State& checked = *state;
    try {
        checked.verification
            = std::thread([&checked] { checked.verifiedGood = fst::Verify(*checked.graph); });
    } catch (const std::system_error&) {
        checked.verifiedGood = fst::Verify(*checked.graph); // no thread to be had: here and now
    }
    return {};
}

std::string GraphCheck::verified()
{
    if (!state->graph) {
        return at(state->path, "the graph was not checked");
    }
    if (state->verification.joinable()) {
        state->verification.join();
    }
    state->graph.reset();
    if (!state->verifiedGood) {
        return at(state->path,
            "the graph fails OpenFst's verification (its stored properties or symbol tables do not match its "
            "states and arcs)");
    }
    return {};
}

} // namespace ombrix::extensions::sherpa
