// hex_cache.cpp: the dict watcher behind the serializer's HEX cache.
#include "dwex/hex_cache.hpp"

#include "dwex/state.hpp"

namespace dwex {

PyObject* cached_hex = nullptr;

namespace {

int watcher_id = -1;

int forget_hex(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    cached_hex = nullptr; // any change may rebind or delete HEX
    return 0;
}

} // namespace

void hex_cache_start() noexcept {
    if constexpr (free_threaded_paths) {
        return;
    }
    if (watcher_id >= 0) {
        return;
    }
    const int id = PyDict_AddWatcher(forget_hex);
    if (id < 0) {
        PyErr_Clear(); // no free slot: the serializer looks HEX up every time
        return;
    }
    if (PyDict_Watch(id, state.ns.get()) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(id);
        PyErr_Clear();
        return;
    }
    watcher_id = id;
}

void hex_cache_remember(PyObject* hex) noexcept {
    if (!free_threaded_paths && watcher_id >= 0 && PyUnicode_CheckExact(hex)) {
        cached_hex = hex;
    }
}

} // namespace dwex
