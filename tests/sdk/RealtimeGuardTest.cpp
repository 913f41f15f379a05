#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "support/RealtimeGuard.h"

using ombrix::testing::RealtimeScope;

namespace {

// Keeps the compiler from proving an allocation unused and removing it.
void escape(void* pointer)
{
    asm volatile("" : : "g"(pointer) : "memory");
}

} // namespace

TEST(RealtimeGuard, CountsAllocationsAndLocksOfThisThread)
{
    if (!RealtimeScope::isActive()) {
        GTEST_SKIP() << "allocation and lock counting is unavailable under sanitizers";
    }
    {
        RealtimeScope scope;
        auto* value = new int(42);
        escape(value);
        EXPECT_EQ(scope.allocations(), 1u);
        delete value;
        EXPECT_EQ(scope.deallocations(), 1u);
        EXPECT_EQ(scope.locks(), 0u);
    }
    {
        std::vector<int> grown;
        RealtimeScope scope;
        for (int i = 0; i < 100; ++i) {
            grown.push_back(i);
        }
        escape(grown.data());
        // Doubling from 1 to 128 elements: several reallocations.
        EXPECT_GE(scope.allocations(), 2u);
    }
    {
        void* block = nullptr;
        RealtimeScope scope;
        escape(block = std::malloc(16));
        escape(block = std::realloc(block, 4096));
        void* aligned = nullptr;
        EXPECT_EQ(posix_memalign(&aligned, 64, 128), 0);
        escape(aligned);
        EXPECT_EQ(scope.allocations(), 3u);
        std::free(block);
        std::free(aligned);
    }
    {
        std::mutex mutex;
        std::shared_mutex shared;
        RealtimeScope outer;
        mutex.lock();
        mutex.unlock();
        EXPECT_EQ(outer.locks(), 1u);
        {
            RealtimeScope inner;
            EXPECT_TRUE(mutex.try_lock());
            mutex.unlock();
            shared.lock_shared();
            shared.unlock_shared();
            EXPECT_EQ(inner.locks(), 2u);
        }
        // The outer scope saw what the inner one saw, and nothing is counted
        // once the scopes are gone.
        EXPECT_EQ(outer.locks(), 3u);
        EXPECT_EQ(outer.allocations(), 0u);
    }
}

TEST(RealtimeGuard, IgnoresWhatOtherThreadsDo)
{
    if (!RealtimeScope::isActive()) {
        GTEST_SKIP() << "allocation and lock counting is unavailable under sanitizers";
    }
    std::atomic<bool> go{false};
    std::uint64_t workerAllocations = 0;
    std::uint64_t workerLocks = 0;
    // Started before the scope: creating a thread allocates on this thread.
    std::thread worker([&] {
        while (!go.load()) {
            std::this_thread::yield();
        }
        RealtimeScope scope;
        std::mutex mutex;
        auto* value = new int(7);
        escape(value);
        mutex.lock();
        mutex.unlock();
        delete value;
        workerAllocations = scope.allocations();
        workerLocks = scope.locks();
    });
    RealtimeScope scope;
    go.store(true);
    worker.join();
    EXPECT_EQ(scope.allocations(), 0u);
    EXPECT_EQ(scope.locks(), 0u);
    // The worker's own scope did count its work.
    EXPECT_EQ(workerAllocations, 1u);
    EXPECT_EQ(workerLocks, 1u);
}
