// presized.cpp: stringify's fast path for the common table, an exact list or
// tuple of exact lists or tuples of str, with HEX an exact str in the module
// dict. Walking such a table runs no Python code, so a first pass that only
// reads lengths and storage widths cannot be observed; the document is then
// allocated once at its exact size and width, and a second pass writes each
// item straight into it. Any other table leaves this path before anything
// observable has happened, and the general writer runs.
#include "codec/presized.hpp"

#include "codec/decimal.hpp"
#include "codec/rules.hpp"
#include "codec/units.hpp"
#include "codec/widen.hpp"
#include "hex_cache.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "threads.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace dwex {
namespace {

bool is_exact_sequence(PyObject* seq) noexcept {
    return PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
}

// Hands each element of `seq`, an exact list or tuple, to `visit` (which
// returns false to stop); false if the walk stopped. Where other threads can
// run beside this one, a list that another thread can reach is read with a
// checked fetch that holds each element for its visit, as the general writer
// reads it; a fetch that fails (the list shrank) stops the walk without an
// exception.
template <typename Visit> bool each_element(PyObject* seq, Visit&& visit) noexcept {
    if constexpr (free_threaded_paths) {
        if (PyList_CheckExact(seq)) {
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(seq); ++k) {
                Ref element = PyUnstable_Object_IsUniquelyReferenced(seq)
                                  ? Ref::borrow(PyList_GET_ITEM(seq, k))
                                  : Ref::steal(PyList_GetItemRef(seq, k));
                if (!element) {
                    PyErr_Clear();
                    return false;
                }
                if (!visit(element.get())) {
                    return false;
                }
            }
            return true;
        }
    }
    // With the GIL held, or for a tuple, the storage stays as it is: no code runs.
    PyObject* const* items = PySequence_Fast_ITEMS(seq);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!visit(items[k])) {
            return false;
        }
    }
    return true;
}

/// What the first pass learns: enough to size the document exactly and to
/// pick its storage width. The second pass on the free-threaded build counts
/// the same again and compares, since another thread may have changed a list
/// in between.
struct Shape {
    std::size_t units = 0;       // characters of the document
    std::size_t rows = 0;
    int kinds = 0;               // the storage widths of the leaves, or-ed together
    int non_ascii = 0;           // 1 once a leaf holds a character above U+007F
    std::size_t longest = 0;     // the largest UTF-16 length of a leaf
    bool operator==(const Shape&) const noexcept = default;
};

std::size_t utf16_length(PyObject* v, std::size_t n, int kind) noexcept {
    if (kind != PyUnicode_4BYTE_KIND) {
        return n;
    }
    return rules::utf16_length(static_cast<const std::uint32_t*>(PyUnicode_DATA(v)), n);
}

// Adds one leaf to `shape`; false for a leaf that is not a str.
bool measure_leaf(Shape& shape, PyObject* leaf) noexcept {
    // A str subclass is written as it is, with no call, like a str.
    if (!PyUnicode_CheckExact(leaf) && !PyUnicode_Check(leaf)) {
        return false;
    }
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(leaf));
    const int kind = PyUnicode_KIND(leaf);
    const std::size_t u16_len = utf16_length(leaf, n, kind);
    shape.units += 1 + static_cast<std::size_t>(rules::decimal_digit_count(u16_len)) + n;
    shape.kinds |= kind;
    shape.non_ascii |= PyUnicode_IS_ASCII(leaf) ? 0 : 1;
    shape.longest = u16_len > shape.longest ? u16_len : shape.longest;
    return true;
}

// The first pass, and on the free-threaded build the recount of the second.
bool measure_table(PyObject* lists, Shape& shape) noexcept {
    if (!is_exact_sequence(lists)) {
        return false;
    }
    return each_element(lists, [&shape](PyObject* row) noexcept {
        if (!is_exact_sequence(row)) {
            return false;
        }
        shape.units += 1; // the row terminator
        shape.rows += 1;
        return each_element(row, [&shape](PyObject* leaf) noexcept {
            return measure_leaf(shape, leaf);
        });
    });
}

/// The width digit for each count of length digits that the table uses.
struct WidthDigits {
    std::array<Py_UCS4, rules::max_length_digits + 1> of_count{}; // index 1 to `counts`
    int counts = 0;
};

// The widest character that a str of `kinds` (or-ed storage widths, of
// strings that are all ASCII unless `non_ascii`) can hold: the result's
// storage follows from it alone.
Py_UCS4 widest_of(int kinds, int non_ascii) noexcept {
    return kinds & PyUnicode_4BYTE_KIND   ? 0x10FFFF
           : kinds & PyUnicode_2BYTE_KIND ? 0xFFFF
           : non_ascii != 0               ? 0xFF
                                          : 0x7F;
}

// Reads the current HEX from the module dict without running any code (a
// lookup of an interned str key) and takes from it the width digit of every
// count of length digits up to the table's longest. False, with no exception,
// where HEX is not an exact str there, is too short, or holds a width digit
// wider than the leaves (whether it is used decides the result's storage):
// the general writer then looks it up again and does what it finds, in order.
bool take_width_digits(const Shape& shape, Ref& hex_held, WidthDigits& digits) noexcept {
    PyObject* hex = hex_cache_peek();
    if (hex == nullptr) {
        PyObject* found = nullptr;
        const int status = PyDict_GetItemRef(state.ns.get(), state.str(S::HEX), &found);
        hex_held = Ref::steal(found);
        if (status <= 0 || !PyUnicode_CheckExact(found)) {
            PyErr_Clear();
            return false;
        }
        hex = found;
        hex_cache_remember(hex);
    }
    const int counts = rules::decimal_digit_count(shape.longest);
    if (counts > PyUnicode_GET_LENGTH(hex) || counts > rules::max_length_digits) {
        return false;
    }
    const Py_UCS4 widest = widest_of(shape.kinds, shape.non_ascii);
    for (int count = 1; count <= counts; ++count) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(hex, count - 1);
        if (widest_of(ch > 0xFFFF ? 4 : ch > 0xFF ? 2 : 1, ch > 0x7F) > widest) {
            return false;
        }
        digits.of_count[static_cast<std::size_t>(count)] = ch;
    }
    digits.counts = counts;
    return true;
}

// Copies bytes that hold whole code units: short runs with fixed-size moves,
// which cost less than a call.
inline void copy_bytes(const std::uint8_t* from, std::size_t size, std::uint8_t* to) noexcept {
    if (size <= 16) {
        rules::copy_short_bytes(from, size, to);
    } else if (size <= 32) {
        std::memcpy(to, from, 16);
        std::memcpy(to + size - 16, from + size - 16, 16);
    } else {
        std::memcpy(to, from, size);
    }
}

template <rules::CodeUnit Out, rules::CodeUnit In>
Out* copy_content(const void* data, std::size_t n, Out* to) noexcept {
    const In* from = static_cast<const In*>(data);
    if constexpr (sizeof(In) == sizeof(Out)) {
        copy_bytes(reinterpret_cast<const std::uint8_t*>(from), n * sizeof(Out),
                   reinterpret_cast<std::uint8_t*>(to));
        return to + n;
    } else {
        return rules::widen(from, n, to);
    }
}

/// The second pass at the document's storage width `Out`: every item and row
/// terminator, in order, from `to` on. On the free-threaded build it also
/// recounts the table into `seen` and stops before writing past `end` or at a
/// leaf wider than the document.
template <rules::CodeUnit Out> struct WritePass {
    const WidthDigits& digits;
    Out* to;
    Out* end;
    Shape seen;

    bool leaf(PyObject* v) noexcept {
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        const int kind = PyUnicode_KIND(v);
        // Only a 4-byte document holds leaves above U+FFFF.
        const std::size_t u16_len = sizeof(Out) == 4 ? utf16_length(v, n, kind) : n;
        const int count = rules::decimal_digit_count(u16_len);
        if constexpr (free_threaded_paths) {
            // The first pass saw other lists: only what fits is written.
            if (!measure_leaf(seen, v) || kind > static_cast<int>(sizeof(Out)) ||
                count > digits.counts ||
                static_cast<std::size_t>(end - to) < 1 + static_cast<std::size_t>(count) + n) {
                return false;
            }
        }
        to = rules::write_length_prefix(
            static_cast<Out>(digits.of_count[static_cast<std::size_t>(count)]), u16_len, count, to);
        const void* data = PyUnicode_DATA(v);
        if constexpr (sizeof(Out) == 1) {
            to = copy_content<Out, std::uint8_t>(data, n, to);
        } else if constexpr (sizeof(Out) == 2) {
            to = kind == PyUnicode_1BYTE_KIND ? copy_content<Out, std::uint8_t>(data, n, to)
                                              : copy_content<Out, std::uint16_t>(data, n, to);
        } else {
            to = kind == PyUnicode_1BYTE_KIND   ? copy_content<Out, std::uint8_t>(data, n, to)
                 : kind == PyUnicode_2BYTE_KIND ? copy_content<Out, std::uint16_t>(data, n, to)
                                                : copy_content<Out, std::uint32_t>(data, n, to);
        }
        return true;
    }

    bool row(PyObject* l) noexcept {
        if constexpr (free_threaded_paths) {
            if (!is_exact_sequence(l) || to == end) {
                return false;
            }
            seen.units += 1;
            seen.rows += 1;
        }
        if (!each_element(l, [this](PyObject* v) noexcept { return leaf(v); })) {
            return false;
        }
        if constexpr (free_threaded_paths) {
            if (to == end) {
                return false;
            }
        }
        *to++ = static_cast<Out>(rules::row_terminator);
        return true;
    }
};

// Writes the table into `document` (made for `shape`); false where the
// free-threaded recount found a table other than the one measured.
template <rules::CodeUnit Out>
bool write_table(PyObject* lists, const Shape& shape, const WidthDigits& digits,
                 PyObject* document) noexcept {
    Out* const start = static_cast<Out*>(PyUnicode_DATA(document));
    WritePass<Out> pass{digits, start, start + shape.units, Shape{}};
    const bool walked =
        each_element(lists, [&pass](PyObject* row) noexcept { return pass.row(row); });
    if constexpr (free_threaded_paths) {
        return walked && pass.to == pass.end && pass.seen == shape;
    } else {
        return walked;
    }
}

} // namespace

PyObject* stringify_presized(PyObject* lists) noexcept {
    Shape shape;
    if (!measure_table(lists, shape)) {
        return nullptr;
    }
    if (shape.units == 0) {
        return Py_NewRef(state.str(S::empty));
    }
    Ref hex_held;
    WidthDigits digits;
    // A table of empty rows writes no width digit and never looks HEX up.
    const bool has_leaves = shape.units != shape.rows;
    if (has_leaves && !take_width_digits(shape, hex_held, digits)) {
        return nullptr;
    }
    Ref document = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.units),
                                            widest_of(shape.kinds, shape.non_ascii)));
    if (!document) {
        PyErr_Clear(); // the general writer meets the shortage and reports it where it does
        return nullptr;
    }
    bool written = false;
    switch (PyUnicode_KIND(document.get())) {
    case PyUnicode_1BYTE_KIND:
        written = write_table<std::uint8_t>(lists, shape, digits, document.get());
        break;
    case PyUnicode_2BYTE_KIND:
        written = write_table<std::uint16_t>(lists, shape, digits, document.get());
        break;
    default:
        written = write_table<std::uint32_t>(lists, shape, digits, document.get());
        break;
    }
    return written ? document.release() : nullptr;
}

} // namespace dwex
