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
#include "dwexio/state.hpp"
#include "dwexio/text/rows.hpp"

#include "testing/alloc_faults.hpp"

#include <memory>
#include <new>

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

State*& slot_of(PyObject* module) noexcept {
    return *static_cast<State**>(PyModule_GetState(module));
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    if (const State* state = slot_of(module)) {
        Py_VISIT(state->stream_type.get());
        Py_VISIT(state->batch_type.get());
        Py_VISIT(state->not_utf8_type.get());
    }
    return 0;
}

int clear_module(PyObject* module) noexcept {
    if (State* state = slot_of(module)) {
        state->stream_type.reset();
        state->batch_type.reset();
        state->not_utf8_type.reset();
    }
    return 0;
}

void free_module(void* module) noexcept {
    const std::unique_ptr<State> state{slot_of(static_cast<PyObject*>(module))};
    slot_of(static_cast<PyObject*>(module)) = nullptr;
}

int exec_module(PyObject* module) noexcept {
    slot_of(module) = new (std::nothrow) State;
    if (slot_of(module) == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    const bool added = add_text_functions(module) && add_stream_types(module) &&
                       add_reader_types(module) && add_reader_functions(module) &&
                       add_writer_functions(module) && add_plan_functions(module);
    return added ? 0 : -1;
}

// The Arrow stream's callbacks take the interpreter through PyGILState, which
// serves the main interpreter only.
//
// Nothing here relies on the GIL for exclusion: the module state is written
// by the execution step alone; a Stream hands its reader to one thread at a
// time, claimed under a critical section on the Stream (its `busy`); a
// writer writes once, claimed by an atomic flag, and a source capsule is
// taken under a critical section on it; the reader's threads touch Python
// objects only through PyGILState, which attaches them as it would take the
// GIL; and the allocation counter of the test build is atomic. The
// free-threaded compile check (dwex_freethreaded_check) builds every source
// with the free-threaded headers, where the critical sections are real.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "dwexio._native",
    "dwexio's native code: documents read into rows and into Arrow record batches, written from "
    "Arrow data.",
    sizeof(State*),
    methods,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

} // namespace
} // namespace dwexio

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&dwexio::definition); }
