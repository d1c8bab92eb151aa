// storage.hpp: a str's storage width as the code unit type that the
// templates over code units take, and the width that a text's widest
// character calls for. The one place that turns a run-time storage width
// into a compile-time one.
#ifndef DWEX_CODEC_STORAGE_HPP
#define DWEX_CODEC_STORAGE_HPP

#include <Python.h>

#include "core/format.hpp"

#include <cstdint>

namespace dwex {

/// `f.template operator()<U>()`, with `U` the code unit of storage width
/// `kind` (PyUnicode_1BYTE_KIND, 2 or 4) where that is no wider than
/// `Widest`, and `Widest` itself otherwise: a text known to be no wider than
/// `Widest` dispatches only among the widths it can have.
template <format::CodeUnit Widest = std::uint32_t, typename F>
[[gnu::always_inline]] inline decltype(auto) at_kind(int kind, F&& f) {
    if constexpr (sizeof(Widest) == 1) {
        return f.template operator()<std::uint8_t>();
    } else if constexpr (sizeof(Widest) == 2) {
        return kind == PyUnicode_1BYTE_KIND ? f.template operator()<std::uint8_t>()
                                            : f.template operator()<std::uint16_t>();
    } else {
        return kind == PyUnicode_1BYTE_KIND   ? f.template operator()<std::uint8_t>()
               : kind == PyUnicode_2BYTE_KIND ? f.template operator()<std::uint16_t>()
                                              : f.template operator()<std::uint32_t>();
    }
}

/// `f(units, n)` over the storage of `text`: its `n` code units, typed.
template <format::CodeUnit Widest = std::uint32_t, typename F>
[[gnu::always_inline]] inline decltype(auto) with_units(PyObject* text, F&& f) {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    return at_kind<Widest>(PyUnicode_KIND(text),
                           [&]<format::CodeUnit U>() { return f(static_cast<const U*>(data), n); });
}

/// The storage width (PyUnicode_1BYTE_KIND, 2 or 4) of a str whose widest
/// character is `widest`.
constexpr int kind_for(Py_UCS4 widest) noexcept {
    return widest > 0xFFFF ? PyUnicode_4BYTE_KIND
           : widest > 0xFF ? PyUnicode_2BYTE_KIND
                           : PyUnicode_1BYTE_KIND;
}

/// The widest character that a str of `kinds` (or-ed storage widths, of
/// strings that are all ASCII unless `non_ascii`) can hold: the storage of a
/// text made of such strings follows from it alone.
constexpr Py_UCS4 widest_of(int kinds, int non_ascii) noexcept {
    return kinds & PyUnicode_4BYTE_KIND   ? 0x10FFFF
           : kinds & PyUnicode_2BYTE_KIND ? 0xFFFF
           : non_ascii != 0               ? 0xFF
                                          : 0x7F;
}

} // namespace dwex

#endif
