// RingBuffer<T> against a std::deque model. Every input is a sequence of operations on
// one ring (small capacities, so that the indices wrap all the time):
//  - within the caller contract (counts no larger than the ring reports), the items read
//    must be the model's, in order, and both counts must be exact (no other thread runs);
//  - beyond it (produce more than the room, read more than is stored), only memory
//    safety is required; the ring and the model are then cleared and compared again.
// The storage is either the ring's own or an exactly sized external block, so that
// AddressSanitizer sees any access one slot beyond the ring.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "utils/RingBuffer.h"

namespace {

using ombrix::audio::RingBuffer;

constexpr std::uint32_t kMaxCapacity = 300;
constexpr std::size_t kMaxOperations = 2000;

[[noreturn]] void fail(const char* what, unsigned long long a, unsigned long long b)
{
    std::fprintf(stderr, "ring buffer invariant broken: %s (%llu vs %llu)\n", what, a, b);
    std::abort();
}

void expect(bool holds, const char* what, unsigned long long a = 0, unsigned long long b = 0)
{
    if (!holds) {
        fail(what, a, b);
    }
}

template <typename T>
class Driver {
public:
    Driver(FuzzedDataProvider& input, std::uint32_t capacity, bool externalStorage)
        : data(input)
        , capacity(capacity)
    {
        if (externalStorage) {
            storage = std::make_unique<T[]>(static_cast<std::size_t>(capacity) + 1);
            ring = std::make_unique<RingBuffer<T>>(capacity, storage.get());
            base = storage.get();
        } else {
            ring = std::make_unique<RingBuffer<T>>(capacity);
            base = ring->getWritePointer(); // both indices are 0: the start of the storage
        }
    }

    void run()
    {
        for (std::size_t step = 0; step < kMaxOperations && data.remaining_bytes() > 0; ++step) {
            switch (data.ConsumeIntegralInRange<int>(0, 9)) {
            case 0:
                produceWithin();
                break;
            case 1:
                consumeWithin(/*remove=*/true);
                break;
            case 2:
                consumeWithin(/*remove=*/false);
                break;
            case 3:
                discardAny();
                break;
            case 4:
                ring->clear();
                model.clear();
                break;
            case 5:
                pointers();
                break;
            case 6:
                produceBeyond();
                break;
            case 7:
                readBeyond();
                break;
            case 8:
                // Zero counts change nothing.
                ring->produce(nullptr, 0);
                ring->consume(nullptr, 0);
                ring->read(nullptr, 0);
                ring->discard(0);
                break;
            default:
                produceWithin();
                consumeWithin(true);
                break;
            }
            checkCounts();
        }
    }

private:
    T nextValue() { return static_cast<T>(counter++ % 1000003u); }

    std::uint32_t countUpTo(std::uint32_t limit)
    {
        return data.ConsumeIntegralInRange<std::uint32_t>(0, limit);
    }

    void checkCounts() const
    {
        expect(ring->getAvailableItemsToConsume() == model.size(), "items to consume",
            ring->getAvailableItemsToConsume(), model.size());
        expect(ring->getAvailableItemsToProduce() == capacity - model.size(), "items to produce",
            ring->getAvailableItemsToProduce(), capacity - model.size());
    }

    void produceWithin()
    {
        const std::uint32_t n = countUpTo(ring->getAvailableItemsToProduce());
        std::vector<T> items(n);
        for (T& item : items) {
            item = nextValue();
            model.push_back(item);
        }
        ring->produce(items.data(), n);
    }

    void consumeWithin(bool remove)
    {
        const std::uint32_t n = countUpTo(ring->getAvailableItemsToConsume());
        std::vector<T> items(n);
        if (remove) {
            ring->consume(items.data(), n);
        } else {
            ring->read(items.data(), n);
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            expect(items[i] == model[i], "item read", static_cast<unsigned long long>(items[i]),
                static_cast<unsigned long long>(model[i]));
        }
        if (remove) {
            model.erase(model.begin(), model.begin() + n);
        }
    }

    void discardAny()
    {
        const std::uint32_t n = countUpTo(2 * capacity + 2);
        ring->discard(n);
        const std::size_t removed = std::min<std::size_t>(n, model.size());
        model.erase(model.begin(), model.begin() + static_cast<std::ptrdiff_t>(removed));
    }

    void pointers()
    {
        T* const read = ring->getReadPointer();
        T* const write = ring->getWritePointer();
        expect(read >= base && read <= base + capacity, "read pointer inside the storage");
        expect(write >= base && write <= base + capacity, "write pointer inside the storage");
        if (!model.empty()) {
            expect(*read == model.front(), "item at the read pointer", static_cast<unsigned long long>(*read),
                static_cast<unsigned long long>(model.front()));
        }
    }

    // Beyond the contract: memory safety only, then start over from empty.
    void produceBeyond()
    {
        const std::uint32_t room = ring->getAvailableItemsToProduce();
        const std::uint32_t n = room + 1 + countUpTo(2 * capacity + 2);
        std::vector<T> items(n, nextValue());
        ring->produce(items.data(), n);
        ring->clear();
        model.clear();
    }

    void readBeyond()
    {
        const std::uint32_t stored = ring->getAvailableItemsToConsume();
        const std::uint32_t n = stored + 1 + countUpTo(2 * capacity + 2);
        std::vector<T> items(n);
        if (data.ConsumeBool()) {
            ring->read(items.data(), n);
        } else {
            ring->consume(items.data(), n);
        }
        ring->clear();
        model.clear();
    }

    FuzzedDataProvider& data;
    const std::uint32_t capacity;
    std::unique_ptr<T[]> storage;
    std::unique_ptr<RingBuffer<T>> ring;
    const T* base = nullptr;
    std::deque<T> model;
    std::uint32_t counter = 1;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    FuzzedDataProvider input(bytes, size);
    const int type = input.ConsumeIntegralInRange<int>(0, 3);
    const auto capacity = input.ConsumeIntegralInRange<std::uint32_t>(0, kMaxCapacity);
    const bool external = input.ConsumeBool();
    switch (type) {
    case 0:
        Driver<float>(input, capacity, external).run();
        break;
    case 1:
        Driver<char>(input, capacity, external).run();
        break;
    case 2:
        Driver<short>(input, capacity, external).run();
        break;
    default:
        Driver<unsigned int>(input, capacity, external).run();
        break;
    }
    return 0;
}
