// Prints the six default model paths as "name=path" lines, the text-to-speech ones for
// each language given on the command line (default: en de). Exit status 1 and the
// message on stderr when a path function throws.

#include "models/ModelFile.h"

#include <exception>
#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> languages(argv + 1, argv + argc);
    if (languages.empty()) {
        languages = {"en", "de"};
    }
    try {
        std::cout << "model=" << getModelFilePath() << '\n';
        std::cout << "tokens=" << getTokensFilePath() << '\n';
        std::cout << "graph=" << getGraphFilePath() << '\n';
        for (const std::string& language : languages) {
            std::cout << "tts-model[" << language << "]=" << getTTSModelFilePath(language) << '\n';
            std::cout << "tts-tokens[" << language << "]=" << getTTSTokensFilePath(language) << '\n';
            std::cout << "tts-data[" << language << "]=" << getTTSDataDirPath(language) << '\n';
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
