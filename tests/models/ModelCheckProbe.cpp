// model_check_probe: runs one model check from a program of its own, so that tests can
// place the program (and so "the module next to which the checker is looked for")
// anywhere.
//
//   model_check_probe tts|asr <model> <tokens> <data-dir|graph>
//
// Prints "checker <path or empty>", then "warning: <line>" when the check gave one, then
// "ok", "ok (unchecked)" (the checker could not run) or "not ok: <problem>". Exit status 0 when
// the files were called good, 1 when not, 64 for bad arguments.

#include "models/ModelFileChecker.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    using namespace ombrix::extensions::sherpa;
    constexpr int kExitUsage = 64;
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s tts|asr <model> <tokens> <data-dir|graph>\n", argv[0]);
        return kExitUsage;
    }
    const std::string kind = argv[1];
    if (kind != "tts" && kind != "asr") {
        return kExitUsage;
    }
    std::printf("checker %s\n", findModelChecker().c_str());
    const ModelCheckResult result = kind == "tts" ? checkSpeechSynthesisFiles(argv[2], argv[3], argv[4])
                                                  : checkRecognizerFiles(argv[2], argv[3], argv[4]);
    if (!result.warning.empty()) {
        std::printf("warning: %s\n", result.warning.c_str());
    }
    if (result.ok) {
        std::printf(result.unchecked ? "ok (unchecked)\n" : "ok\n");
        return 0;
    }
    std::printf("not ok: %s\n", result.problem.c_str());
    return 1;
}
