// stream.cpp: Stream and Batch, and the Arrow C stream over a reader that a
// Stream exports.
#include "dwexio/arrow/stream.hpp"

#include "dwexio/arrow/capsules.hpp"
#include "dwexio/state.hpp"

#include "dwex/ref.hpp"

#include <cerrno>
#include <memory>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;

// --- the C stream over a reader ------------------------------------------------

TableReader* reader_of(ArrowArrayStream* stream) noexcept {
    return static_cast<TableReader*>(stream->private_data);
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    const TableReader* reader = reader_of(stream);
    return arrow::export_schema(reader->names(), arrow::format_of(reader->layout()), out) ? 0
                                                                                          : ENOMEM;
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
    bool busy = false; // a thread is in next() without the interpreter
};

struct StreamObject {
    PyObject_HEAD StreamState state;
};

StreamState& stream_of(PyObject* self) noexcept {
    return reinterpret_cast<StreamObject*>(self)->state;
}

struct BatchObject {
    PyObject_HEAD PyObject* stream; // for the column names
    ArrowArray array;
};

/// Whether the Stream's reader is in use by a thread that let the
/// interpreter go, with RuntimeError set if so. Its caller holds the
/// Stream's critical section.
bool is_busy(const StreamState& s) noexcept {
    if (s.busy) {
        PyErr_SetString(PyExc_RuntimeError, "this Arrow stream is being read by another thread");
    }
    return s.busy;
}

// The reader holds the file (and the exception of a fault), which may refer
// back to the Stream.
int stream_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    const StreamState& s = stream_of(self);
    return s.reader != nullptr && !s.busy ? s.reader->traverse(visit, arg) : 0;
}

int stream_clear(PyObject* self) noexcept {
    StreamState& s = stream_of(self);
    if (!s.busy && s.reader != nullptr) {
        s.started = true;
        s.reader->clear();
    }
    return 0;
}

// The collector runs every finalizer of a cycle before it clears any of its
// objects, so an owned file is closed here while it is still whole; left to
// the reader's end, the close could reach a file the collector has cleared.
void stream_finalize(PyObject* self) noexcept {
    StreamState& s = stream_of(self);
    if (s.reader != nullptr && !s.busy) {
        s.reader->close_file();
    }
}

void stream_dealloc(PyObject* self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) {
        return; // the finalizer made it live again
    }
    PyObject_GC_UnTrack(self);
    std::destroy_at(&stream_of(self));
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* consumed() noexcept {
    PyErr_SetString(PyExc_ValueError, "this Arrow stream has already been consumed");
    return nullptr;
}

/// The Stream's reader handed over in a C stream capsule.
PyObject* export_reader(StreamState& s) noexcept {
    if (s.reader == nullptr || s.started) {
        return consumed();
    }
    std::unique_ptr<ArrowArrayStream> stream{new (std::nothrow) ArrowArrayStream{
        stream_get_schema, stream_get_next, stream_get_last_error, stream_release, s.reader.get()}};
    if (!stream) {
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(stream.get(), stream_capsule_name, release_stream_capsule);
    if (capsule == nullptr) {
        return nullptr;
    }
    stream.release(); // the capsule's now, and the reader with it
    (void)s.reader.release();
    return capsule;
}

PyObject* stream_export(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    // requested_schema may be given and is ignored: the columns are strings.
    if (nargs > 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) + nargs > 1)) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most one argument");
        return nullptr;
    }
    PyObject* capsule = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    capsule = export_reader(stream_of(self));
    Py_END_CRITICAL_SECTION();
    return capsule;
}

PyObject* stream_schema(PyObject* self, PyObject*) noexcept {
    PyObject* capsule = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    const StreamState& s = stream_of(self);
    capsule = schema_capsule(s.names, s.layout);
    Py_END_CRITICAL_SECTION();
    return capsule;
}

/// Selects `columns`, before any batch; false with an exception set.
bool select_columns(StreamState& s, PyObject* columns) noexcept {
    if (s.reader == nullptr || s.started) {
        consumed();
        return false;
    }
    std::vector<std::size_t> chosen;
    try {
        chosen.resize(static_cast<std::size_t>(PyList_GET_SIZE(columns)));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        chosen[k] = PyLong_AsSize_t(PyList_GET_ITEM(columns, static_cast<Py_ssize_t>(k)));
        if (chosen[k] == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
            return false;
        }
    }
    if (!s.reader->select(chosen)) {
        return false;
    }
    try {
        s.names = s.reader->names();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

/// select(columns, /): builds only these columns (a list of 0-based indices), before any batch.
PyObject* stream_select(PyObject* self, PyObject* columns) noexcept {
    if (!PyList_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "select() takes a list of column indices");
        return nullptr;
    }
    bool ok = false;
    Py_BEGIN_CRITICAL_SECTION2(self, columns);
    ok = select_columns(stream_of(self), columns);
    Py_END_CRITICAL_SECTION2();
    return ok ? Py_NewRef(Py_None) : nullptr;
}

/// close(): lets the file go (closing it where the stream opened it); a
/// stream already handed to a consumer is the consumer's to finish.
PyObject* stream_close(PyObject* self, PyObject*) noexcept {
    bool ok = false;
    Py_BEGIN_CRITICAL_SECTION(self);
    StreamState& s = stream_of(self);
    if (!is_busy(s)) {
        s.started = true;
        s.reader.reset();
        ok = !PyErr_Occurred();
    }
    Py_END_CRITICAL_SECTION();
    return ok ? Py_NewRef(Py_None) : nullptr;
}

PyObject* names_list(const std::vector<std::string>& names) noexcept {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t k = 0; list && k < names.size(); ++k) {
        PyObject* name =
            PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
        if (name == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), name);
    }
    return list.release();
}

PyObject* stream_names(PyObject* self, void*) noexcept {
    PyObject* list = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    list = names_list(stream_of(self).names);
    Py_END_CRITICAL_SECTION();
    return list;
}

/// The reader, claimed for one batch (`busy`); null, with no exception set
/// at the end of the rows.
TableReader* claim_reader(StreamState& s) noexcept {
    if (is_busy(s)) {
        return nullptr;
    }
    if (s.reader == nullptr) {
        if (!s.started) {
            consumed();
        }
        return nullptr;
    }
    s.started = true;
    s.busy = true;
    return s.reader.get();
}

/// Gives the reader back after a batch; at the end of the rows or on a
/// fault (`ok` false, whose exception is raised) the reader ends.
void return_reader(StreamState& s, bool ok, bool end) noexcept {
    s.busy = false;
    if (!ok) {
        s.reader->raise();
    }
    if (!ok || end) {
        s.reader.reset();
    }
}

PyObject* stream_next(PyObject* self) noexcept {
    StreamState& s = stream_of(self);
    TableReader* reader = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    reader = claim_reader(s);
    Py_END_CRITICAL_SECTION();
    if (reader == nullptr) {
        return nullptr; // with no exception set: StopIteration
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(Py_TYPE(self)).batch_type.get());
    Ref batch = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(BatchObject, type)));
    bool ok = false;
    if (batch) {
        auto* b = reinterpret_cast<BatchObject*>(batch.get());
        b->array.release = nullptr;
        b->stream = Py_NewRef(self);
        PyObject_GC_Track(b);
        Py_BEGIN_ALLOW_THREADS ok = reader->next(&b->array);
        Py_END_ALLOW_THREADS
    }
    const bool end = ok && reinterpret_cast<BatchObject*>(batch.get())->array.release == nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    if (batch) {
        return_reader(s, ok, end);
    } else {
        s.busy = false;
    }
    Py_END_CRITICAL_SECTION();
    return ok && !end ? batch.release() : nullptr;
}

PyMethodDef stream_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_export)),
     METH_FASTCALL | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\n"
     "The rows as an Arrow C stream in a capsule; a stream is consumed once."},
    {"_schema", stream_schema, METH_NOARGS, "The schema as an Arrow C schema in a capsule."},
    {"select", stream_select, METH_O,
     "select(columns, /)\n--\n\nBuilds only these columns (0-based indices, in this order)."},
    {"close", stream_close, METH_NOARGS,
     "close()\n--\n\nLets the file go; the stream gives no more batches."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"names", stream_names, nullptr, "The column names.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_finalize, reinterpret_cast<void*>(stream_finalize)},
    {Py_tp_traverse, reinterpret_cast<void*>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(stream_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>("A DWEX document read as Arrow record batches of strings.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "dwexio._native.Stream", sizeof(StreamObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, stream_slots};

int batch_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<BatchObject*>(self)->stream);
    return 0;
}

int batch_clear(PyObject* self) noexcept {
    Py_CLEAR(reinterpret_cast<BatchObject*>(self)->stream);
    return 0;
}

void batch_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    auto* b = reinterpret_cast<BatchObject*>(self);
    if (b->array.release != nullptr) {
        b->array.release(&b->array);
    }
    Py_XDECREF(b->stream);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

/// The batch and its schema in capsules, taken from `b`.
PyObject* export_array(BatchObject* b) noexcept {
    if (b->array.release == nullptr || b->stream == nullptr) {
        PyErr_SetString(PyExc_ValueError, "this Arrow batch has already been consumed");
        return nullptr;
    }
    const StreamState& owner = stream_of(b->stream);
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
    array.release();            // the capsule's now
    b->array.release = nullptr; // the capsule owns it now
    return PyTuple_Pack(2, schema.get(), capsule.get());
}

PyObject* batch_export(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
    if (nargs > 1 || (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) + nargs > 1)) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() takes at most one argument");
        return nullptr;
    }
    auto* b = reinterpret_cast<BatchObject*>(self);
    PyObject* result = nullptr;
    // The Stream's names may change under select() in another thread.
    Py_BEGIN_CRITICAL_SECTION2(self, b->stream);
    result = export_array(b);
    Py_END_CRITICAL_SECTION2();
    return result;
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
    {Py_tp_traverse, reinterpret_cast<void*>(batch_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(batch_clear)},
    {Py_tp_methods, batch_methods},
    {Py_tp_getset, batch_getset},
    {Py_tp_doc, const_cast<char*>("One record batch of a Stream.")},
    {0, nullptr},
};

PyType_Spec batch_spec = {
    "dwexio._native.Batch", sizeof(BatchObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_HAVE_GC, batch_slots};

} // namespace

bool add_stream_types(PyObject* module) noexcept {
    State& state = state_of(module);
    state.stream_type = Ref::steal(PyType_FromModuleAndSpec(module, &stream_spec, nullptr));
    state.batch_type = Ref::steal(PyType_FromModuleAndSpec(module, &batch_spec, nullptr));
    return state.stream_type && state.batch_type &&
           PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state.stream_type.get())) ==
               0 &&
           PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state.batch_type.get())) == 0;
}

PyObject* new_stream(PyObject* module, std::unique_ptr<TableReader> reader,
                     arrow::Layout layout) noexcept {
    std::vector<std::string> names;
    try {
        names = reader->names();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(module).stream_type.get());
    auto* s = PyObject_GC_New(StreamObject, type);
    if (s == nullptr) {
        return nullptr;
    }
    new (&s->state) StreamState{std::move(reader), std::move(names), layout};
    PyObject_GC_Track(s);
    return reinterpret_cast<PyObject*>(s);
}

} // namespace dwexio
