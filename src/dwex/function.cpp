// function.cpp: the function type of `stringify` and `parse`: creation, the
// vectorcall and generic call slots, method binding, garbage collection, and
// the attributes that Python code reads and sets on them.
#include "dwex/function.hpp"

#include "dwex/ref.hpp"

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

namespace dwex {
namespace {

FunctionObject* as_function(PyObject* self) noexcept {
    return reinterpret_cast<FunctionObject*>(self);
}

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
    std::unique_ptr<PyObject*[]> stack(new (std::nothrow)
                                           PyObject*[static_cast<std::size_t>(nargs + nkw)]);
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
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
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

// ---- attributes

// Holds the object's critical section for one scope: a per-object lock on the
// free-threaded build, nothing on the GIL build.
class ObjectLock {
  public:
    explicit ObjectLock(PyObject* op) noexcept { PyCriticalSection_Begin(&section_, op); }
    ~ObjectLock() { PyCriticalSection_End(&section_); }
    ObjectLock(const ObjectLock&) = delete;
    ObjectLock& operator=(const ObjectLock&) = delete;

  private:
    PyCriticalSection section_;
};

// Interned "__annotate__", the attribute-dict key under which a rebound
// `__annotate__` lives. Owned, made once at import and never released.
PyObject* annotate_key = nullptr;

PyObject* new_ref_or_none(PyObject* p) noexcept { return Py_NewRef(p != nullptr ? p : Py_None); }

// Puts `value` (borrowed; null empties the field) into `field` under the
// object's lock. The old value is released after the lock is dropped, so
// whatever its release runs already sees the new value.
void replace_field(PyObject* self, PyObject*& field, PyObject* value) noexcept {
    Ref old;
    {
        ObjectLock lock(self);
        old = Ref::steal(std::exchange(field, Py_XNewRef(value)));
    }
}

int reject(const char* message) noexcept {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

// ---- names and docstring

PyObject* function_get_name(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    ObjectLock lock(self);
    if (f->name == nullptr) {
        // Made under the lock, so two first readers get the same object.
        f->name = PyUnicode_InternFromString(f->def->ml_name);
        if (f->name == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->name);
}

int function_set_name(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        return reject("__name__ must be set to a string object");
    }
    replace_field(self, as_function(self)->name, value);
    return 0;
}

PyObject* function_get_qualname(PyObject* self, void*) noexcept {
    ObjectLock lock(self);
    return new_ref_or_none(as_function(self)->qualname);
}

int function_set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        return reject("__qualname__ must be set to a string object");
    }
    replace_field(self, as_function(self)->qualname, value);
    return 0;
}

PyObject* function_get_doc(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    ObjectLock lock(self);
    if (f->doc == nullptr) {
        f->doc =
            f->def->ml_doc != nullptr ? PyUnicode_FromString(f->def->ml_doc) : Py_NewRef(Py_None);
        if (f->doc == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->doc);
}

// Any object is a docstring; deleting it stores None, which also keeps the
// first read from making the text again.
int function_set_doc(PyObject* self, PyObject* value, void*) noexcept {
    replace_field(self, as_function(self)->doc, value != nullptr ? value : Py_None);
    return 0;
}

// ---- defaults: stored and shown, never used, since the binding knows no defaults

PyObject* function_get_defaults(PyObject* self, void*) noexcept {
    ObjectLock lock(self);
    return new_ref_or_none(as_function(self)->defaults);
}

PyObject* function_get_kwdefaults(PyObject* self, void*) noexcept {
    ObjectLock lock(self);
    return new_ref_or_none(as_function(self)->kwdefaults);
}

// Stores None (also for a delete) or a value that passes `accepts`. An accepted
// store warns first, at the caller's line, and stores nothing if the warning
// was turned into an error.
int store_unused_default(PyObject* self, PyObject*& field, PyObject* value, bool accepts,
                         const char* type_error, const char* warning) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !accepts) {
        return reject(type_error);
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) {
        return -1;
    }
    replace_field(self, field, value);
    return 0;
}

int function_set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return store_unused_default(
        self, as_function(self)->defaults, value, value != nullptr && PyTuple_Check(value),
        "__defaults__ must be set to a tuple object",
        "changes to __defaults__ will not affect the values used in function calls");
}

int function_set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return store_unused_default(
        self, as_function(self)->kwdefaults, value, value != nullptr && PyDict_Check(value),
        "__kwdefaults__ must be set to a dict object",
        "changes to __kwdefaults__ will not affect the values used in function calls");
}

// ---- annotations

// The stored dict itself; with none stored, a new empty dict becomes the
// stored one, so that readers always get a dict they can fill.
PyObject* function_get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    ObjectLock lock(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int function_set_annotations_attr(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        return reject("__annotations__ must be set to a dict object");
    }
    FunctionObject* f = as_function(self);
    Ref old; // released after the lock is dropped
    ObjectLock lock(self);
    old = Ref::steal(std::exchange(f->annotations, Py_XNewRef(value)));
    // Annotations set by hand replace what any annotate function would give:
    // `__annotate__` reads None from here on.
    if (f->dict != nullptr) {
        return PyDict_SetItem(f->dict, annotate_key, Py_None);
    }
    return 0;
}

// The default `__annotate__`, bound to the function: the format is ignored and
// the answer is always `__annotations__`, whose values are already strings.
PyObject* function_annotate_default(PyObject* self, PyObject*) noexcept {
    return function_get_annotations(self, nullptr);
}

PyMethodDef annotate_default_def = {
    "__annotate__",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function_annotate_default)),
    METH_O, "Return the function's __annotations__, in every format."};

// A rebound `__annotate__` (or the None recorded by a store into
// `__annotations__`) lives in the attribute dict; without one the default is
// a new bound builtin on every read, like a bound method.
PyObject* function_get_annotate(PyObject* self, void*) noexcept {
    Ref dict;
    {
        ObjectLock lock(self);
        dict = Ref::borrow(as_function(self)->dict);
    }
    if (dict) {
        PyObject* found = nullptr;
        const int status = PyDict_GetItemRef(dict.get(), annotate_key, &found);
        if (status != 0) {
            return found; // the value, or null with the lookup's error set
        }
    }
    return PyCFunction_NewEx(&annotate_default_def, self, nullptr);
}

int function_set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        return reject("__annotate__ cannot be deleted");
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        return reject("__annotate__ must be callable or None");
    }
    FunctionObject* f = as_function(self);
    ObjectLock lock(self);
    if (f->dict == nullptr) {
        f->dict = PyDict_New();
        if (f->dict == nullptr) {
            return -1;
        }
    }
    return PyDict_SetItem(f->dict, annotate_key, value);
}

// ---- fixed attributes

PyObject* function_get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// Pickling by reference: the string names the module attribute to load.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    ObjectLock lock(self);
    return new_ref_or_none(as_function(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations_attr, nullptr, nullptr},
    {"__annotate__", function_get_annotate, function_set_annotate, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    ObjectLock lock(self);
    if (f->qualname == nullptr) {
        return PyUnicode_FromFormat("<dwex function %s at %p>", f->def->ml_name,
                                    static_cast<void*>(self));
    }
    return PyUnicode_FromFormat("<dwex function %U at %p>", f->qualname, static_cast<void*>(self));
}

// `__code__` and `__globals__` never change, so they are plain read-only
// members, read without the object's lock.
PyMemberDef function_members[] = {
    {"__code__", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"func_code", Py_T_OBJECT_EX, offsetof(FunctionObject, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"func_globals", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
     nullptr},
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
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
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
    if (annotate_key == nullptr) {
        annotate_key = PyUnicode_InternFromString("__annotate__");
        if (annotate_key == nullptr) {
            return nullptr;
        }
    }
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
}

PyObject* function_new(PyTypeObject* type, PyMethodDef* def, PyObject* qualname, PyObject* module,
                       PyObject* globals, PyObject* code) noexcept {
    // The module name is an ordinary attribute of the object, so it can be
    // rebound and deleted like any other; once deleted, the type's own
    // `__module__` (also "dwex") shows through.
    Ref dict = Ref::steal(PyDict_New());
    if (!dict || PyDict_SetItemString(dict.get(), "__module__", module) < 0) {
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
    f->qualname = Py_NewRef(qualname);
    f->globals = Py_NewRef(globals);
    f->code = Py_NewRef(code);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->annotations = nullptr;
    f->dict = dict.release(); // the object now owns its attribute dict
    f->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return reinterpret_cast<PyObject*>(f);
}

void function_set_annotations(PyObject* function, PyObject* annotations) noexcept {
    FunctionObject* f = as_function(function);
    // The old value is released after the new one is stored.
    Ref old = Ref::steal(f->annotations);
    f->annotations = Py_NewRef(annotations);
}

} // namespace dwex
