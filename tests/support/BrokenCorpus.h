#pragma once

// The broken-model corpus of the fixtures (tests/fixtures/make_broken_fixtures.py): one
// directory per case, listed in its MANIFEST.txt. Never load a case in a test process
// without the checks in front: sherpa-onnx ends the process for most of them.

#include <filesystem>
#include <string>
#include <vector>

namespace ombrix::testing {

/// One case of MANIFEST.txt, with its files as full paths.
struct BrokenCase {
    std::string name;
    bool speech = false; ///< kind "tts" (a voice); otherwise "asr" (a recogniser)
    std::filesystem::path directory;
    std::string model;
    std::string tokens;
    std::string third; ///< the espeak-ng data directory (without a trailing '/') or the graph
    std::string outcome; ///< what the library does with it: killed-at-create, ...
};

/// Every case of `<corpus>/MANIFEST.txt`, in its order; empty when there is no manifest.
std::vector<BrokenCase> readBrokenCorpus(const std::filesystem::path& corpus);

/// The cases of one kind ("tts" voices when `speech`, otherwise "asr" recognisers).
std::vector<BrokenCase> readBrokenCorpus(const std::filesystem::path& corpus, bool speech);

} // namespace ombrix::testing
