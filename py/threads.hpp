// threads.hpp: which code paths the module takes where the GIL build and the
// free-threaded build differ.
#ifndef DWEX_THREADS_HPP
#define DWEX_THREADS_HPP

namespace dwex {

/// True on the free-threaded build, where no lock stops another thread between
/// two reads of a shared object. The test build with DWEX_FORCE_FREE_THREADED_PATHS
/// takes the same paths on the GIL interpreter, so the whole test suite runs
/// them: every one uses only API that both builds have.
#if defined(Py_GIL_DISABLED) || defined(DWEX_FORCE_FREE_THREADED_PATHS)
inline constexpr bool free_threaded_paths = true;
#else
inline constexpr bool free_threaded_paths = false;
#endif

} // namespace dwex

#endif
