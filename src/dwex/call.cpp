// call.cpp: the binding steps of `stringify` and `parse`: one parameter, by
// position or by keyword, every other call shape a TypeError; and the type
// test that admits only an exact str to `parse`.
#include "dwex/call.hpp"

#include "dwex/codec.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/ref.hpp"
#include "dwex/source_lines.hpp"
#include "dwex/state.hpp"
#include "dwex/traceback.hpp"

#include <cstring>

namespace dwex {
namespace {

struct Signature {
    const char* name;           // as in messages: "stringify"
    const char* qualified_name; // as in traceback entries: "dwex.stringify"
    Text parameter;
    int line;
};

constexpr Signature stringify_signature{"stringify", "dwex.stringify", Text::lists,
                                        source_lines::stringify::binding};
constexpr Signature parse_signature{"parse", "dwex.parse", Text::dwex,
                                    source_lines::parse::binding};

[[gnu::cold]] void raise_count(const Signature& sig, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, "exactly", Py_ssize_t{1}, "", given);
}

// Whether a keyword name equals the parameter name: 1, 0, or -1 with an
// exception set. Exact str names compare by hash, then by their code units.
int same_name(const Signature& sig, PyObject* parameter, PyObject* key) noexcept {
    if (PyUnicode_CheckExact(key)) {
        Py_hash_t hash = layout::cached_hash(key);
        if (hash == -1 && (hash = PyObject_Hash(key)) == -1) {
            return -1;
        }
        if (hash != layout::cached_hash(parameter)) {
            return 0;
        }
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const int kind = PyUnicode_KIND(key);
        return length == PyUnicode_GET_LENGTH(parameter) && kind == PyUnicode_KIND(parameter) &&
               std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(parameter),
                           static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
    }
    if (PyUnicode_Check(key)) {
        return PyObject_RichCompareBool(parameter, key, Py_EQ);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
    return -1;
}

// Binds the single parameter: a borrowed pointer to the value, or null with
// an exception set (the traceback entry is the caller's to add).
PyObject* bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) noexcept {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs != 1) {
            raise_count(sig, nargs);
            return nullptr;
        }
        return args[0];
    }
    if (nargs >= 2) {
        raise_count(sig, nargs);
        return nullptr;
    }
    PyObject* parameter = state.str(sig.parameter);
    const bool by_position = nargs == 1;
    PyObject* value = by_position ? args[0] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!by_position && key == parameter) {
            value = args[nargs + k];
            continue;
        }
        const int match = same_name(sig, parameter, key);
        if (match < 0) {
            return nullptr;
        }
        if (match == 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return nullptr;
        }
        if (by_position) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return nullptr;
        }
        value = args[nargs + k];
    }
    if (value == nullptr) {
        raise_count(sig, 0);
    }
    return value;
}

// The parse argument must be exactly a str. The failure adds no traceback
// entry: the caller's traceback ends at the calling line.
[[gnu::cold]] void raise_not_str(PyObject* value) noexcept {
    PyTypeObject* type = Py_TYPE(value);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "dwex",
                 PyUnicode_Type.tp_name, type->tp_name);
    if (PyType_IsSubtype(type, &PyUnicode_Type) == 0) {
        return;
    }
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    PyObject* call_args[] = {exception.get(), state.str(Text::str_subclass_note)};
    Ref ignored =
        Ref::steal(PyObject_VectorcallMethod(state.str(Text::add_note), call_args, 2, nullptr));
    if (!ignored) {
        PyErr_Clear(); // the TypeError is what the caller gets
    }
    PyErr_SetRaisedException(exception.release());
}

} // namespace

PyObject* stringify_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    PyObject* value = bind(stringify_signature, args, nargs, kwnames);
    if (value == nullptr) {
        return fail_at(stringify_signature.qualified_name, stringify_signature.line);
    }
    Ref held = Ref::borrow(value);
    return stringify_body(value);
}

PyObject* parse_call(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    PyObject* value = bind(parse_signature, args, nargs, kwnames);
    if (value == nullptr) {
        return fail_at(parse_signature.qualified_name, parse_signature.line);
    }
    if (!PyUnicode_CheckExact(value)) {
        raise_not_str(value);
        return nullptr;
    }
    Ref held = Ref::borrow(value);
    return parse_body(value);
}

} // namespace dwex
