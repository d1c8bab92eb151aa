// capsules.cpp: capsules that own Arrow C structures.
#include "dwexio/arrow/capsules.hpp"

#include <memory>
#include <new>

namespace dwexio {

void release_schema_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<ArrowSchema> schema{
        static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, schema_capsule_name))};
    if (schema && schema->release != nullptr) {
        schema->release(schema.get());
    }
}

void release_array_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<ArrowArray> array{
        static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, array_capsule_name))};
    if (array && array->release != nullptr) {
        array->release(array.get());
    }
}

void release_stream_capsule(PyObject* capsule) noexcept {
    const std::unique_ptr<ArrowArrayStream> stream{
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, stream_capsule_name))};
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

} // namespace dwexio
