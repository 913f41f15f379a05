#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace ombrix::buffer {

/// Aligned, zero-filled sample allocation for AudioData and similar owners.
class BufferAllocator {
public:
    /// Alignment of every block handed out, in bytes (SIMD-friendly).
    static constexpr std::size_t kAlignment = 16;

    BufferAllocator() = delete;

    /**
     * Allocates `frames` x `channels` samples of T, 16-byte aligned and zero-filled, and
     * stores the pointer into `*destination`. Release it with std::free.
     *
     * The byte count is a 32-bit quantity; a request whose byte count does not fit in
     * 32 bits throws std::length_error and allocates nothing (nothing is stored into
     * `*destination`). If the system cannot provide the memory the process aborts: callers
     * never see a null or short block.
     *
     * Allocates; not for the audio thread.
     */
    template <typename T>
    static void allocateBuffer(T** destination, uint32_t frames, uint32_t channels)
    {
        const uint64_t bytes = static_cast<uint64_t>(frames) * channels * sizeof(T);
        if (bytes > std::numeric_limits<uint32_t>::max()) {
            throw std::length_error("BufferAllocator: buffer size does not fit in 32 bits");
        }
        const auto size = static_cast<std::size_t>(bytes);
        void* memory = nullptr;
        if (posix_memalign(&memory, kAlignment, size) != 0) {
            std::abort();
        }
        if (size > 0) {
            std::memset(memory, 0, size);
        }
        *destination = static_cast<T*>(memory);
    }
};

} // namespace ombrix::buffer
