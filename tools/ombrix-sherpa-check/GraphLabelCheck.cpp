#include "tools/ombrix-sherpa-check/GraphLabelCheck.h"

#include <fst/const-fst.h>
#include <fst/fst.h>
#include <fst/vector-fst.h>

#include <fstream>
#include <memory>

namespace ombrix::extensions::sherpa {

namespace {

using Graph = fst::Fst<fst::StdArc>;

std::unique_ptr<Graph> readGraph(const std::string& path, std::string& problem)
{
    std::ifstream in(path, std::ios::binary);
    fst::FstHeader header;
    if (!in || !header.Read(in, path)) {
        problem = path + ": cannot be read as an OpenFst graph";
        return nullptr;
    }
    const fst::FstReadOptions options(path, &header);
    std::unique_ptr<Graph> graph;
    if (header.ArcType() == "standard" && header.FstType() == "vector") {
        graph.reset(fst::VectorFst<fst::StdArc>::Read(in, options));
    } else if (header.ArcType() == "standard" && header.FstType() == "const") {
        graph.reset(fst::ConstFst<fst::StdArc>::Read(in, options));
    } else {
        problem = path + ": is an OpenFst graph of type " + header.FstType() + " with " + header.ArcType()
            + " arcs; only vector or const graphs with standard arcs can be read";
        return nullptr;
    }
    if (!graph) {
        problem = path + ": the OpenFst graph is damaged and cannot be read";
    }
    return graph;
}

} // namespace

std::string checkGraphLabels(const std::string& graphPath, const std::set<int64_t>& tokenIds,
    const std::string& tokensPath, std::optional<int64_t> outputSize, const std::string& modelPath)
{
    std::string problem;
    const std::unique_ptr<Graph> graph = readGraph(graphPath, problem);
    if (!graph) {
        return problem;
    }
    if (graph->Start() == fst::kNoStateId) {
        return graphPath + ": the graph has no start state";
    }
    for (fst::StateIterator<Graph> state(*graph); !state.Done(); state.Next()) {
        for (fst::ArcIterator<Graph> arc(*graph, state.Value()); !arc.Done(); arc.Next()) {
            const int64_t label = arc.Value().ilabel;
            if (label == 0) {
                continue;
            }
            const int64_t token = label - 1;
            const std::string where = graphPath + ": input label " + std::to_string(label)
                + " on an arc from state " + std::to_string(state.Value()) + " stands for token id "
                + std::to_string(token);
            if (label < 0 || tokenIds.count(token) == 0) {
                return where + ", which " + tokensPath + " does not define";
            }
            if (outputSize && token >= *outputSize) {
                return where + ", beyond the " + std::to_string(*outputSize) + " outputs of " + modelPath;
            }
        }
    }
    return {};
}

} // namespace ombrix::extensions::sherpa
