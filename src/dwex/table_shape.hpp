// table_shape.hpp: reading a table of exact lists or tuples of str without
// running any code: the walk over its elements, each leaf's storage width
// and ASCII flag from its state word, and the measure of rows that sizes a
// document exactly.
#ifndef DWEX_CODEC_TABLE_SHAPE_HPP
#define DWEX_CODEC_TABLE_SHAPE_HPP

#include <Python.h>

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/ref.hpp"
#include "dwex/threads.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dwex {

inline bool is_exact_sequence(PyObject* seq) noexcept {
    return PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
}

/// Hands each element of `seq`, an exact list or tuple, from index `first`
/// on to `visit` (which returns false to stop); false if the walk stopped.
/// Where other threads can run beside this one, a list that another thread
/// can reach is read with a checked fetch that holds each element for its
/// visit, as the general writer reads it; a fetch that fails (the list
/// shrank) stops the walk without an exception.
template <typename Visit>
[[gnu::always_inline]] inline bool each_element(PyObject* seq, Py_ssize_t first,
                                                Visit&& visit) noexcept {
    if constexpr (free_threaded_paths) {
        if (PyList_CheckExact(seq)) {
            for (Py_ssize_t k = first; k < PyList_GET_SIZE(seq); ++k) {
                Ref element = shared_list_item(seq, k);
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
    for (Py_ssize_t k = first; k < n; ++k) {
        if (!visit(items[k])) {
            return false;
        }
    }
    return true;
}

using layout::state_bits;

/// A leaf's state word. With the GIL held it is read whole: no other thread
/// can be writing its fields. On the free-threaded build another thread may
/// set the interned field beside them at any time, so the word is put
/// together from the two fields that matter.
inline std::uint32_t state_word(PyObject* leaf) noexcept {
    if constexpr (free_threaded_paths) {
        return static_cast<std::uint32_t>(PyUnicode_KIND(leaf)) * state_bits.kind_one |
               (PyUnicode_IS_ASCII(leaf) ? state_bits.ascii : 0);
    } else {
        return layout::state_word(leaf);
    }
}

/// What a measure of rows learns: enough to size their text exactly and to
/// pick its storage width. The write on the free-threaded build counts the
/// same again and compares, since another thread may have changed a list in
/// between.
struct Shape {
    std::size_t units = 0; // characters of the text
    std::size_t rows = 0;
    std::uint32_t any_state = 0;    // the leaves' state words, or-ed together
    std::uint32_t all_states = ~0U; // and and-ed together
    std::size_t longest = 0;        // the largest UTF-16 length of a leaf
    bool operator==(const Shape&) const noexcept = default;

    /// The storage widths of the leaves, or-ed together.
    int kinds() const noexcept {
        return static_cast<int>((any_state & state_bits.kinds) / state_bits.kind_one);
    }
    /// 1 once a leaf holds a character above U+007F.
    int non_ascii() const noexcept { return (all_states & state_bits.ascii) == 0 ? 1 : 0; }
    /// Whether the rows hold any leaf (a table of empty rows writes no width digit).
    bool has_leaves() const noexcept { return units != rows; }
};

/// Adds one leaf to `shape`; false for a leaf that is not a str.
[[gnu::always_inline]] inline bool measure_leaf(Shape& shape, PyObject* leaf) noexcept {
    // A str subclass is written as it is, with no call, like a str.
    if (!PyUnicode_CheckExact(leaf)) [[unlikely]] {
        if (!PyUnicode_Check(leaf)) {
            return false;
        }
    }
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(leaf));
    // Or-ing and and-ing whole state words gathers the storage widths and
    // whether every leaf is ASCII in two instructions a leaf.
    const std::uint32_t state = state_word(leaf);
    shape.any_state |= state;
    shape.all_states &= state;
    std::size_t u16_len = n;
    if ((state & (PyUnicode_4BYTE_KIND * state_bits.kind_one)) != 0) [[unlikely]] {
        u16_len = format::utf16_length(static_cast<const std::uint32_t*>(PyUnicode_DATA(leaf)), n);
    }
    // The width digit and one or two length digits; more only past 99.
    shape.units += 2 + n + (u16_len >= 10);
    if (u16_len >= 100) [[unlikely]] {
        shape.units += static_cast<std::size_t>(format::decimal_digit_count(u16_len)) - 2;
    }
    shape.longest = u16_len > shape.longest ? u16_len : shape.longest;
    return true;
}

/// Adds one row to `shape`; false for a row that is not an exact list or
/// tuple of str. Inlined, as the measure's inner loop.
[[gnu::always_inline]] inline bool measure_row(Shape& shape, PyObject* row) noexcept {
    if (!is_exact_sequence(row)) {
        return false;
    }
    shape.units += 1; // the row terminator
    shape.rows += 1;
    return each_element(row, 0,
                        [&shape](PyObject* leaf) noexcept { return measure_leaf(shape, leaf); });
}

/// Measures the rows of `lists` (an exact list or tuple) from `first` on;
/// false where one of them is not an exact list or tuple of str.
[[gnu::always_inline]] inline bool measure_rows(PyObject* lists, Py_ssize_t first,
                                                Shape& shape) noexcept {
    return each_element(lists, first,
                        [&shape](PyObject* row) noexcept { return measure_row(shape, row); });
}

/// Measures the rest of a table from its leaf `leaf` of row `row` on: that
/// row's remaining leaves and terminator, then every later row; false where
/// one of them is not an exact list or tuple of str.
inline bool measure_rest(PyObject* lists, Py_ssize_t row, Py_ssize_t leaf, Shape& shape) noexcept {
    PyObject* const current = PySequence_Fast_ITEMS(lists)[row];
    shape.units += 1;
    shape.rows += 1;
    return each_element(current, leaf,
                        [&shape](PyObject* v) noexcept { return measure_leaf(shape, v); }) &&
           measure_rows(lists, row + 1, shape);
}

} // namespace dwex

#endif
