// call.hpp: the binding steps of `stringify` and `parse`, entered through the
// fast-call-with-keywords convention, and the code objects they carry.
#ifndef DWEX_CALL_HPP
#define DWEX_CALL_HPP

#include <Python.h>

namespace dwex {

PyObject* stringify_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept;
PyObject* parse_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept;

/// The location tables of the two code objects (bytes), made with the constants.
int make_line_tables() noexcept;
/// The two code objects, stored in the module state; 0, or -1 with an exception set.
int make_code_objects() noexcept;

} // namespace dwex

#endif
