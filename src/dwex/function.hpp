// function.hpp: the type of the module's two function objects, `stringify` and
// `parse`, which are called through vectorcall and inspected like Python
// functions.
#ifndef DWEX_FUNCTION_HPP
#define DWEX_FUNCTION_HPP

#include <Python.h>

namespace dwex {

// Invariants: `def`, `qualname`, `globals` and `code` are set for the whole
// life of the object (only tp_clear, on the way out, nulls the object fields).
// `name` and `doc` stay null until their first read makes them from `def`.
// A null `defaults`, `kwdefaults` or `annotations` reads as None (an empty
// annotations dict is made on read). The module name and a rebound
// `__annotate__` live in the attribute dict, not in fields. Every field but
// `def`, `vectorcall` and `weakreflist` is an owned reference that
// traverse and clear cover.
struct FunctionObject {
    PyObject ob_base; // PyObject_HEAD, spelled out so that formatting keeps it apart
    vectorcallfunc vectorcall;
    PyMethodDef* def; // static; its ml_meth is the binding step
    PyObject* name;   // made from def->ml_name on first read, else null
    PyObject* doc;    // made from def->ml_doc on first read, else null; None once deleted
    PyObject* qualname;
    PyObject* globals;
    PyObject* code;
    PyObject* defaults;    // null means None
    PyObject* kwdefaults;  // null means None
    PyObject* annotations; // null means none stored
    PyObject* dict;        // the attribute dict
    PyObject* weakreflist;
};

/// Creates the function type (a new heap type), or null with an exception set.
PyTypeObject* function_type_new() noexcept;

/// A new function object of `type` for `def`, holding references of its own to
/// the other arguments; `module` goes into its attribute dict as `__module__`.
/// Null with an exception set on failure.
PyObject* function_new(PyTypeObject* type, PyMethodDef* def, PyObject* qualname, PyObject* module,
                       PyObject* globals, PyObject* code) noexcept;

/// Stores `annotations` (a dict) as the function's annotations.
void function_set_annotations(PyObject* function, PyObject* annotations) noexcept;

} // namespace dwex

#endif
