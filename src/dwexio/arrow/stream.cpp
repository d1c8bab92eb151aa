// stream.cpp: Stream and Batch, and the Arrow C stream over a reader that a
// Stream exports.
#include "dwexio/arrow/stream.hpp"

#include "dwexio/arrow/capsules.hpp"

#include "dwex/ref.hpp"

#include <cerrno>
#include <memory>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;

PyTypeObject* stream_type = nullptr;

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
    bool busy = false; // a thread is in next() with the GIL released
};

struct StreamObject {
    PyObject_HEAD StreamState state;
};

StreamState& state_of(PyObject* self) noexcept {
    return reinterpret_cast<StreamObject*>(self)->state;
}

struct BatchObject {
    PyObject_HEAD PyObject* stream; // for the column names
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

PyObject* stream_export(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
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
        stream_get_schema, stream_get_next, stream_get_last_error, stream_release,
        s->reader.get()}};
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
        PyObject* name =
            PyUnicode_FromStringAndSize(names[k].data(), static_cast<Py_ssize_t>(names[k].size()));
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
    Py_BEGIN_ALLOW_THREADS ok = reader->next(&batch->array);
    Py_END_ALLOW_THREADS s->busy = false;
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
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc, const_cast<char*>("A DWEX document read as Arrow record batches of strings.")},
    {0, nullptr},
};

PyType_Spec stream_spec = {"dwexio._native.Stream", sizeof(StreamObject), 0,
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

PyObject* batch_export(PyObject* self, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
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
    array.release();            // the capsule's now
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

PyType_Spec batch_spec = {"dwexio._native.Batch", sizeof(BatchObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, batch_slots};

} // namespace

bool add_stream_types(PyObject* module) noexcept {
    stream_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &stream_spec, nullptr));
    if (stream_type == nullptr || PyModule_AddType(module, stream_type) < 0) {
        return false;
    }
    batch_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &batch_spec, nullptr));
    return batch_type != nullptr && PyModule_AddType(module, batch_type) == 0;
}

PyObject* new_stream(std::unique_ptr<TableReader> reader, arrow::Layout layout) noexcept {
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
    new (&s->state) StreamState{std::move(reader), std::move(names), layout};
    return reinterpret_cast<PyObject*>(s);
}

} // namespace dwexio
