// alloc_faults.hpp: the allocation counter of a module built with
// DWEX_ALLOC_FAULTS, a test build in which the k-th allocation of the
// module's own (operator new and the byte buffers' malloc) can be made to
// fail; in every other build it is nothing and costs nothing.
#ifndef DWEX_ALLOC_FAULTS_HPP
#define DWEX_ALLOC_FAULTS_HPP

namespace dwex::faults {

#ifdef DWEX_ALLOC_FAULTS
/// Counts one allocation, returning whether it is to fail.
bool next_fails() noexcept;
/// From now on, allocations numbered [start, stop) (from 0; stop 0: every
/// one from start) fail; a negative start lets every one succeed again.
void arm(long long start, long long stop) noexcept;
/// The allocations counted since the last arm().
long long counted() noexcept;
#else
constexpr bool next_fails() noexcept { return false; }
#endif

} // namespace dwex::faults

#endif
