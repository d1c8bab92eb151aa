// reader_functions.cpp: read(), which opens a document as a Stream, and
// schema(), the schema of string columns that a Stream's batches carry.
#include "dwexio/arrow/capsules.hpp"
#include "dwexio/arrow/functions.hpp"
#include "dwexio/arrow/reader.hpp"
#include "dwexio/arrow/stream.hpp"
#include "dwexio/state.hpp"

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace dwexio {
namespace {

/// read(file, owned, names, header, batch_rows, n_rows, layout, label, threads, window, /) ->
/// Stream
PyObject* read(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 10 || (args[2] != Py_None && !PyList_Check(args[2])) ||
        (args[7] != Py_None && !PyUnicode_Check(args[7]))) {
        PyErr_SetString(
            PyExc_TypeError,
            "read() takes a file, two flags, a list of names or None, "
            "two row counts, a layout, a label or None, a thread count and a window size");
        return nullptr;
    }
    const int owned = PyObject_IsTrue(args[1]);
    TableReader::Options options;
    const int header = PyObject_IsTrue(args[3]);
    options.batch_rows = PyLong_AsLongLong(args[4]);
    options.n_rows = PyLong_AsLongLong(args[5]);
    const long layout = PyLong_AsLong(args[6]);
    options.threads = PyLong_AsLongLong(args[8]);
    options.window = PyLong_AsLongLong(args[9]);
    if (owned < 0 || header < 0 || PyErr_Occurred()) {
        return nullptr;
    }
    if (options.threads < 1 || options.window < 0 || (options.threads > 1 && options.window == 0)) {
        PyErr_SetString(
            PyExc_ValueError,
            "read(): threads must be positive, and so must window on more than one thread");
        return nullptr;
    }
    if (layout < 0 || layout > static_cast<long>(arrow::Layout::string_view)) {
        PyErr_SetString(PyExc_ValueError, "read(): no such layout");
        return nullptr;
    }
    options.names = args[2] == Py_None ? nullptr : args[2];
    options.header = header != 0;
    options.layout = static_cast<arrow::Layout>(layout);
    options.label = args[7] == Py_None ? nullptr : args[7];
    options.not_utf8 = state_of(module).not_utf8_type.get();
    std::unique_ptr<TableReader> reader{TableReader::open(args[0], owned, options)};
    if (!reader) {
        return nullptr;
    }
    return new_stream(module, std::move(reader), options.layout);
}

/// schema(names, layout, /) -> the capsule of a schema of string columns.
PyObject* schema(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2 || !PyList_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "schema() takes a list of names and a layout");
        return nullptr;
    }
    const long layout = PyLong_AsLong(args[1]);
    if (layout == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (layout < 0 || layout > static_cast<long>(arrow::Layout::string_view)) {
        PyErr_SetString(PyExc_ValueError, "schema(): no such layout");
        return nullptr;
    }
    std::vector<std::string> names;
    try {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(args[0]); ++k) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(args[0], k), &size);
            if (text == nullptr) {
                return nullptr;
            }
            names.emplace_back(text, static_cast<std::size_t>(size));
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return schema_capsule(names, static_cast<arrow::Layout>(layout));
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     "read(file, owned, names, header, batch_rows, n_rows, layout, label, threads, window, "
     "/)\n--\n\n"
     "A Stream of the document in `file`, read as far as its schema."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema)), METH_FASTCALL,
     "schema(names, layout, /)\n--\n\nThe Arrow C schema of string columns with these names, in a "
     "capsule."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_reader_functions(PyObject* module) noexcept {
    return PyModule_AddFunctions(module, reader_methods) == 0;
}

} // namespace dwexio
