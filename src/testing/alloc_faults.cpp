// alloc_faults.cpp: compiled only into the test builds of dwexio._native.
// The module's own operator new and delete count with the allocation counter,
// as the byte buffers' allocator does (alloc_faults.hpp). The build keeps
// them out of the module's exports: exported, they would serve every library
// loaded with the module (the C++ runtime's own calls included), and other
// modules' allocations would fail too. The module makes no arrays with new,
// so the array forms stay the runtime's, which pair with each other.
#include "testing/alloc_faults.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace dwex::faults {
namespace {

// Threads of a parallel read allocate too: the count is shared and atomic.
std::atomic<long long> count{0};
std::atomic<long long> first{-1}; // negative: none fails
std::atomic<long long> last{0};

} // namespace

bool next_fails() noexcept {
    const long long start = first.load(std::memory_order_acquire);
    if (start < 0) {
        return false;
    }
    const long long k = count.fetch_add(1, std::memory_order_relaxed);
    const long long stop = last.load(std::memory_order_relaxed);
    return k >= start && (stop == 0 || k < stop);
}

void arm(long long start, long long stop) noexcept {
    first.store(-1, std::memory_order_release);
    count.store(0, std::memory_order_relaxed);
    last.store(stop, std::memory_order_relaxed);
    first.store(start, std::memory_order_release);
}

long long counted() noexcept { return count.load(std::memory_order_relaxed); }

} // namespace dwex::faults

void* operator new(std::size_t n) {
    void* p = dwex::faults::next_fails() ? nullptr : std::malloc(n ? n : 1);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return dwex::faults::next_fails() ? nullptr : std::malloc(n ? n : 1);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
