#include "RealtimeGuard.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#include <dlfcn.h>
#include <pthread.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OMBRIX_REALTIME_GUARD_ACTIVE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define OMBRIX_REALTIME_GUARD_ACTIVE 0
#endif
#endif
#ifndef OMBRIX_REALTIME_GUARD_ACTIVE
#define OMBRIX_REALTIME_GUARD_ACTIVE 1
#endif

namespace ombrix::testing {

namespace {
// The innermost live scope of this thread. initial-exec: reading it is a plain
// thread-pointer-relative load that never allocates, so it is safe inside malloc.
__attribute__((tls_model("initial-exec"))) thread_local RealtimeScope* currentScope = nullptr;
} // namespace

struct RealtimeCounting {
    static void allocation()
    {
        for (RealtimeScope* s = currentScope; s != nullptr; s = s->outer) {
            ++s->allocationCount;
        }
    }
    static void deallocation()
    {
        for (RealtimeScope* s = currentScope; s != nullptr; s = s->outer) {
            ++s->deallocationCount;
        }
    }
    static void lock()
    {
        for (RealtimeScope* s = currentScope; s != nullptr; s = s->outer) {
            ++s->lockCount;
        }
    }
};

RealtimeScope::RealtimeScope()
    : outer(currentScope)
{
    currentScope = this;
}

RealtimeScope::~RealtimeScope()
{
    currentScope = outer;
}

std::uint64_t RealtimeScope::allocations() const
{
    return allocationCount;
}

std::uint64_t RealtimeScope::deallocations() const
{
    return deallocationCount;
}

std::uint64_t RealtimeScope::locks() const
{
    return lockCount;
}

bool RealtimeScope::isActive()
{
    return OMBRIX_REALTIME_GUARD_ACTIVE != 0;
}

} // namespace ombrix::testing

#if OMBRIX_REALTIME_GUARD_ACTIVE

using ombrix::testing::RealtimeCounting;

// ---- allocator ----------------------------------------------------------------
// glibc exports its allocator under __libc_* names; forwarding there (rather than
// through dlsym, which may itself allocate) keeps these functions free of
// recursion from the first call on, before any constructor has run.

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);

__attribute__((visibility("default"))) void* malloc(std::size_t size)
{
    RealtimeCounting::allocation();
    return __libc_malloc(size);
}

__attribute__((visibility("default"))) void* calloc(std::size_t count, std::size_t size)
{
    RealtimeCounting::allocation();
    return __libc_calloc(count, size);
}

__attribute__((visibility("default"))) void* realloc(void* pointer, std::size_t size)
{
    RealtimeCounting::allocation();
    return __libc_realloc(pointer, size);
}

__attribute__((visibility("default"))) void free(void* pointer)
{
    if (pointer != nullptr) {
        RealtimeCounting::deallocation();
    }
    __libc_free(pointer);
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t size)
{
    RealtimeCounting::allocation();
    return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t size)
{
    RealtimeCounting::allocation();
    return __libc_memalign(alignment, size);
}

__attribute__((visibility("default"))) int posix_memalign(
    void** result, std::size_t alignment, std::size_t size)
{
    RealtimeCounting::allocation();
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == nullptr) {
        return ENOMEM;
    }
    *result = pointer;
    return 0;
}
} // extern "C"

// ---- global operator new / delete ---------------------------------------------------
// Replaced as well, so that each new counts once and goes straight to the C
// library whatever the C++ runtime's own operator new would do.

namespace {

void* allocateOrThrow(std::size_t size)
{
    RealtimeCounting::allocation();
    if (size == 0) {
        size = 1;
    }
    for (;;) {
        if (void* pointer = __libc_malloc(size)) {
            return pointer;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void* allocateAlignedOrThrow(std::size_t size, std::align_val_t alignment)
{
    RealtimeCounting::allocation();
    if (size == 0) {
        size = 1;
    }
    for (;;) {
        if (void* pointer = __libc_memalign(static_cast<std::size_t>(alignment), size)) {
            return pointer;
        }
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            throw std::bad_alloc();
        }
        handler();
    }
}

void release(void* pointer) noexcept
{
    if (pointer != nullptr) {
        RealtimeCounting::deallocation();
        __libc_free(pointer);
    }
}

} // namespace

void* operator new(std::size_t size)
{
    return allocateOrThrow(size);
}
void* operator new[](std::size_t size)
{
    return allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocateOrThrow(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return allocateOrThrow(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment)
{
    return allocateAlignedOrThrow(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment)
{
    return allocateAlignedOrThrow(size, alignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    try {
        return allocateAlignedOrThrow(size, alignment);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept
{
    try {
        return allocateAlignedOrThrow(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* pointer) noexcept
{
    release(pointer);
}
void operator delete[](void* pointer) noexcept
{
    release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
    release(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept
{
    release(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept
{
    release(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept
{
    release(pointer);
}
void operator delete(void* pointer, std::align_val_t) noexcept
{
    release(pointer);
}
void operator delete[](void* pointer, std::align_val_t) noexcept
{
    release(pointer);
}
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept
{
    release(pointer);
}
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept
{
    release(pointer);
}
void operator delete(void* pointer, std::align_val_t, const std::nothrow_t&) noexcept
{
    release(pointer);
}
void operator delete[](void* pointer, std::align_val_t, const std::nothrow_t&) noexcept
{
    release(pointer);
}

// ---- locks ----------------------------------------------------------------------
// The real functions are found with dlsym(RTLD_NEXT) once, from a constructor
// that runs while the program is still single-threaded (and again lazily, should
// a lock be taken before it). dlsym allocates through the functions above, which
// take no lock, so the lookup cannot recurse into itself.

namespace {

template <typename Function>
Function nextSymbol(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using MutexFunction = int (*)(pthread_mutex_t*);
using RwlockFunction = int (*)(pthread_rwlock_t*);

struct LockFunctions {
    MutexFunction mutexLock;
    MutexFunction mutexTryLock;
    RwlockFunction readLock;
    RwlockFunction tryReadLock;
    RwlockFunction writeLock;
    RwlockFunction tryWriteLock;
};

LockFunctions lookUpLockFunctions()
{
    return LockFunctions{
        nextSymbol<MutexFunction>("pthread_mutex_lock"),
        nextSymbol<MutexFunction>("pthread_mutex_trylock"),
        nextSymbol<RwlockFunction>("pthread_rwlock_rdlock"),
        nextSymbol<RwlockFunction>("pthread_rwlock_tryrdlock"),
        nextSymbol<RwlockFunction>("pthread_rwlock_wrlock"),
        nextSymbol<RwlockFunction>("pthread_rwlock_trywrlock"),
    };
}

// Written once before main (or by whichever thread first locks, with the same
// values every time); the pointers are read without synchronisation by design.
LockFunctions lockFunctions{};

__attribute__((constructor(101))) void resolveLockFunctions()
{
    lockFunctions = lookUpLockFunctions();
}

const LockFunctions& real()
{
    if (lockFunctions.mutexLock == nullptr) {
        lockFunctions = lookUpLockFunctions();
    }
    return lockFunctions;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* mutex)
{
    RealtimeCounting::lock();
    return real().mutexLock(mutex);
}

__attribute__((visibility("default"))) int pthread_mutex_trylock(pthread_mutex_t* mutex)
{
    RealtimeCounting::lock();
    return real().mutexTryLock(mutex);
}

__attribute__((visibility("default"))) int pthread_rwlock_rdlock(pthread_rwlock_t* lock)
{
    RealtimeCounting::lock();
    return real().readLock(lock);
}

__attribute__((visibility("default"))) int pthread_rwlock_tryrdlock(pthread_rwlock_t* lock)
{
    RealtimeCounting::lock();
    return real().tryReadLock(lock);
}

__attribute__((visibility("default"))) int pthread_rwlock_wrlock(pthread_rwlock_t* lock)
{
    RealtimeCounting::lock();
    return real().writeLock(lock);
}

__attribute__((visibility("default"))) int pthread_rwlock_trywrlock(pthread_rwlock_t* lock)
{
    RealtimeCounting::lock();
    return real().tryWriteLock(lock);
}

} // extern "C"

#endif // OMBRIX_REALTIME_GUARD_ACTIVE
