// rows.hpp: the module functions of the text readers.
#ifndef DWEXIO_TEXT_ROWS_HPP
#define DWEXIO_TEXT_ROWS_HPP

#include <Python.h>

namespace dwexio {

/// Add read_rows() and read_delimited(); false with an exception set.
bool add_text_functions(PyObject* module) noexcept;

} // namespace dwexio

#endif
