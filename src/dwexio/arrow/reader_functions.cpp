// reader_functions.cpp: read(), which opens a document as a Stream, schema(),
// the schema of string columns that a Stream's batches carry, and the sizes
// the Python readers share with the native ones.
#include "dwexio/arrow/capsules.hpp"
#include "dwexio/arrow/functions.hpp"
#include "dwexio/arrow/reader.hpp"
#include "dwexio/arrow/stream.hpp"
#include "dwexio/state.hpp"

#include "core/read_sizes.hpp"

#include <memory>
#include <new>
#include <string>
#include <vector>

namespace dwexio {
namespace {

/// The layout numbered `layout`, or false with ValueError set.
bool layout_of(long layout, const char* function, arrow::Layout& out) noexcept {
    if (layout < 0 || layout > static_cast<long>(arrow::Layout::string_view)) {
        PyErr_Format(PyExc_ValueError, "%s(): no such layout", function);
        return false;
    }
    out = static_cast<arrow::Layout>(layout);
    return true;
}

/// read(file, /, *, owned=False, names=None, header=False, batch_rows=65536,
/// n_rows=-1, layout=0, label=None, threads=1, window=0) -> Stream
PyObject* read(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
    static const char* keywords[] = {"",       "owned", "names",   "header", "batch_rows", "n_rows",
                                     "layout", "label", "threads", "window", nullptr};
    PyObject* file = nullptr;
    PyObject* names = Py_None;
    PyObject* label = Py_None;
    int owned = 0;
    int header = 0;
    int layout = 0;
    ReadOptions options;
    long long batch_rows = options.batch_rows;
    long long n_rows = options.n_rows;
    long long threads = options.threads;
    long long window = options.window;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pOpLLiOLL:read",
                                     const_cast<char**>(keywords), &file, &owned, &names, &header,
                                     &batch_rows, &n_rows, &layout, &label, &threads, &window)) {
        return nullptr;
    }
    if ((names != Py_None && !PyList_Check(names)) ||
        (label != Py_None && !PyUnicode_Check(label))) {
        PyErr_SetString(PyExc_TypeError,
                        "read(): names must be a list of str or None, and label a str or None");
        return nullptr;
    }
    if (batch_rows < 1 || n_rows < -1 || threads < 1 || window < 0 ||
        (threads > 1 && window == 0)) {
        PyErr_SetString(PyExc_ValueError,
                        "read(): batch_rows and threads must be positive, n_rows at least -1, and "
                        "window positive on more than one thread");
        return nullptr;
    }
    if (!layout_of(layout, "read", options.layout)) {
        return nullptr;
    }
    options.owned = owned != 0;
    options.names = names == Py_None ? nullptr : names;
    options.header = header != 0;
    options.batch_rows = batch_rows;
    options.n_rows = n_rows;
    options.label = label == Py_None ? nullptr : label;
    options.not_utf8 = state_of(module).not_utf8_type.get();
    options.threads = threads;
    options.window = window;
    std::unique_ptr<TableReader> reader{TableReader::open(file, options)};
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
    const long number = PyLong_AsLong(args[1]);
    arrow::Layout layout = arrow::Layout::string;
    if ((number == -1 && PyErr_Occurred()) || !layout_of(number, "schema", layout)) {
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
    return schema_capsule(names, layout);
}

PyMethodDef reader_methods[] = {
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)),
     METH_VARARGS | METH_KEYWORDS,
     "read(file, /, *, owned=False, names=None, header=False, batch_rows=65536, n_rows=-1, "
     "layout=0, label=None, threads=1, window=0)\n--\n\n"
     "A Stream of the document in `file`, read as far as its schema."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema)), METH_FASTCALL,
     "schema(names, layout, /)\n--\n\nThe Arrow C schema of string columns with these names, in a "
     "capsule."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_reader_functions(PyObject* module) noexcept {
    namespace sizes = dwex::codec::sizes;
    return PyModule_AddFunctions(module, reader_methods) == 0 &&
           PyModule_AddIntConstant(module, "BATCH_ROWS", ReadOptions::default_batch_rows) == 0 &&
           PyModule_AddIntConstant(module, "CHUNK_BYTES", sizes::chunk_bytes) == 0 &&
           PyModule_AddIntConstant(module, "WINDOW_BYTES", sizes::window_bytes) == 0;
}

} // namespace dwexio
