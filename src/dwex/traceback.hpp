// traceback.hpp: the traceback step, which adds the module's one entry (file
// "dwex", a function name, a line) to the pending exception.
#ifndef DWEX_TRACEBACK_HPP
#define DWEX_TRACEBACK_HPP

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace dwex {

/// Code objects for traceback entries, sorted by line and found by binary
/// search. Guarded without waiting by one counter: readers add 1 while the
/// sign bit is clear, a writer claims it by swapping 0 for the sign bit.
struct TracebackCache {
    struct Entry {
        int line;
        PyObject* code; // owned
    };
    std::atomic<std::uint32_t> guard{0};
    Entry* entries = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
};

/// Adds one traceback entry for `function` (e.g. "dwex.parse") at `line` to
/// the pending exception. If the entry cannot be made, that error replaces the
/// pending one.
void add_traceback(const char* function, int line) noexcept;

/// Adds the entry and returns null: `return fail_at("dwex.parse", 64);`.
inline PyObject* fail_at(const char* function, int line) noexcept {
    add_traceback(function, line);
    return nullptr;
}

} // namespace dwex

#endif
