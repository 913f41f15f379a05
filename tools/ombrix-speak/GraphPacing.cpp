#include "GraphPacing.h"

#include "host/AudioBus.h"
#include "host/AudioGraphResampler.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ombrix::speak {

double resamplerLatencyFrames(int sampleRate, unsigned channels, unsigned blockSize)
{
    if (sampleRate == kNodeInnerSampleRate) {
        return 0.0;
    }
    ombrix::AudioGraphResampler probe(kNodeInnerSampleRate, kNodeInnerBlockSize);
    probe.setNumberOfBuses(0, 1);
    probe.setProcessCallback([](ombrix::AudioBusList&, ombrix::AudioBusList& outputs) {
        outputs.getBus(0).clear();
        return true;
    });
    std::vector<std::vector<float>> storage(channels, std::vector<float>(blockSize));
    std::vector<float*> pointers;
    for (auto& channel : storage) {
        pointers.push_back(channel.data());
    }
    ombrix::AudioBuffer<float> buffer(pointers.data(), channels, blockSize, true, sampleRate);
    ombrix::AudioBusArray<0> inputs;
    ombrix::AudioBusArray<1> outputs(ombrix::AudioBusFormat(sampleRate, channels));
    outputs.getBus(0).setBuffer(&buffer);
    probe.process(inputs, outputs);
    return std::max(0.0, probe.getLatencyFrames());
}

std::optional<unsigned> firstAudibleFrame(const ombrix::AudioBuffer<float>& buffer)
{
    std::optional<unsigned> first;
    for (unsigned c = 0; c < buffer.getNumberOfChannels(); ++c) {
        const float* samples = buffer.getReadPointer(c);
        const unsigned end = first.value_or(buffer.getNumberOfFrames());
        for (unsigned i = 0; i < end; ++i) {
            if (std::fabs(samples[i]) >= kSilencePeak) {
                first = i;
                break;
            }
        }
    }
    return first;
}

} // namespace ombrix::speak
