// threads.hpp: which code paths the module takes where the GIL build and the
// free-threaded build differ.
#ifndef DWEX_THREADS_HPP
#define DWEX_THREADS_HPP

#include <Python.h>

#include "dwex/cpython_layout.hpp"
#include "dwex/ref.hpp"

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

/// On the free-threaded paths: element `k` of the exact list `list`, whose
/// length was read just before, held for as long as the caller keeps it. A
/// list that no other thread can reach is read in place; any other is read
/// with the checked fetch, which comes back null (IndexError set) if another
/// thread shrank the list in between.
inline Ref shared_list_item(PyObject* list, Py_ssize_t k) noexcept {
    return layout::uniquely_referenced(list) ? Ref::borrow(PyList_GET_ITEM(list, k))
                                             : Ref::steal(PyList_GetItemRef(list, k));
}

} // namespace dwex

#endif
