// Replaces the test exe's global operator new so that a test can make the
// code under test run out of memory where it really allocates: once armed,
// allocations on one thread fail with std::bad_alloc after a given number of
// successful ones. Include from exactly one file of a test exe.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace relay::test {

struct AllocationFailure {
    std::atomic<bool> armed{false};
    std::atomic<std::thread::id> thread{};
    std::atomic<long> allowed{0};  // allocations that still succeed once armed
};
inline AllocationFailure allocationFailure;

// On `thread`, the first `allowed` allocations from now succeed and every
// later one fails, until stopFailingAllocations.
inline void failAllocationsOn(std::thread::id thread, long allowed = 0) {
    allocationFailure.thread.store(thread);
    allocationFailure.allowed.store(allowed);
    allocationFailure.armed.store(true);
}

inline void stopFailingAllocations() { allocationFailure.armed.store(false); }

}  // namespace relay::test

void* operator new(std::size_t size) {
    auto& failure = relay::test::allocationFailure;
    if (failure.armed.load() && failure.thread.load() == std::this_thread::get_id() &&
        failure.allowed.fetch_sub(1) <= 0)
        throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The library's operator delete frees with std::free, which matches.
