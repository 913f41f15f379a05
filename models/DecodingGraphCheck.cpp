// The decoding graph (HLG) read from its bytes, as OpenFst 1.7.9 lays out a standard-arc
// vector or const FST (fst/vector-fst.h, fst/const-fst.h): every state and arc, and the
// proofs that decoding it ends and can give a text (declared in DecodingGraphCheck.h).

#include "models/DecodingGraphCheck.h"

#include "models/ModelFileAccess.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa {

using model_files::atPath;

namespace {

// OpenFst's binary layouts, as its readers take them from the stream.
constexpr int32_t kFstMagicNumber = 0x7eb2fdd6;
constexpr int32_t kSymbolTableMagicNumber = 2125658996;
constexpr uint32_t kHasInputSymbols = 0x1;
constexpr uint32_t kHasOutputSymbols = 0x2;
constexpr uint32_t kIsAligned = 0x4;
/// The oldest versions OpenFst reads: vector 2, const 1 (1 is the aligned layout).
constexpr int32_t kMinVectorVersion = 2;
constexpr int32_t kMinConstVersion = 1;
constexpr int32_t kConstAlignedVersion = 1;
constexpr int64_t kNoStateId = -1;
constexpr std::size_t kWeightBytes = sizeof(float); // a tropical weight
constexpr std::size_t kArcBytes = 3 * sizeof(int32_t) + kWeightBytes; // ilabel olabel weight nextstate
/// A vector graph's state: its final weight and its arc count, then its arcs.
constexpr std::size_t kVectorStateBytes = kWeightBytes + sizeof(int64_t);
/// A const graph's state: final weight, first arc, arc count, input and output epsilons.
constexpr std::size_t kConstStateBytes = kWeightBytes + 4 * sizeof(uint32_t);
constexpr std::size_t kConstArcPositionOffset = kWeightBytes;
constexpr std::size_t kConstArcCountOffset = kWeightBytes + sizeof(uint32_t);
constexpr std::size_t kConstAlignment = 16; // OpenFst's MappedFile::kArchAlignment
/// Longest type name accepted in the header ("vector", "const", "standard", ...):
/// OpenFst reads these strings a byte at a time for as long as the length says.
constexpr int32_t kMaxHeaderStringLength = 256;
/// Token ids below this get a lookup table; rarer, larger ones are looked up in the set.
constexpr int64_t kMaxTokenTableSize = int64_t{1} << 24;

std::string arcAt(const std::string& path, int64_t state, std::size_t arc, const std::string& what)
{
    return atPath(path, "arc " + std::to_string(arc) + " of state " + std::to_string(state) + " " + what);
}

std::string damaged(const std::string& path, const std::string& what)
{
    return atPath(path, "the OpenFst graph is damaged: " + what);
}

template <typename T>
T readAt(const uint8_t* data, std::size_t offset)
{
    T value{};
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

std::size_t alignedUp(std::size_t offset)
{
    return (offset + kConstAlignment - 1) / kConstAlignment * kConstAlignment;
}

/// A reader of the file's fields in order, as OpenFst's ReadType takes them.
class FieldReader {
public:
    FieldReader(const uint8_t* data, std::size_t size)
        : data(data)
        , size(size)
    {
    }

    template <typename T>
    bool read(T& value)
    {
        if (size - offset < sizeof value) {
            return false;
        }
        value = readAt<T>(data, offset);
        offset += sizeof value;
        return true;
    }

    /// A length-prefixed string; OpenFst appends a byte per count even past the end of
    /// the file, so a length beyond it (or beyond `maxLength`) is refused.
    bool readString(std::string* text, std::size_t maxLength)
    {
        int32_t length = 0;
        if (!read(length) || length < 0 || static_cast<std::size_t>(length) > maxLength
            || static_cast<std::size_t>(length) > size - offset) {
            return false;
        }
        if (text != nullptr) {
            text->assign(reinterpret_cast<const char*>(data + offset), static_cast<std::size_t>(length));
        }
        offset += static_cast<std::size_t>(length);
        return true;
    }

    std::size_t position() const { return offset; }
    std::size_t left() const { return size - offset; }

private:
    const uint8_t* data;
    std::size_t size;
    std::size_t offset = 0;
};

struct Header {
    std::string fstType;
    std::string arcType;
    int32_t version = 0;
    uint32_t flags = 0;
    int64_t start = kNoStateId;
    int64_t states = 0;
    int64_t arcs = 0;
};

/// One symbol table as OpenFst's SymbolTable::Read takes it, skipped: magic number,
/// name, available key, size, then size pairs of symbol and key.
bool skipSymbolTable(FieldReader& in)
{
    int32_t magic = 0;
    int64_t availableKey = 0;
    int64_t entries = 0;
    if (!in.read(magic) || magic != kSymbolTableMagicNumber || !in.readString(nullptr, in.left())
        || !in.read(availableKey) || !in.read(entries) || entries < 0
        || static_cast<uint64_t>(entries) > in.left() / (sizeof(int32_t) + sizeof(int64_t))) {
        return false;
    }
    for (int64_t entry = 0; entry < entries; ++entry) {
        int64_t key = 0;
        if (!in.readString(nullptr, in.left()) || !in.read(key)) {
            return false;
        }
    }
    return true;
}

/// The header and symbol tables; on success `in` is where the states begin.
std::string readHeader(const std::string& path, FieldReader& in, Header& header)
{
    int32_t magic = 0;
    if (!in.read(magic) || magic != kFstMagicNumber) {
        return atPath(path, "is not an OpenFst graph (no FST magic number)");
    }
    uint64_t properties = 0;
    if (!in.readString(&header.fstType, kMaxHeaderStringLength)
        || !in.readString(&header.arcType, kMaxHeaderStringLength) || !in.read(header.version)
        || !in.read(header.flags) || !in.read(properties) || !in.read(header.start) || !in.read(header.states)
        || !in.read(header.arcs)) {
        return atPath(path, "has a damaged OpenFst header");
    }
    if (header.arcType != "standard") {
        return atPath(path,
            "is an OpenFst graph with '" + header.arcType
                + "' arcs; only standard (tropical) arcs can be read");
    }
    const bool vector = header.fstType == "vector";
    if (!vector && header.fstType != "const") {
        return atPath(
            path, "is an OpenFst graph of type '" + header.fstType + "'; only vector and const can be read");
    }
    if (header.version < (vector ? kMinVectorVersion : kMinConstVersion)) {
        return damaged(path,
            "its header gives the " + header.fstType + " format version " + std::to_string(header.version)
                + ", older than OpenFst reads");
    }
    // Symbol tables (rare in decoding graphs) sit between the header and the states.
    for (const uint32_t table : {kHasInputSymbols, kHasOutputSymbols}) {
        if ((header.flags & table) != 0 && !skipSymbolTable(in)) {
            return damaged(path, "a symbol table after its header cannot be read");
        }
    }
    return {};
}

/// Where every state's record and arcs are, once the layout is proven to fit the file.
struct Layout {
    bool constGraph = false;
    int64_t states = 0;
    /// vector: where each state's record (final weight, arc count, arcs) begins.
    std::vector<std::size_t> stateAt;
    /// const: the state array and the arc array.
    std::size_t stateArray = 0;
    std::size_t arcArray = 0;

    float finalWeight(const uint8_t* data, int64_t state) const
    {
        const std::size_t s = static_cast<std::size_t>(state);
        return readAt<float>(data, constGraph ? stateArray + s * kConstStateBytes : stateAt[s]);
    }

    /// Where the arcs of `state` begin, and how many there are.
    std::pair<std::size_t, std::size_t> arcs(const uint8_t* data, int64_t state) const
    {
        const std::size_t s = static_cast<std::size_t>(state);
        if (constGraph) {
            const std::size_t record = stateArray + s * kConstStateBytes;
            return {
                arcArray + std::size_t{readAt<uint32_t>(data, record + kConstArcPositionOffset)} * kArcBytes,
                readAt<uint32_t>(data, record + kConstArcCountOffset)};
        }
        return {stateAt[s] + kVectorStateBytes,
            static_cast<std::size_t>(readAt<int64_t>(data, stateAt[s] + kWeightBytes))};
    }
};

/// Proves that what the header and the states declare fits in the file, and that a
/// const graph's arc ranges lie inside its arc array (OpenFst takes them as they are).
/// `offset` is where the states begin.
std::string readLayout(const std::string& path, const Header& header, const uint8_t* data, std::size_t size,
    std::size_t offset, Layout& layout)
{
    const int64_t declaredStates = header.states;
    if (header.fstType == "vector") {
        if (declaredStates < kNoStateId) {
            return damaged(path, "its header declares " + std::to_string(declaredStates) + " states");
        }
        if (declaredStates != kNoStateId
            && static_cast<uint64_t>(declaredStates) > (size - offset) / kVectorStateBytes) {
            return damaged(path,
                "its header declares " + std::to_string(declaredStates) + " states, more than the "
                    + std::to_string(size - offset) + " bytes after it can hold");
        }
        // Each state takes at least kVectorStateBytes, so this never exceeds the file.
        layout.stateAt.reserve(declaredStates == kNoStateId ? 0 : static_cast<std::size_t>(declaredStates));
        for (int64_t state = 0; declaredStates == kNoStateId || state < declaredStates; ++state) {
            if (size - offset < kWeightBytes && declaredStates == kNoStateId) {
                break; // the end of a graph that does not say how many states it has
            }
            if (size - offset < kVectorStateBytes) {
                return damaged(path, "the file ends inside state " + std::to_string(state));
            }
            const int64_t arcs = readAt<int64_t>(data, offset + kWeightBytes);
            layout.stateAt.push_back(offset);
            offset += kVectorStateBytes;
            if (arcs < 0 || static_cast<uint64_t>(arcs) > (size - offset) / kArcBytes) {
                return damaged(path,
                    "state " + std::to_string(state) + " declares " + std::to_string(arcs)
                        + " arcs, more than the rest of the file holds");
            }
            offset += static_cast<std::size_t>(arcs) * kArcBytes;
        }
        layout.states = static_cast<int64_t>(layout.stateAt.size());
        return {};
    }

    // const: the state array, then the arc array, each aligned in the aligned version.
    const int64_t declaredArcs = header.arcs;
    const bool aligned = (header.flags & kIsAligned) != 0 || header.version == kConstAlignedVersion;
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
    layout.constGraph = true;
    layout.states = declaredStates;
    layout.stateArray = offset;
    offset += static_cast<std::size_t>(declaredStates) * kConstStateBytes;
    offset = aligned ? alignedUp(offset) : offset;
    if (offset > size || static_cast<uint64_t>(declaredArcs) > (size - offset) / kArcBytes) {
        return damaged(path,
            "its header declares " + std::to_string(declaredArcs) + " arcs, more than the file can hold");
    }
    layout.arcArray = offset;
    for (int64_t state = 0; state < declaredStates; ++state) {
        const std::size_t record = layout.stateArray + static_cast<std::size_t>(state) * kConstStateBytes;
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
        table.assign(
            static_cast<std::size_t>(std::clamp<int64_t>(largest + 1, 0, kMaxTokenTableSize)), false);
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

struct ArcRecord {
    int32_t ilabel;
    int32_t olabel;
    float weight;
    int32_t nextstate;
};
static_assert(sizeof(ArcRecord) == kArcBytes);

ArcRecord arcRecordAt(const uint8_t* data, std::size_t offset)
{
    return readAt<ArcRecord>(data, offset);
}

constexpr float kZero = std::numeric_limits<float>::infinity(); // the tropical zero: no path

/// A member of the tropical semiring: not NaN, not negative infinity.
bool isTropical(float weight)
{
    return !std::isnan(weight) && weight != -std::numeric_limits<float>::infinity();
}

std::string weightText(float weight)
{
    return std::to_string(weight);
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
    // Only the components that hold a cycle get a list of their states (most graphs have
    // none, and one list per component would cost more than the components themselves).
    if (std::none_of(
            components.count.begin(), components.count.end(), [](int32_t size) { return size > 1; })) {
        return {};
    }
    std::vector<int32_t> slot(components.count.size(), -1);
    std::vector<std::pair<int32_t, std::vector<int32_t>>> cyclic; // component id, its states
    for (int32_t state = 0; state < states; ++state) {
        const int32_t id = components.component[static_cast<std::size_t>(state)];
        if (components.count[static_cast<std::size_t>(id)] > 1) {
            int32_t& at = slot[static_cast<std::size_t>(id)];
            if (at < 0) {
                at = static_cast<int32_t>(cyclic.size());
                cyclic.emplace_back(id, std::vector<int32_t>());
            }
            cyclic[static_cast<std::size_t>(at)].second.push_back(state);
        }
    }
    std::vector<double> distance(static_cast<std::size_t>(states), 0.0);
    int64_t budget = kMaxRelaxations;
    for (const auto& [id, component] : cyclic) {
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
                    if (components.component[t] != id) {
                        continue;
                    }
                    if (--budget < 0) {
                        return atPath(path,
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
std::string checkFinalReachable(
    const std::string& path, const uint8_t* data, const Layout& layout, int32_t start)
{
    std::vector<bool> seen(static_cast<std::size_t>(layout.states), false);
    std::vector<int32_t> queue{start};
    seen[static_cast<std::size_t>(start)] = true;
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const int32_t state = queue[head];
        if (layout.finalWeight(data, state) != kZero) {
            return {};
        }
        const auto [first, count] = layout.arcs(data, state);
        for (std::size_t arc = 0; arc < count; ++arc) {
            const ArcRecord record = arcRecordAt(data, first + arc * kArcBytes);
            if (record.weight != kZero && !seen[static_cast<std::size_t>(record.nextstate)]) {
                seen[static_cast<std::size_t>(record.nextstate)] = true;
                queue.push_back(record.nextstate);
            }
        }
    }
    return atPath(path,
        "no final state can be reached from the start state " + std::to_string(start) + " at finite weight ("
            + std::to_string(queue.size()) + " states reachable), so decoding it never gives a text");
}

/// Every state and arc, in one pass over the arcs where they lie.
std::string checkStatesAndArcs(const std::string& path, const uint8_t* data, const Layout& layout,
    int64_t start, const GraphLabelLimits& labels)
{
    const int64_t states = layout.states;
    if (states == 0) {
        return atPath(path, "the graph is empty (it has no states)");
    }
    if (start == kNoStateId) {
        return atPath(path, "the graph has no start state");
    }
    if (start < 0 || start >= states) {
        return atPath(path,
            "the start state " + std::to_string(start) + " is not one of the graph's "
                + std::to_string(states) + " states");
    }
    if (states > std::numeric_limits<int32_t>::max()) {
        return atPath(
            path, "the graph has " + std::to_string(states) + " states, more than OpenFst's state ids reach");
    }
    const TokenIds tokens(labels.tokenIds);
    EpsilonArcs epsilon;
    epsilon.first.reserve(static_cast<std::size_t>(states) + 1);
    for (int64_t state = 0; state < states; ++state) {
        const float finalWeight = layout.finalWeight(data, state);
        if (!isTropical(finalWeight)) {
            return atPath(path,
                "state " + std::to_string(state) + " has the final weight " + weightText(finalWeight)
                    + ", which is not a tropical weight");
        }
        const auto [first, count] = layout.arcs(data, state);
        for (std::size_t index = 0; index < count; ++index) {
            const ArcRecord arc = arcRecordAt(data, first + index * kArcBytes);
            if (arc.nextstate < 0 || arc.nextstate >= states) {
                return arcAt(path, state, index,
                    "leads to state " + std::to_string(arc.nextstate) + ", which the graph (of "
                        + std::to_string(states) + " states) does not have");
            }
            if (!isTropical(arc.weight)) {
                return arcAt(path, state, index,
                    "has the weight " + weightText(arc.weight) + ", which is not a tropical weight");
            }
            if (arc.olabel < 0) {
                return arcAt(
                    path, state, index, "has the negative output label " + std::to_string(arc.olabel));
            }
            if (arc.ilabel == 0) {
                if (arc.weight != kZero) {
                    epsilon.arcs.push_back({arc.nextstate, arc.weight, static_cast<uint32_t>(index)});
                }
                continue; // epsilon
            }
            const int64_t token = int64_t{arc.ilabel} - 1;
            if (arc.ilabel < 0 || !tokens.contains(token)) {
                return arcAt(path, state, index,
                    "has the input label " + std::to_string(arc.ilabel) + ", which stands for token id "
                        + std::to_string(token) + ", which " + labels.tokensPath + " does not define");
            }
            if (labels.outputSize && token >= *labels.outputSize) {
                return arcAt(path, state, index,
                    "has the input label " + std::to_string(arc.ilabel) + ", which stands for token id "
                        + std::to_string(token) + ", beyond the " + std::to_string(*labels.outputSize)
                        + " outputs of " + labels.modelPath);
            }
        }
        epsilon.first.push_back(epsilon.arcs.size());
    }
    if (std::string problem = checkEpsilonCycles(path, epsilon, static_cast<int32_t>(states));
        !problem.empty()) {
        return problem;
    }
    return checkFinalReachable(path, data, layout, static_cast<int32_t>(start));
}

} // namespace

std::string checkDecodingGraphBytes(
    const std::string& path, const uint8_t* data, std::size_t size, const GraphLabelLimits& labels)
{
    try {
        FieldReader in(data, size);
        Header header;
        if (std::string problem = readHeader(path, in, header); !problem.empty()) {
            return problem;
        }
        Layout layout;
        if (std::string problem = readLayout(path, header, data, size, in.position(), layout);
            !problem.empty()) {
            return problem;
        }
        return checkStatesAndArcs(path, data, layout, header.start, labels);
    } catch (const std::bad_alloc&) {
        return atPath(path, "checking the graph needs more memory than this process can have");
    }
}

std::string checkDecodingGraphFile(const std::string& path, const GraphLabelLimits& labels)
{
    std::string problem;
    const std::optional<model_files::MappedFile> file = model_files::MappedFile::open(path, problem, true);
    if (!file) {
        return problem;
    }
    return checkDecodingGraphBytes(path, file->bytes().data(), file->bytes().size(), labels);
}

std::string checkDecodingGraphDescriptor(const std::string& path, int fd, const GraphLabelLimits& labels)
{
    std::string problem;
    const std::optional<model_files::MappedFile> file
        = model_files::MappedFile::openDescriptor(path, fd, problem, true);
    if (!file) {
        return problem;
    }
    return checkDecodingGraphBytes(path, file->bytes().data(), file->bytes().size(), labels);
}

} // namespace ombrix::extensions::sherpa
