// hex_cache.hpp: the current value of the module attribute HEX, kept at hand
// for the serializer, which reads it for every leaf. A dict watcher on the
// module dict forgets the value on any change to the dict, so what the cache
// hands out is always what a lookup at that moment would find.
#ifndef DWEX_HEX_CACHE_HPP
#define DWEX_HEX_CACHE_HPP

#include <Python.h>

#include "dwex/threads.hpp"

namespace dwex {

/// Starts watching the module dict; without a free watcher slot the cache
/// stays empty and every read looks HEX up. Never fails.
void hex_cache_start() noexcept;

/// Borrowed: the module dict holds it while unchanged. Only the watcher clears it.
extern PyObject* cached_hex;

/// HEX when it is bound in the module dict to an exact str and known to be
/// unchanged; otherwise null, and the caller looks it up. Borrowed: valid
/// until Python code runs. Always null where the GIL can be off, since another
/// thread could release the value between this read and its use.
inline PyObject* hex_cache_peek() noexcept {
    if constexpr (free_threaded_paths) {
        return nullptr;
    } else {
        return cached_hex;
    }
}

/// Remembers `hex`, just found in the module dict, if it is an exact str.
void hex_cache_remember(PyObject* hex) noexcept;

} // namespace dwex

#endif
