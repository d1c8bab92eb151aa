// writer_functions.cpp: writer(), which takes a producer's Arrow data once
// every column is known to hold strings, and write(), which writes it as a
// DWEX document.
#include "dwexio/arrow/capsules.hpp"
#include "dwexio/arrow/functions.hpp"
#include "dwexio/arrow/writer.hpp"

#include "dwex/ref.hpp"

#include <memory>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;

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
        PyErr_Format(PyExc_TypeError, "null must be a str or None, not %.200s",
                     Py_TYPE(null)->tp_name);
        return nullptr;
    }
    PyObject* writer_capsule = args[0];
    auto* writer =
        static_cast<TableWriter*>(PyCapsule_GetPointer(writer_capsule, "dwexio.TableWriter"));
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

/// Takes a (schema, array) pair of capsules' structures into `w`, or gives
/// them back where it refuses them; false with an exception set.
bool adopt_pair(TableWriter* w, PyObject* source) noexcept {
    PyObject* schema_owner = PyTuple_GET_ITEM(source, 0);
    PyObject* array_owner = PyTuple_GET_ITEM(source, 1);
    auto* schema =
        static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_owner, schema_capsule_name));
    auto* array =
        schema ? static_cast<ArrowArray*>(PyCapsule_GetPointer(array_owner, array_capsule_name))
               : nullptr;
    if (array == nullptr) {
        return false;
    }
    bool ok = false;
    // Another thread may be taking the same capsules.
    Py_BEGIN_CRITICAL_SECTION2(schema_owner, array_owner);
    if (schema->release == nullptr || array->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow batch has already been consumed");
    } else {
        ok = w->adopt_array(schema, array);
        if (!ok) {
            w->give_back(nullptr, schema, array);
        }
    }
    Py_END_CRITICAL_SECTION2();
    return ok;
}

/// Takes a stream capsule's stream into `w`, as adopt_pair().
bool adopt_stream(TableWriter* w, PyObject* source) noexcept {
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(source, stream_capsule_name));
    if (stream == nullptr) {
        return false;
    }
    bool ok = false;
    Py_BEGIN_CRITICAL_SECTION(source);
    if (stream->release == nullptr) {
        PyErr_SetString(PyExc_ValueError, "the Arrow stream has already been consumed");
    } else {
        ok = w->adopt_stream(stream);
        if (!ok) {
            w->give_back(stream, nullptr, nullptr);
        }
    }
    Py_END_CRITICAL_SECTION();
    return ok;
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
    Ref capsule =
        Ref::steal(PyCapsule_New(owned.get(), "dwexio.TableWriter", release_writer_capsule));
    if (!capsule) {
        return nullptr;
    }
    TableWriter* w = owned.release(); // the capsule's now
    const bool ok = PyTuple_Check(source) && PyTuple_GET_SIZE(source) == 2
                        ? adopt_pair(w, source)
                        : adopt_stream(w, source);
    return ok ? capsule.release() : nullptr;
}

PyMethodDef writer_methods[] = {
    {"writer", writer, METH_O,
     "writer(source, /)\n--\n\n"
     "The writer of an Arrow stream capsule or (schema, array) capsule pair,\n"
     "once every column is known to hold strings."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write)), METH_FASTCALL,
     "write(writer, file, text_file, header, null, /)\n--\n\n"
     "Writes the writer's rows to `file` as a DWEX document."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_writer_functions(PyObject* module) noexcept {
    return PyModule_AddFunctions(module, writer_methods) == 0;
}

} // namespace dwexio
