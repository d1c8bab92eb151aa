// two_pass.hpp: stringify's exact writer for a table of exact lists or tuples
// of str: a first pass measures the rows, the document is made once at its
// exact size and storage width, and a second pass writes every item
// straight into it.
#ifndef DWEX_CODEC_TWO_PASS_HPP
#define DWEX_CODEC_TWO_PASS_HPP

#include <Python.h>

#include "dwex/width_digits.hpp"

#include <cstddef>

namespace dwex {

/// The document of `lists` (a new reference), or null with no exception
/// set and nothing written where the table is not one of exact lists or
/// tuples of str, HEX cannot be read without running code, or memory runs
/// out: the general writer then writes the whole table.
PyObject* write_two_passes(PyObject* lists) noexcept;

/// Writes the rest of `lists`, from leaf `leaf` of row `row` on, after the
/// `done` characters that `document` holds. The caller measured that rest,
/// took `digits` for it and sized `document` to end with it at a width that
/// holds it. Only with the GIL held, when no code runs between the measure
/// and the write.
void write_rows(PyObject* lists, Py_ssize_t row, Py_ssize_t leaf, const WidthDigits& digits,
                PyObject* document, std::size_t done) noexcept;

} // namespace dwex

#endif
