#include "BrokenCorpus.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string_view>

namespace ombrix::testing {

namespace {

/// The value of "<field>: <value>" when `line` is that field.
bool field(const std::string& line, std::string_view name, std::string& value)
{
    if (line.size() < name.size() + 2 || line.compare(0, name.size(), name) != 0
        || line.compare(name.size(), 2, ": ") != 0) {
        return false;
    }
    value = line.substr(name.size() + 2);
    return true;
}

} // namespace

std::vector<BrokenCase> readBrokenCorpus(const std::filesystem::path& corpus)
{
    std::vector<BrokenCase> cases;
    std::ifstream manifest(corpus / "MANIFEST.txt");
    std::string value;
    for (std::string line; std::getline(manifest, line);) {
        if (field(line, "case", value)) {
            cases.push_back({value, false, corpus / value, {}, {}, {}, {}});
        } else if (cases.empty()) {
            continue; // the comment before the first case
        } else if (field(line, "kind", value)) {
            cases.back().speech = value == "tts";
        } else if (field(line, "outcome", value)) {
            cases.back().outcome = value;
        } else if (field(line, "files", value)) {
            std::istringstream names(value);
            std::string model;
            std::string tokens;
            std::string third;
            names >> model >> tokens >> third;
            if (third.ends_with('/')) {
                third.pop_back();
            }
            BrokenCase& current = cases.back();
            current.model = (current.directory / model).string();
            current.tokens = (current.directory / tokens).string();
            current.third = (current.directory / third).string();
        }
    }
    return cases;
}

std::vector<BrokenCase> readBrokenCorpus(const std::filesystem::path& corpus, bool speech)
{
    std::vector<BrokenCase> cases = readBrokenCorpus(corpus);
    cases.erase(std::remove_if(cases.begin(), cases.end(),
                    [speech](const BrokenCase& broken) { return broken.speech != speech; }),
        cases.end());
    return cases;
}

} // namespace ombrix::testing
