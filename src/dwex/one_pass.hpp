// one_pass.hpp: stringify's writer for a large table that looks ASCII, which
// reads each leaf once, while its header is in the cache, into a document
// sized from a sample of the rows.
#ifndef DWEX_CODEC_ONE_PASS_HPP
#define DWEX_CODEC_ONE_PASS_HPP

#include <Python.h>

#include "dwex/ref.hpp"
#include "dwex/width_digits.hpp"

#include <cstddef>

namespace dwex {

/// Where a table goes to the general writer part-way: from leaf
/// `first_leaf` of row `first_row` on, after the ASCII text in `written` (if
/// any), which holds `pieces` pieces as the general writer counts them
/// (three a leaf, one a row).
struct GeneralFrom {
    Py_ssize_t first_row = 0;
    Py_ssize_t first_leaf = 0;
    Ref written;
    std::size_t pieces = 0;
};

/// Writes `lists`, an exact list or tuple of exact lists or tuples, in one
/// pass into an ASCII document of `capacity` characters with the width
/// digits `digits` (at least two, all ASCII). The rows from the first leaf
/// that does not fit that plan on are measured and written after what is
/// already there, the document grown or widened in place. The document, or
/// null with no exception set, the rows written so far in `rest` for the
/// general writer to go on from. Only with the GIL held.
PyObject* write_one_pass(PyObject* lists, const WidthDigits& digits, std::size_t capacity,
                         GeneralFrom& rest) noexcept;

} // namespace dwex

#endif
