// function.cpp: the function type of `stringify` and `parse`: creation, the
// vectorcall and generic call slots, method binding and garbage collection.
#include "function.hpp"

#include "ref.hpp"

#include <cstddef>
#include <memory>
#include <new>

namespace dwex {
namespace {

FunctionObject* as_function(PyObject* self) noexcept { return reinterpret_cast<FunctionObject*>(self); }

// The binding step of the function, entered with the function object in the
// first place (where it is ignored) and the vectorcall offset flag cleared.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) noexcept {
    auto entry = reinterpret_cast<PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)(void)>(as_function(self)->def->ml_meth));
    return entry(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// The generic call path: a tuple of positional values and an optional dict of
// keyword values are turned into one vectorcall argument array.
PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return function_vectorcall(self, positional, static_cast<std::size_t>(nargs), nullptr);
    }
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    std::unique_ptr<PyObject*[]> stack(new (std::nothrow) PyObject*[static_cast<std::size_t>(nargs + nkw)]);
    if (!stack) {
        PyErr_NoMemory();
        return nullptr;
    }
    Ref names = Ref::steal(PyTuple_New(nkw));
    if (!names) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < nargs; ++k) {
        stack[static_cast<std::size_t>(k)] = positional[k];
    }
    // The values stay borrowed from the dict, which the caller keeps alive for
    // the call; the keys are owned by the names tuple.
    Py_ssize_t pos = 0;
    Py_ssize_t k = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
        stack[static_cast<std::size_t>(nargs + k)] = value;
        ++k;
    }
    return function_vectorcall(self, stack.get(), static_cast<std::size_t>(nargs), names.get());
}

// Through an instance a function binds as a method; through its class, or
// with no instance, it is the function itself.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->doc);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->annotate);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->annotate);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "dwex.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

} // namespace

PyTypeObject* function_type_new() noexcept {
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
}

PyObject* function_new(PyTypeObject* type, PyMethodDef* def, PyObject* qualname, PyObject* module,
                       PyObject* globals, PyObject* code) noexcept {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (f == nullptr) {
        return nullptr;
    }
    // No failure from here on: dealloc expects every field set or null.
    f->vectorcall = function_vectorcall;
    f->def = def;
    f->name = nullptr;
    f->doc = nullptr;
    f->doc_made = 0;
    f->qualname = Py_NewRef(qualname);
    f->module = Py_NewRef(module);
    f->globals = Py_NewRef(globals);
    f->code = Py_NewRef(code);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->annotate = nullptr;
    f->dict = dict.release(); // the object now owns its attribute dict
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

void function_set_annotations(PyObject* function, PyObject* annotations) noexcept {
    FunctionObject* f = as_function(function);
    PyObject* old = f->annotations;
    f->annotations = Py_NewRef(annotations);
    Py_XDECREF(old);
}

} // namespace dwex
