#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace ombrix::audio {

/**
 * Fixed-capacity, lock-free circular queue for exactly one producer thread and one
 * consumer thread.
 *
 * The two sides talk only through two atomic indices. The storage has `capacity + 1`
 * slots; one slot always stays free so that "empty" (indices equal) and "full" can be
 * told apart, hence at most `capacity` items are stored.
 *
 * Threads:
 *  - producer: produce(), getWritePointer(), getAvailableItemsToProduce()
 *  - consumer: read(), discard(), consume(), getReadPointer(), getAvailableItemsToConsume()
 *  - owner (neither side active): constructors, destructor, clear()
 *
 * Every index update is one sequentially consistent store made after the copy it
 * publishes, so a count seen from the other side is never too high: the producer may
 * see fewer free slots than there are, the consumer fewer items, never more.
 *
 * No operation locks or allocates after construction; a transfer is at most two
 * memcpy calls, one comparison to wrap the index and one index store. The two indices
 * sit on separate cache lines, so the producer's stores do not slow down the
 * consumer's loads of its own index, and vice versa.
 *
 * Caller contract: produce() does not check `count` against
 * getAvailableItemsToProduce(), and read()/consume() do not check it against
 * getAvailableItemsToConsume(). Ask for the count first and stay within it. Exceeding
 * it overwrites unread items or copies stale slots. To keep such a mistake from
 * touching memory outside the ring, a transfer longer than `capacity` is cut to
 * `capacity` items (the destination of read() must still hold `count` items).
 * Only discard() limits itself to what is stored.
 */
template <typename T>
class RingBuffer {
    static_assert(std::is_trivially_copyable_v<T>, "RingBuffer copies items as raw bytes");

public:
    /// Largest capacity the ring accepts: `capacity + 1` slots must fit in 32 bits.
    static constexpr uint32_t kMaxCapacity = std::numeric_limits<uint32_t>::max() - 1;

    /**
     * Uses caller-provided storage of at least `capacity + 1` items, which must outlive
     * the ring and is never freed by it. Throws std::length_error when `capacity`
     * exceeds kMaxCapacity.
     */
    RingBuffer(uint32_t capacity, T* buffer)
        : capacity(checkedCapacity(capacity))
        , ringSize(capacity + 1)
        , buffer(buffer)
        , ownsStorage(false)
    {
    }

    /**
     * Allocates `capacity + 1` items (left uninitialised) and owns them. Throws
     * std::length_error when `capacity` exceeds kMaxCapacity; allocation failure throws
     * std::bad_alloc.
     */
    explicit RingBuffer(uint32_t capacity)
        : capacity(checkedCapacity(capacity))
        , ringSize(capacity + 1)
        , buffer(new T[ringSize])
        , ownsStorage(true)
    {
    }

    ~RingBuffer()
    {
        if (ownsStorage && buffer != nullptr) {
            delete[] buffer;
        }
    }

    // The ring owns (or borrows) one storage block and is shared between two threads by
    // address; a copy would alias or double-free it.
    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    /// Empties the ring. Only while neither side is active.
    void clear()
    {
        readIndex.store(0);
        writeIndex.store(0);
    }

    /// Free slots as seen by the producer (never more than there really are).
    uint32_t getAvailableItemsToProduce() const
    {
        const uint32_t w = writeIndex.load();
        const uint32_t r = readIndex.load();
        if (r > w) {
            return r - w - 1;
        }
        return r + ringSize - w - 1;
    }

    /// Stored items as seen by the consumer (never more than there really are).
    uint32_t getAvailableItemsToConsume() const
    {
        const uint32_t w = writeIndex.load();
        const uint32_t r = readIndex.load();
        if (r > w) {
            return w + ringSize - r;
        }
        return w - r;
    }

    /// Producer: copies `count` items in, then publishes them with one index store.
    void produce(const T* source, uint32_t count)
    {
        if (count == 0) {
            return;
        }
        count = std::min(count, capacity);
        const uint32_t w = writeIndex.load(std::memory_order_relaxed); // own index
        const uint32_t roomBeforeEnd = ringSize - w;
        if (count <= roomBeforeEnd) {
            std::memcpy(buffer + w, source, count * sizeof(T));
        } else {
            std::memcpy(buffer + w, source, roomBeforeEnd * sizeof(T));
            std::memcpy(buffer, source + roomBeforeEnd, (count - roomBeforeEnd) * sizeof(T));
        }
        // Store after the copy: the consumer's load of writeIndex orders it after the data.
        writeIndex.store(advance(w, count));
    }

    /// Consumer: copies `count` items out without removing them.
    void read(T* destination, uint32_t count) const
    {
        if (count == 0) {
            return;
        }
        count = std::min(count, capacity);
        const uint32_t r = readIndex.load(std::memory_order_relaxed); // own index
        const uint32_t itemsBeforeEnd = ringSize - r;
        if (itemsBeforeEnd >= count) {
            std::memcpy(destination, buffer + r, count * sizeof(T));
        } else {
            std::memcpy(destination, buffer + r, itemsBeforeEnd * sizeof(T));
            std::memcpy(destination + itemsBeforeEnd, buffer, (count - itemsBeforeEnd) * sizeof(T));
        }
    }

    /// Consumer: removes up to `count` items (never more than are stored) without copying.
    void discard(uint32_t count)
    {
        const uint32_t k = std::min(count, getAvailableItemsToConsume());
        // Store after the items were read: the producer may now reuse the slots.
        readIndex.store(advance(readIndex.load(std::memory_order_relaxed), k));
    }

    /// Consumer: read(destination, count) then discard(count).
    void consume(T* destination, uint32_t count)
    {
        read(destination, count);
        discard(count);
    }

    /// Producer: slot the next produced item fills. Contiguous only up to the storage end.
    T* getWritePointer() { return buffer + writeIndex.load(); }

    /// Consumer: slot of the next item to consume. Contiguous only up to the storage end.
    T* getReadPointer() { return buffer + readIndex.load(); }

private:
    static uint32_t checkedCapacity(uint32_t requested)
    {
        if (requested > kMaxCapacity) {
            throw std::length_error("RingBuffer capacity too large");
        }
        return requested;
    }

    // (index + count) mod ringSize for index < ringSize and count <= capacity: one
    // comparison instead of a division, and no 32-bit overflow for rings above 2^31 slots
    // (the sum is never formed when it would reach ringSize).
    uint32_t advance(uint32_t index, uint32_t count) const
    {
        const uint32_t roomBeforeEnd = ringSize - index;
        return count < roomBeforeEnd ? index + count : count - roomBeforeEnd;
    }

    // Size of the unit the cores' caches share data in on x86-64. (Not
    // std::hardware_destructive_interference_size: g++ warns that its value may change
    // between compiler versions, and the layout of this class must not.)
    static constexpr std::size_t kCacheLineBytes = 64;

    // Read-only after construction, read by both sides: they share one cache line that
    // neither side ever writes.
    uint32_t capacity;
    uint32_t ringSize;
    T* buffer;
    bool ownsStorage;
    // Each index on a cache line of its own: the producer writes writeIndex and the
    // consumer readIndex, and sharing a line would make every store of one side evict the
    // line from the other side's core (false sharing), though neither writes the other's
    // index.
    alignas(kCacheLineBytes) std::atomic<uint32_t> readIndex{0};
    // (The class's alignment rounds its size up to whole lines, so nothing the owner
    // places after the ring shares writeIndex's line either.)
    alignas(kCacheLineBytes) std::atomic<uint32_t> writeIndex{0};
};

} // namespace ombrix::audio
