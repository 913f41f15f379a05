#include "GraphPacing.h"

#include "host/AudioBus.h"
#include "host/AudioGraphResampler.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

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

namespace {

// How often the pacer looks at the node's threads while they work.
constexpr std::chrono::microseconds kWorkPollInterval{50};

// The CPU clock of thread `tid` of this process, as pthread_getcpuclockid makes it
// (the kernel's per-thread scheduler clock).
clockid_t threadCpuClock(pid_t tid)
{
    constexpr clockid_t kPerThread = 4;
    constexpr clockid_t kSchedulerClock = 2;
    return static_cast<clockid_t>((~static_cast<clockid_t>(tid)) * 8) | kPerThread | kSchedulerClock;
}

// The thread's state letter from /proc (R running or runnable, D uninterruptible, S
// sleeping, ...); 0 when the thread is gone.
char threadState(pid_t tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", static_cast<int>(tid));
    std::FILE* file = std::fopen(path, "re");
    if (!file) {
        return 0;
    }
    char line[512];
    const std::size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
    // "tid (name) S ...": the name may hold spaces and parentheses; the state follows the
    // last ')'.
    const char* close = std::strrchr(line, ')');
    return close && close[1] == ' ' ? close[2] : 0;
}

} // namespace

std::vector<pid_t> NodeThreads::current()
{
    std::vector<pid_t> tids;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        tids.push_back(static_cast<pid_t>(std::atoi(entry.path().filename().c_str())));
    }
    return tids;
}

void NodeThreads::adoptNewThreads(const std::vector<pid_t>& before)
{
    const pid_t self = static_cast<pid_t>(gettid());
    for (const pid_t tid : current()) {
        if (tid != self && std::find(before.begin(), before.end(), tid) == before.end()
            && std::find(threads.begin(), threads.end(), tid) == threads.end()) {
            threads.push_back(tid);
        }
    }
}

bool NodeThreads::anyWorking() const
{
    return std::any_of(threads.begin(), threads.end(), [](pid_t tid) {
        const char state = threadState(tid);
        return state == 'R' || state == 'D';
    });
}

std::chrono::nanoseconds NodeThreads::cpuTime() const
{
    std::chrono::nanoseconds total{0};
    for (const pid_t tid : threads) {
        timespec time{};
        if (clock_gettime(threadCpuClock(tid), &time) == 0) {
            total += std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
        }
    }
    return total;
}

NodeWorkPacer::NodeWorkPacer(const NodeThreads& nodeThreads, std::chrono::nanoseconds blockDuration)
    : threads(nodeThreads)
    , block(blockDuration)
    , credited(nodeThreads.cpuTime())
{
}

bool NodeWorkPacer::beforeBlock()
{
    bool worked = false;
    for (;;) {
        const std::chrono::nanoseconds used = threads.cpuTime();
        if (used >= credited + block) {
            credited += block;
            return true;
        }
        if (!threads.anyWorking()) {
            // Idle: the time it used since the last block does not carry over.
            credited = std::max(credited, used);
            return worked;
        }
        worked = true;
        std::this_thread::sleep_for(kWorkPollInterval);
    }
}

} // namespace ombrix::speak
