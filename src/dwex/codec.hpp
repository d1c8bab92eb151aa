// codec.hpp: the two bodies that the call bindings enter, the serializer and
// the parser. Each takes its bound argument as a borrowed reference that stays
// valid for the whole call and returns a new reference, or null with an
// exception set and the module's traceback entry added.
#ifndef DWEX_CODEC_CODEC_HPP
#define DWEX_CODEC_CODEC_HPP

#include <Python.h>

namespace dwex {

/// Writes a two-level iterable of leaves as one document (a new str).
PyObject* stringify_body(PyObject* lists) noexcept;

/// Reads a document (an exact str) into a new list of new lists of str.
PyObject* parse_body(PyObject* dwex) noexcept;

} // namespace dwex

#endif
