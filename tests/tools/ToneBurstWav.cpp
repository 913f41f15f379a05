// tone-burst-wav: writes test tones for the synthetic recogniser of the fixtures into a
// WAV file (16-bit PCM), so that programs can be tried on them as a user would.
//
//   tone-burst-wav PATTERN RATE CHANNELS OUT.wav [REPEAT] [TRAILING_SECONDS]
//
// PATTERN as in makeToneBursts ('A' = 1 kHz, 'B' = 4 kHz, '_' = silence, 0.2 s each, after
// 0.3 s of silence); the pattern's audio is written REPEAT times (default 1) in a row,
// then TRAILING_SECONDS of silence (default: the signal generator's 0.6 s). Every channel
// carries the same samples. The file is written piece by piece, so long inputs (half an
// hour of repeats) need no memory of their length.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "TestSignals.h"
#include "host/AudioBuffer.h"
#include "host/GraphRunner.h"

int main(int argc, char** argv)
{
    if (argc < 5 || argc > 7) {
        std::fprintf(
            stderr, "usage: %s PATTERN RATE CHANNELS OUT.wav [REPEAT] [TRAILING_SECONDS]\n", argv[0]);
        return 2;
    }
    try {
        const std::string pattern = argv[1];
        const int rate = std::stoi(argv[2]);
        const auto channels = static_cast<unsigned>(std::stoul(argv[3]));
        const long repeat = argc > 5 ? std::stol(argv[5]) : 1;
        const double trailing = argc > 6 ? std::stod(argv[6]) : ombrix::testing::kToneTrailingSilenceSeconds;
        if (channels == 0 || channels > ombrix::AudioBuffer<float>::maxChannels || repeat < 0) {
            std::fprintf(stderr, "%s: 1 to 8 channels and a repeat count of 0 or more\n", argv[0]);
            return 2;
        }
        const std::vector<float> piece = ombrix::testing::makeToneBursts(pattern, rate, 0.0);
        const std::vector<float> tail = ombrix::testing::makeSilence(rate, trailing);
        ombrix::WavWriter wav;
        if (!wav.open(argv[4], rate, channels)) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[4]);
            return 1;
        }
        auto write = [&](const std::vector<float>& samples) {
            std::vector<float*> pointers(channels, const_cast<float*>(samples.data()));
            const ombrix::AudioBuffer<float> buffer(
                pointers.data(), channels, static_cast<unsigned>(samples.size()), false, rate);
            return samples.empty() || wav.write(buffer);
        };
        for (long i = 0; i < repeat; ++i) {
            if (!write(piece)) {
                std::fprintf(stderr, "%s: writing %s failed\n", argv[0], argv[4]);
                return 1;
            }
        }
        if (!write(tail) || !wav.close()) {
            std::fprintf(stderr, "%s: writing %s failed\n", argv[0], argv[4]);
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 2;
    }
    return 0;
}
