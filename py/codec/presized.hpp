// presized.hpp: stringify's fast path for a table of exact lists or tuples of
// str, which sizes the document before writing it (presized.cpp).
#ifndef DWEX_CODEC_PRESIZED_HPP
#define DWEX_CODEC_PRESIZED_HPP

#include <Python.h>

namespace dwex {

/// The document of `lists` (a new reference), where the table's shape lets it
/// be measured and written without running any code; otherwise null with no
/// exception set and nothing observable done, and the caller writes the table
/// the general way.
PyObject* stringify_presized(PyObject* lists) noexcept;

} // namespace dwex

#endif
