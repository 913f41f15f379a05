#pragma once

#include <cstdint>

namespace ombrix::testing {

/// Counts what the current thread does that a real-time thread must not:
/// heap allocations (malloc, calloc, realloc, aligned_alloc, posix_memalign,
/// memalign, every global operator new) and lock acquisitions
/// (pthread_mutex_lock/trylock, which std::mutex uses, and the pthread_rwlock
/// lock calls), while the scope is alive. Frees are counted apart.
///
/// It works by defining those functions in the test program (library
/// `ombrix_test_realtime`), which takes precedence over the C library for the
/// program and every shared library it loads; they count into thread-local
/// counters and forward to the C library. With no scope alive on a thread the
/// cost is one thread-local load per call. Other threads are never counted.
///
/// Under AddressSanitizer or ThreadSanitizer the sanitizer runtime owns these
/// functions and they cannot be replaced: then isActive() is false, nothing is
/// counted and tests should GTEST_SKIP. Scopes nest; each counts only what
/// happens during its own lifetime.
class RealtimeScope {
public:
    RealtimeScope();
    ~RealtimeScope();
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;

    std::uint64_t allocations() const;
    std::uint64_t deallocations() const;
    std::uint64_t locks() const;

    /// False when counting is impossible in this build (sanitizers).
    static bool isActive();

private:
    RealtimeScope* outer;
    std::uint64_t allocationCount = 0;
    std::uint64_t deallocationCount = 0;
    std::uint64_t lockCount = 0;

    friend struct RealtimeCounting;
};

} // namespace ombrix::testing
