#include "tools/ombrix-sherpa-check/GraphCheck.h"

#include "models/DecodingGraphCheck.h"

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

std::string at(const std::string& path, const std::string& what)
{
    return path + ": " + what;
}

/// The magic number and the two type names, checked before OpenFst reads them (it reads
/// the names a byte at a time for as long as their lengths say).
std::string checkGraphHeaderStart(const std::string& path, const char* data, std::size_t size)
{
    constexpr int32_t kFstMagicNumber = 0x7eb2fdd6;
    constexpr int32_t kMaxHeaderStringLength = 256;
    int32_t value = 0;
    if (size < sizeof value || (std::memcpy(&value, data, sizeof value), value != kFstMagicNumber)) {
        return at(path, "is not an OpenFst graph (no FST magic number)");
    }
    std::size_t offset = sizeof value;
    for (int name = 0; name < 2; ++name) {
        if (size - offset < sizeof value) {
            return at(path, "has a damaged OpenFst header");
        }
        std::memcpy(&value, data + offset, sizeof value);
        offset += sizeof value;
        if (value < 0 || value > kMaxHeaderStringLength || static_cast<std::size_t>(value) > size - offset) {
            return at(path, "has a damaged OpenFst header");
        }
        offset += static_cast<std::size_t>(value);
    }
    return {};
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

/// Checks the mapped graph's structure and, when it is sound, reads it with OpenFst into
/// `graph` (which the structural check has proven to fit the file).
std::string checkMappedGraph(const std::string& path, const char* data, std::size_t size,
    const GraphLabelLimits& labels, bool checkStructure, std::unique_ptr<Graph>& graph)
{
    if (std::string problem = checkStructure ? std::string() : checkGraphHeaderStart(path, data, size);
        !problem.empty()) {
        return problem;
    }
    if (std::string problem
        = checkDecodingGraphBytes(path, reinterpret_cast<const uint8_t*>(data), size, labels);
        !problem.empty()) {
        return problem;
    }
    MemoryBuffer buffer(data, size);
    std::istream in(&buffer);
    fst::FstHeader header;
    if (!header.Read(in, path)) {
        return at(path, "has a damaged OpenFst header");
    }
    const fst::FstReadOptions options(path, &header);
    graph.reset(Graph::Read(in, options));
    if (!graph) {
        return at(path, "the OpenFst graph is damaged and cannot be read");
    }
    return {};
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
    const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath,
    bool checkStructure)
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
            problem = checkMappedGraph(graphPath, file.data(), file.size(),
                GraphLabelLimits{tokenIds, tokensPath, outputSize, modelPath}, checkStructure, state->graph);
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
