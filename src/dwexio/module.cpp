// module.cpp: dwexio._native, the companion's native module. The text
// readers (text/) read a document's chunks into rows and CSV or TSV text into
// a document; the Arrow reader and writer (arrow/) read a document into Arrow
// record batches and write one from a producer's Arrow data. The Python
// package wraps them: dwexio._io.stream, dwexio._cli.delimited and
// dwexio._tables.
#include "dwexio/arrow/functions.hpp"
#include "dwexio/arrow/plan.hpp"
#include "dwexio/arrow/reader.hpp"
#include "dwexio/arrow/stream.hpp"
#include "dwexio/text/rows.hpp"

#include "testing/alloc_faults.hpp"

namespace dwexio {
namespace {

#ifdef DWEX_ALLOC_FAULTS
/// _fail_allocations(start, stop, /) -> the allocations counted since the
/// last call. From now on the module's own allocations numbered [start, stop)
/// (from 0; stop 0: all from start) fail; a negative start: none.
PyObject* fail_allocations(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_fail_allocations() takes a start and a stop");
        return nullptr;
    }
    const long long start = PyLong_AsLongLong(args[0]);
    const long long stop = PyLong_AsLongLong(args[1]);
    if (PyErr_Occurred()) {
        return nullptr;
    }
    const long long seen = dwex::faults::counted();
    dwex::faults::arm(start, stop);
    return PyLong_FromLongLong(seen);
}
#endif

PyMethodDef methods[] = {
#ifdef DWEX_ALLOC_FAULTS
    {"_fail_allocations",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fail_allocations)), METH_FASTCALL,
     "_fail_allocations(start, stop, /)\n--\n\nMakes the module's own allocations fail (a test "
     "build's)."},
#endif
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    const bool added = add_text_functions(module) && add_stream_types(module) &&
                       add_reader_types(module) && add_reader_functions(module) &&
                       add_writer_functions(module) && add_plan_functions(module);
    return added ? 0 : -1;
}

// The Arrow stream's callbacks take the GIL through PyGILState, which serves
// the main interpreter only.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "dwexio._native",
    "dwexio's native code: documents read into rows and into Arrow record batches, written from "
    "Arrow data.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace dwexio

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&dwexio::definition); }
