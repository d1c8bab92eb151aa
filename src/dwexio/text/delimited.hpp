// delimited.hpp: the helper's conversion of CSV or TSV text into a DWEX document.
#ifndef DWEXIO_DELIMITED_HPP
#define DWEXIO_DELIMITED_HPP

#include <Python.h>

namespace dwexio {

/// read_delimited(text, delimiter, limit, alphabet, /) -> str | None
///
/// The document of the rows that the csv module reads from `text` (whole
/// records), or None where it would apply rules of its own or reject a field
/// longer than `limit`. `alphabet` gives the width digits (the dwex module's
/// HEX).
PyObject* read_delimited(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept;

} // namespace dwexio

#endif
