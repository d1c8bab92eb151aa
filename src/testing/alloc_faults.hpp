// alloc_faults.hpp: the allocation counter of a module built with
// DWEX_ALLOC_FAULTS, a test build in which the k-th allocation of the
// module's own (operator new and its byte buffers' malloc) can be made to
// fail; in every other build it is nothing and costs nothing. The byte
// buffers take it as their allocator.
#ifndef DWEX_ALLOC_FAULTS_HPP
#define DWEX_ALLOC_FAULTS_HPP

#include "core/byte_buffer.hpp"

#include <cstddef>
#include <cstdlib>

namespace dwex::faults {

#ifdef DWEX_ALLOC_FAULTS
/// Counts one allocation, returning whether it is to fail.
bool next_fails() noexcept;
/// From now on, allocations numbered [start, stop) (from 0; stop 0: every
/// one from start) fail; a negative start lets every one succeed again.
void arm(long long start, long long stop) noexcept;
/// The allocations counted since the last arm().
long long counted() noexcept;

/// The C library's allocator, each allocation counted and failing on request.
struct Malloc {
    static void* allocate(std::size_t n) noexcept {
        return next_fails() ? nullptr : std::malloc(n);
    }
    static void* reallocate(void* p, std::size_t n) noexcept {
        return next_fails() ? nullptr : std::realloc(p, n);
    }
    static void release(void* p) noexcept { std::free(p); }
};
#else
using Malloc = codec::Malloc;
#endif

} // namespace dwex::faults

#endif
