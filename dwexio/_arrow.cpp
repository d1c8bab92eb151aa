// _arrow.cpp: dwexio's private Arrow module. Stream hands a document's rows
// out as Arrow record batches, through the PyCapsule stream interface or one
// Batch at a time; write() takes a producer's batches to a DWEX document.
// dwexio/_arrow.py wraps both in read_arrow and write_arrow.
#include "arrow_plan.hpp"
#include "arrow_reader.hpp"
#include "arrow_writer.hpp"

#include "alloc_faults.hpp"
#include "ref.hpp"

#include <cerrno>
#include <memory>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;

constexpr const char* schema_capsule_name = "arrow_schema";
constexpr const char* array_capsule_name = "arrow_array";
constexpr const char* stream_capsule_name = "arrow_array_stream";

// --- capsules ------------------------------------------------------------------

void release_schema_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<ArrowSchema> schema{static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, schema_capsule_name))};
    if (schema && schema->release != nullptr) {
        schema->release(schema.get());
    }
}

void release_array_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<ArrowArray> array{static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, array_capsule_name))};
    if (array && array->release != nullptr) {
        array->release(array.get());
    }
}

void release_stream_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<ArrowArrayStream> stream{static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, stream_capsule_name))};
    if (stream && stream->release != nullptr) {
        stream->release(stream.get());
    }
}

/// A capsule owning a new schema of these columns.
PyObject* schema_capsule(const std::vector<std::string>& names, arrow::Layout layout) noexcept {
    std::unique_ptr<ArrowSchema> schema{new (std::nothrow) ArrowSchema{}};
    if (!schema || !arrow::export_schema(names, arrow::format_of(layout), schema.get())) {
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(schema.get(), schema_capsule_name, release_schema_capsule);
    if (capsule == nullptr) {
        schema->release(schema.get());
        return nullptr;
    }
    schema.release(); // the capsule's now
    return capsule;
}

// --- the C stream over a reader ------------------------------------------------

TableReader* reader_of(ArrowArrayStream* stream) noexcept {
    return static_cast<TableReader*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    const TableReader* reader = reader_of(stream);
    return arrow::export_schema(reader->names(), arrow::format_of(reader->layout()), out) ? 0 : ENOMEM;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    TableReader* reader = reader_of(stream);
    if (reader->next(out)) {
        return 0;
    }
    return reader->out_of_memory() ? ENOMEM : EIO;
}

const char* stream_get_last_error(ArrowArrayStream* stream) noexcept {
    return reader_of(stream)->message();
}

void stream_release(ArrowArrayStream* stream) noexcept {
    // Ending a reader may release Python objects, and this may be any thread.
    std::unique_ptr<TableReader> reader{reader_of(stream)};
    const PyGILState_STATE gil = PyGILState_Ensure();
    reader.reset();
    PyGILState_Release(gil);
    stream->release = nullptr;
}

// --- Stream and Batch ------------------------------------------------------------

/// A Stream's own state, made in place once its object is allocated and
/// ended by its dealloc.
struct StreamState {
    std::unique_ptr<TableReader> reader; // null once exported or finished
    std::vector<std::string> names;
    arrow::Layout layout;
    bool started = false;
    bool busy = false; // a thread is in next() with the GIL released
};

struct StreamObject {
    PyObject_HEAD
    StreamState state;
};

StreamState& state_of(PyObject* self) noexcept { return reinterpret_cast<StreamObject*>(self)->state; }

struct BatchObject {
    PyObject_HEAD
    PyObject* stream; // for the column names
    ArrowArray array;
};

PyTypeObject* batch_type = nullptr;

void stream_dealloc(PyObject* self) noexcept {
    std::destroy_at(&state_of(self));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* consumed() noexcept {
    PyErr_SetString(PyExc_ValueError, "this Arrow stream has already been consumed");
    return nullptr;
}

PyObject* stream_export(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    // requested_schema may be given and is ignored: the columns are strings.
    if (nargs > 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) + nargs > 1)) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most one argument");
        return nullptr;
    }
    StreamState* s = &state_of(self);
    if (s->reader == nullptr || s->started) {
        return consumed();
    }
    std::unique_ptr<ArrowArrayStream> stream{new (std::nothrow) ArrowArrayStream{
        stream_get_schema, stream_get_next, stream_get_last_error, stream_release, s->reader.get()}};
    if (!stream) {
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(stream.get(), stream_capsule_name, release_stream_capsule);
    if (capsule == nullptr) {
        return nullptr;
    }
    stream.release(); // the capsule's now, and the reader with it
    s->reader.release();
    return capsule;
}

PyObject* stream_schema(PyObject* self, PyObject*) noexcept {
    StreamState* s = &state_of(self);
    return schema_capsule(s->names, s->layout);
}

/// select(columns, /): builds only these columns (a list of 0-based indices), before any batch.
PyObject* stream_select(PyObject* self, PyObject* columns) noexcept {
    StreamState* s = &state_of(self);
    if (!PyList_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "select() takes a list of column indices");
        return nullptr;
    }
    if (s->reader == nullptr || s->started) {
        return consumed();
    }
    std::vector<std::size_t> chosen;
    try {
        chosen.resize(static_cast<std::size_t>(PyList_GET_SIZE(columns)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        chosen[k] = PyLong_AsSize_t(PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(k)));
        if (chosen[k] == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            return nullptr;
        }
    }
    if (!s->reader->select(chosen)) {
        return nullptr;
    }
    try {
        s->names = s->reader->names();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

/// close(): lets the file go (closing it where the stream opened it); a
/// stream already handed to a consumer is the consumer's to finish.
PyObject* stream_close(PyObject* self, PyObject*) noexcept {
    StreamState* s = &state_of(self);
    if (s->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this Arrow stream is being read by another thread");
        return nullptr;
    }
    s->started = true;
    s->reader.reset();
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* stream_names(PyObject* self, void*) noexcept {
    const auto& names = state_of(self).names;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t k = 0; list && k < names.size(); ++k) {
        PyObject* name = PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), name);
    }
    return list.release();
}

PyObject* stream_next(PyObject* self) noexcept {
    StreamState* s = &state_of(self);
    if (s->busy) {
        PyErr_SetString(PyExc_RuntimeError, "this Arrow stream is being read by another thread");
        return nullptr;
    }
    if (s->reader == nullptr) {
        if (!s->started) {
            return consumed();
        }
        return nullptr; // finished: StopIteration
    }
    s->started = true;
    auto* batch = PyObject_New(BatchObject, batch_type);
    if (batch == nullptr) {
        return nullptr;
    }
    batch->array.release = nullptr;
    batch->stream = Py_NewRef(self);
    bool ok;
    TableReader* reader = s->reader.get();
    s->busy = true;
    Py_BEGIN_ALLOW_THREADS
    ok = reader->next(&batch->array);
    Py_END_ALLOW_THREADS
    s->busy = false;
    if (!ok || batch->array.release == nullptr) {
        Py_DECREF(batch);
        if (!ok) {
            reader->raise();
        }
        s->reader.reset();
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(batch);
}

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_export)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\n"
     "The rows as an Arrow C stream in a capsule; a stream is consumed once."},
    {"_schema", stream_schema, METH_NOARGS, "The schema as an Arrow C schema in a capsule."},
    {"select", stream_select, METH_O,
     "select(columns, /)\n--\n\nBuilds only these columns (0-based indices, in this order)."},
    {"close", stream_close, METH_NOARGS, "close()\n--\n\nLets the file go; the stream gives no more batches."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"names", stream_names, nullptr, "The column names.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>("A DWEX document read as Arrow record batches of strings.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {"dwexio._arrow.Stream", sizeof(StreamObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, stream_slots};

void batch_dealloc(PyObject* self) noexcept {
    auto* b = reinterpret_cast<BatchObject*>(self);
    if (b->array.release != nullptr) {
        b->array.release(&b->array);
    }
    Py_XDECREF(b->stream);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* batch_export(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs > 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) + nargs > 1)) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() takes at most one argument");
        return nullptr;
    }
    auto* b = reinterpret_cast<BatchObject*>(self);
    if (b->array.release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "this Arrow batch has already been consumed");
        return nullptr;
    }
    const StreamState& owner = state_of(b->stream);
    Ref schema = Ref::steal(schema_capsule(owner.names, owner.layout));
    if (!schema) {
        return nullptr;
    }
    std::unique_ptr<ArrowArray> array{new (std::nothrow) ArrowArray(b->array)};
    if (!array) {
        return PyErr_NoMemory();
    }
    Ref capsule = Ref::steal(PyCapsule_New(array.get(), array_capsule_name, release_array_capsule));
    if (!capsule) {
        return nullptr;
    }
    array.release(); // the capsule's now
    b->array.release = nullptr; // the capsule owns it now
    return PyTuple_Pack(2, schema.get(), capsule.get());
}

PyObject* batch_rows(PyObject* self, void*) noexcept {
    return PyLong_FromLongLong(reinterpret_cast<BatchObject*>(self)->array.length);
}

PyMethodDef batch_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_export)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_array__(requested_schema=None)\n--\n\n"
     "The batch as an Arrow C schema and array in capsules; exported once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"num_rows", batch_rows, nullptr, "The number of rows.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batch_dealloc)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {Py_tp_doc, const_cast<char*>("One record batch of a Stream.")},
    {0, nullptr},
};

PyType_Spec batch_spec = {"dwexio._arrow.Batch", sizeof(BatchObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, batch_slots};

// --- functions -------------------------------------------------------------------

PyTypeObject* stream_type = nullptr;

/// read(file, owned, names, header, batch_rows, n_rows, layout, label, threads, window, /) -> Stream
PyObject* read(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 10 || (args[2] != Py_None && !PyList_Check(args[2])) ||
        (args[7] != Py_None && !PyUnicode_Check(args[7]))) {
        PyErr_SetString(PyExc_TypeError, "read() takes a file, two flags, a list of names or None, "
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
        PyErr_SetString(PyExc_ValueError, "read(): threads must be positive, and so must window on more than one thread");
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
    std::unique_ptr<TableReader> reader{TableReader::open(args[0], owned, options)};
    if (!reader) {
        return nullptr;
    }
    std::vector<std::string> names;
    try {
        names = reader->names();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    auto* s = PyObject_New(StreamObject, stream_type);
    if (s == nullptr) {
        return nullptr;
    }
    new (&s->state) StreamState{std::move(reader), std::move(names), options.layout};
    return reinterpret_cast<PyObject*>(s);
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

/// write(source, file, text_file, header, null, /): `source` is a stream
/// capsule or a (schema, array) pair of capsules; checked before the file is touched
/// by check(), which returns the writer to pass here.
PyObject* write(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "write() takes five arguments");
        return nullptr;
    }
    const int text_file = PyObject_IsTrue(args[2]);
    const int header = PyObject_IsTrue(args[3]);
    if (text_file < 0 || header < 0) {
        return nullptr;
    }
    PyObject* null = args[4] == Py_None ? nullptr : args[4];
    if (null != nullptr && !PyUnicode_Check(null)) {
        PyErr_Format(PyExc_TypeError, "null must be a str or None, not %.200s", Py_TYPE(null)->tp_name);
        return nullptr;
    }
    PyObject* writer_capsule = args[0];
    auto* writer = static_cast<TableWriter*>(PyCapsule_GetPointer(writer_capsule, "dwexio.TableWriter"));
    if (writer == nullptr) {
        return nullptr;
    }
    if (!writer->write(args[1], text_file, header, null)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

void release_writer_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<TableWriter> writer{
        static_cast<TableWriter*>(PyCapsule_GetPointer(capsule, "dwexio.TableWriter"))};
}

/// writer(source, /) -> a capsule holding the writer of `source`: a stream
/// capsule, or a (schema capsule, array capsule) pair. Raises TypeError for a
/// column that is not of strings, and leaves `source` unread then, for
/// pyarrow to give typed columns their text.
PyObject* writer(PyObject*, PyObject* source) noexcept {
    std::unique_ptr<TableWriter> owned{new (std::nothrow) TableWriter};
    if (!owned) {
        return PyErr_NoMemory();
    }
    Ref capsule = Ref::steal(PyCapsule_New(owned.get(), "dwexio.TableWriter", release_writer_capsule));
    if (!capsule) {
        return nullptr;
    }
    TableWriter* w = owned.release(); // the capsule's now
    bool ok;
    if (PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2) {
        auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(source, 0), schema_capsule_name));
        auto* array = schema ? static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(source, 1), array_capsule_name))
                             : nullptr;
        if (array == nullptr) {
            return nullptr;
        }
        if (schema->release == nullptr || array->release == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the Arrow batch has already been consumed");
            return nullptr;
        }
        ok = w->adopt_array(schema, array);
        if (!ok) {
            w->give_back(nullptr, schema, array);
        }
    } else {
        auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(source, stream_capsule_name));
        if (stream == nullptr) {
            return nullptr;
        }
        if (stream->release == nullptr) {
            PyErr_SetString(PyExc_ValueError, "the Arrow stream has already been consumed");
            return nullptr;
        }
        ok = w->adopt_stream(stream);
        if (!ok) {
            w->give_back(stream, nullptr, nullptr);
        }
    }
    return ok ? capsule.release() : nullptr;
}

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
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read)), METH_FASTCALL,
     "read(file, owned, names, header, batch_rows, n_rows, layout, label, threads, window, /)\n--\n\n"
     "A Stream of the document in `file`, read as far as its schema."},
    {"schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(schema)), METH_FASTCALL,
     "schema(names, layout, /)\n--\n\nThe Arrow C schema of string columns with these names, in a capsule."},
    {"writer", writer, METH_O,
     "writer(source, /)\n--\n\n"
     "The writer of an Arrow stream capsule or (schema, array) capsule pair,\n"
     "once every column is known to hold strings."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write)), METH_FASTCALL,
     "write(writer, file, text_file, header, null, /)\n--\n\n"
     "Writes the writer's rows to `file` as a DWEX document."},
#ifdef DWEX_ALLOC_FAULTS
    {"_fail_allocations", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fail_allocations)),
     METH_FASTCALL, "_fail_allocations(start, stop, /)\n--\n\nMakes the module's own allocations fail (a test build's)."},
#endif
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) noexcept {
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &stream_spec, nullptr));
    if (stream_type == nullptr || PyModule_AddType(module, stream_type) < 0) {
        return -1;
    }
    batch_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &batch_spec, nullptr));
    if (batch_type == nullptr || PyModule_AddType(module, batch_type) < 0) {
        return -1;
    }
    return add_reader_types(module) && add_plan_functions(module) ? 0 : -1;
}

// The stream's callbacks take the GIL through PyGILState, which serves the
// main interpreter only.
PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "dwexio._arrow",
    "DWEX documents read into and written from Arrow record batches.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace dwexio

PyMODINIT_FUNC PyInit__arrow() { return PyModuleDef_Init(&dwexio::definition); }
