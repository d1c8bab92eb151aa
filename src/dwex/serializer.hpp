// serializer.hpp: the general writer of stringify (serializer.cpp), which
// route.cpp hands every table that an exact writer does not take, or not whole.
#ifndef DWEX_CODEC_SERIALIZER_HPP
#define DWEX_CODEC_SERIALIZER_HPP

#include <Python.h>

#include "dwex/one_pass.hpp"

namespace dwex {

/// The document of `lists` (a new reference), written by walking it once,
/// observably, from the row and leaf that `rest` names, after the text that
/// `rest` holds; or null with an exception set and the traceback entry added.
PyObject* write_general(PyObject* lists, GeneralFrom& rest) noexcept;

} // namespace dwex

#endif
