// functions.hpp: the module functions of the Arrow reader and writer.
#ifndef DWEXIO_ARROW_FUNCTIONS_HPP
#define DWEXIO_ARROW_FUNCTIONS_HPP

#include <Python.h>

namespace dwexio {

/// Add read() and schema(); false with an exception set.
bool add_reader_functions(PyObject* module) noexcept;

/// Add writer() and write(); false with an exception set.
bool add_writer_functions(PyObject* module) noexcept;

} // namespace dwexio

#endif
