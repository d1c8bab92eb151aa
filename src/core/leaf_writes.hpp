// leaf_writes.hpp: a count of the leaves that stringify writes, kept only in
// the test build made with DWEX_COUNT_LEAF_WRITES, where the module exposes
// it; it shows that no route writes any part of a table twice.
#ifndef DWEX_CODEC_LEAF_WRITES_HPP
#define DWEX_CODEC_LEAF_WRITES_HPP

#include <cstdint>

namespace dwex {

#if defined(DWEX_COUNT_LEAF_WRITES)
inline std::uint64_t leaf_writes = 0; // under the GIL: the count build is never free-threaded
inline void count_leaf_write() noexcept { ++leaf_writes; }
#else
inline void count_leaf_write() noexcept {}
#endif

} // namespace dwex

#endif
