// traceback.cpp: the traceback step and its process-wide cache of code objects,
// one per (function, line), shared by every thread without a lock.
#include "dwex/traceback.hpp"

#include "dwex/cpython_layout.hpp"
#include "dwex/ref.hpp"
#include "dwex/state.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstring>

namespace dwex {
namespace {

constexpr std::uint32_t writer_bit = 0x80000000u;
constexpr std::size_t cache_step = 64;

bool entry_before(const TracebackCache::Entry& e, int line) noexcept { return e.line < line; }

// A cached code object for (function, line) as a new reference, or null. Readers
// announce themselves by adding 1; a set sign bit means a writer owns the
// array, and then the line counts as not cached.
Ref cache_find(TracebackCache& cache, const char* function, int line) noexcept {
    Ref found;
    const std::uint32_t before = cache.guard.fetch_add(1, std::memory_order_acquire);
    if ((before & writer_bit) == 0) {
        TracebackCache::Entry* end = cache.entries + cache.size;
        TracebackCache::Entry* at = std::lower_bound(cache.entries, end, line, entry_before);
        if (at != end && at->line == line) {
            PyObject* name = layout::code_name(at->code);
            const char* text = PyUnicode_AsUTF8(name); // cached UTF-8 of an ASCII name
            if (text != nullptr && std::strcmp(text, function) == 0) {
                found = Ref::borrow(at->code); // taken while the writer is kept out
            }
        }
    }
    cache.guard.fetch_sub(1, std::memory_order_release);
    return found;
}

// Stores `code` at its sorted place, replacing a code object cached for the
// same line. Skipped when readers or another writer hold the cache, or when
// the array cannot grow: the entry is then made without caching.
void cache_store(TracebackCache& cache, int line, PyObject* code) noexcept {
    std::uint32_t expected = 0;
    if (!cache.guard.compare_exchange_strong(expected, writer_bit, std::memory_order_acquire)) {
        return;
    }
    TracebackCache::Entry* end = cache.entries + cache.size;
    TracebackCache::Entry* at = std::lower_bound(cache.entries, end, line, entry_before);
    if (at != end && at->line == line) {
        Ref old = Ref::steal(at->code); // no reader can hold it borrowed: they took their own
        at->code = Py_NewRef(code);
    } else {
        const std::size_t index = static_cast<std::size_t>(at - cache.entries);
        bool room = cache.size < cache.capacity;
        if (!room) {
            const std::size_t capacity = cache.capacity + cache_step;
            void* grown = PyMem_RawRealloc(cache.entries, capacity * sizeof(TracebackCache::Entry));
            if (grown != nullptr) {
                cache.entries = static_cast<TracebackCache::Entry*>(grown);
                cache.capacity = capacity;
                room = true;
            }
        }
        if (room) {
            std::memmove(cache.entries + index + 1, cache.entries + index,
                         (cache.size - index) * sizeof(TracebackCache::Entry));
            cache.entries[index] = {line, Py_NewRef(code)};
            ++cache.size;
        }
    }
    cache.guard.fetch_sub(writer_bit, std::memory_order_release);
}

} // namespace

void add_traceback(const char* function, int line) noexcept {
    TracebackCache& cache = state.traceback_cache;
    Ref code = cache_find(cache, function, line);
    if (!code) {
        // The code object is made with the pending exception set aside, so that
        // making it cannot disturb or be disturbed by it.
        Ref pending = Ref::steal(PyErr_GetRaisedException());
        code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("dwex", function, line)));
        if (!code) {
            return; // its error replaces the pending one
        }
        PyErr_SetRaisedException(pending.release());
        cache_store(cache, line, code.get());
    }
    Ref frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                    state.ns.get(), nullptr)));
    if (!frame) {
        return;
    }
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

} // namespace dwex
