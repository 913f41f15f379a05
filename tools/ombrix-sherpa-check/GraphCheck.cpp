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

#include <cerrno>
#include <cstring>
#include <istream>
#include <memory>
#include <new>
#include <streambuf>
#include <system_error>
#include <thread>
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
    for (fst::StateIterator<Graph> stateIterator(graph); !stateIterator.Done(); stateIterator.Next()) {
        const int64_t state = stateIterator.Value();
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
    }
    return {};
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
