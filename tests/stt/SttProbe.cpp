// Builds one SherpaSTTNode in a fresh process, so that the tests can choose where the
// executable lives and which working directory it starts in (the node looks for its
// default model relative to both).
//
//   stt_probe [PATTERN]
//   stt_probe --load <model> <tokens> <graph> [PATTERN]
//
// Every log line goes to stdout as "<level>\t<line>". With --load the node loads those
// files and the probe prints "loaded\t0" or "loaded\t1". With a tone pattern ("A_B_A") the
// probe feeds it at 16000 Hz in 10 ms blocks and prints "text\t<transcript>". Then it
// prints "destroying", destroys the node and prints "done".

#include <cstdio>
#include <string>

#include "TestSignals.h"
#include "host/Logger.h"
#include "ombrix/sherpa/SherpaSTTNode.h"
#include "tests/stt/SttTestSupport.h"

namespace {
constexpr int kProbeSampleRate = 16000;
}

int main(int argc, char** argv)
{
    using namespace ombrix;
    Logger::setSink([](LogLevel level, const std::string& line) {
        std::printf("%s\t%s\n", Logger::levelName(level), line.c_str());
        std::fflush(stdout);
    });
    int next = 1;
    {
        extensions::sherpa::SherpaSTTNode node;
        if (argc >= 5 && std::string(argv[1]) == "--load") {
            const bool loaded = node.loadModel(argv[2], argv[3], argv[4]);
            std::printf("loaded\t%d\n", loaded ? 1 : 0);
            std::fflush(stdout);
            next = 5;
        }
        if (argc > next) {
            const std::vector<float> audio = testing::makeToneBursts(argv[next], kProbeSampleRate);
            testing::stt::feedAt(node, audio, kProbeSampleRate);
            std::printf("text\t%s\n", node.transcribe().c_str());
        }
        std::printf("destroying\n");
        std::fflush(stdout);
    }
    std::printf("done\n");
    return 0;
}
