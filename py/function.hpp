// function.hpp: the type of the module's two function objects, `stringify` and
// `parse`, which are called through vectorcall and inspected like Python
// functions.
#ifndef DWEX_FUNCTION_HPP
#define DWEX_FUNCTION_HPP

#include <Python.h>

namespace dwex {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyMethodDef* def;      // static; its ml_meth is the binding step
    PyObject* name;        // made from def->ml_name on first read, else null
    PyObject* doc;         // made from def->ml_doc on first read, else null
    int doc_made;          // set once `doc` holds the docstring or a stored value
    PyObject* qualname;
    PyObject* module;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;    // null means None
    PyObject* kwdefaults;  // null means None
    PyObject* annotations; // null means none stored
    PyObject* annotate;    // null until rebound
    PyObject* dict;
    PyObject* weakreflist;
};

/// Creates the function type (a new heap type), or null with an exception set.
PyTypeObject* function_type_new() noexcept;

/// A new function object of `type` for `def`, holding references of its own to
/// the other arguments; or null with an exception set.
PyObject* function_new(PyTypeObject* type, PyMethodDef* def, PyObject* qualname,
                       PyObject* module, PyObject* globals, PyObject* code) noexcept;

/// Stores `annotations` (a dict) as the function's annotations.
void function_set_annotations(PyObject* function, PyObject* annotations) noexcept;

} // namespace dwex

#endif
