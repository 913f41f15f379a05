// Figure 4: bulk throughput of ombrix::audio::RingBuffer<float> against
// boost::lockfree::spsc_queue<float> doing the same bulk transfers.
//
// Single thread: each iteration produces one block and consumes it again, as a ring
// between an audio callback and a worker sees it per block, but without the scheduling
// noise of two threads. The block size is hidden from the optimiser: with a constant
// size g++ inlines the copies as `rep movs`, which is slower than the library memcpy
// that every real caller (with a run-time count) gets. Each side asks for the room it has first, as callers
// of both queues must (the ring leaves the check to its caller; the boost queue checks inside). Two threads:
// a producer streams blocks while the consumer drains them; wall time for a fixed amount of data. Informative
// only on a shared 2-core machine.

#include <benchmark/benchmark.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "utils/RingBuffer.h"

namespace {

using ombrix::audio::RingBuffer;
using ombrix::bench::Clock;
using ombrix::bench::Figure;
using ombrix::bench::Goal;
using ombrix::bench::Measure;

/// Ten seconds at 48 kHz, the size the speech-to-text node uses.
constexpr std::uint32_t kCapacity = 480000;
constexpr std::uint32_t kSmallBlock = 480;
constexpr std::uint32_t kLargeBlock = 8192;
/// Items moved per two-thread iteration.
constexpr std::uint64_t kStreamItems = std::uint64_t(1) << 22;

std::vector<float> ramp(std::uint32_t n)
{
    std::vector<float> values(n);
    for (std::uint32_t i = 0; i < n; ++i) {
        values[i] = static_cast<float>(i);
    }
    return values;
}

template <std::uint32_t Block>
void ringBulk(benchmark::State& state)
{
    RingBuffer<float> ring(kCapacity);
    const std::vector<float> source = ramp(Block);
    std::vector<float> destination(Block);
    std::uint32_t block = Block;
    benchmark::DoNotOptimize(block); // a run-time count, as callers have
    for (auto _ : state) {
        const std::uint32_t room = std::min(block, ring.getAvailableItemsToProduce());
        ring.produce(source.data(), room);
        const std::uint32_t stored = std::min(block, ring.getAvailableItemsToConsume());
        ring.consume(destination.data(), stored);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * Block);
}

template <std::uint32_t Block>
void boostBulk(benchmark::State& state)
{
    boost::lockfree::spsc_queue<float> queue(kCapacity);
    const std::vector<float> source = ramp(Block);
    std::vector<float> destination(Block);
    std::uint32_t block = Block;
    benchmark::DoNotOptimize(block);
    for (auto _ : state) {
        queue.push(source.data(), block);
        queue.pop(destination.data(), block);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * Block);
}

void BM_RingBuffer_Bulk480(benchmark::State& state)
{
    ringBulk<kSmallBlock>(state);
}
void BM_SpscQueue_Bulk480(benchmark::State& state)
{
    boostBulk<kSmallBlock>(state);
}
void BM_RingBuffer_Bulk8192(benchmark::State& state)
{
    ringBulk<kLargeBlock>(state);
}
void BM_SpscQueue_Bulk8192(benchmark::State& state)
{
    boostBulk<kLargeBlock>(state);
}
BENCHMARK(BM_RingBuffer_Bulk480);
BENCHMARK(BM_SpscQueue_Bulk480);
BENCHMARK(BM_RingBuffer_Bulk8192);
BENCHMARK(BM_SpscQueue_Bulk8192);

// Two threads: the producer streams kStreamItems in blocks of 480, the consumer (the
// benchmark thread) drains in blocks of up to 4096. Each side spins (with a yield) when
// it finds no room or nothing stored.
template <typename Push, typename Pop>
void streamTwoThreads(benchmark::State& state, Push push, Pop pop)
{
    const std::vector<float> source = ramp(kSmallBlock);
    std::vector<float> destination(4096);
    for (auto _ : state) {
        std::thread producer([&] {
            std::uint64_t sent = 0;
            while (sent < kStreamItems) {
                const std::uint32_t n = push(source.data(), kSmallBlock);
                sent += n;
                if (n == 0) {
                    std::this_thread::yield();
                }
            }
        });
        std::uint64_t received = 0;
        while (received < kStreamItems) {
            const std::uint32_t n = pop(destination.data(), static_cast<std::uint32_t>(destination.size()));
            received += n;
            if (n == 0) {
                std::this_thread::yield();
            }
        }
        producer.join();
        benchmark::DoNotOptimize(destination.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kStreamItems));
}

void BM_RingBuffer_TwoThreads(benchmark::State& state)
{
    RingBuffer<float> ring(kCapacity);
    streamTwoThreads(
        state,
        [&](const float* data, std::uint32_t n) {
            // Whole blocks only, as the speech-to-text node stores them.
            if (ring.getAvailableItemsToProduce() < n) {
                return 0u;
            }
            ring.produce(data, n);
            return n;
        },
        [&](float* data, std::uint32_t n) {
            const std::uint32_t k = std::min(n, ring.getAvailableItemsToConsume());
            ring.consume(data, k);
            return k;
        });
}

void BM_SpscQueue_TwoThreads(benchmark::State& state)
{
    boost::lockfree::spsc_queue<float> queue(kCapacity);
    streamTwoThreads(
        state,
        [&](const float* data, std::uint32_t n) {
            if (queue.write_available() < n) {
                return 0u;
            }
            return static_cast<std::uint32_t>(queue.push(data, n));
        },
        [&](float* data, std::uint32_t n) { return static_cast<std::uint32_t>(queue.pop(data, n)); });
}
BENCHMARK(BM_RingBuffer_TwoThreads)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpscQueue_TwoThreads)->UseRealTime()->Unit(benchmark::kMillisecond);

const bool registered = [] {
    Figure small;
    small.id = "4a";
    small.title = "RingBuffer<float> bulk 480-item transfers: throughput vs boost spsc_queue";
    small.subject = "BM_RingBuffer_Bulk480";
    small.baseline = "BM_SpscQueue_Bulk480";
    small.measure = Measure::InverseRatio;
    small.goal = Goal::AtLeast;
    small.target = 1.0;
    ombrix::bench::registerFigure(small);

    Figure large = small;
    large.id = "4b";
    large.title = "RingBuffer<float> bulk 8192-item transfers: throughput vs boost spsc_queue";
    large.subject = "BM_RingBuffer_Bulk8192";
    large.baseline = "BM_SpscQueue_Bulk8192";
    ombrix::bench::registerFigure(large);

    Figure threads = small;
    threads.id = "4c";
    threads.title = "RingBuffer<float> two-thread stream: throughput vs boost spsc_queue";
    threads.subject = "BM_RingBuffer_TwoThreads";
    threads.baseline = "BM_SpscQueue_TwoThreads";
    threads.clock = Clock::Real;
    ombrix::bench::registerFigure(threads);
    return true;
}();

} // namespace
