// stream.hpp: Stream, a document's rows handed out as Arrow record batches
// (through the PyCapsule stream interface, or one Batch at a time).
#ifndef DWEXIO_ARROW_STREAM_HPP
#define DWEXIO_ARROW_STREAM_HPP

#include "dwexio/arrow/reader.hpp"

#include <Python.h>

#include <memory>

namespace dwexio {

/// Adds the Stream and Batch types to the module; false with an exception set.
bool add_stream_types(PyObject* module) noexcept;

/// A new Stream of `module` over `reader`, which it owns from now on
/// whatever happens.
PyObject* new_stream(PyObject* module, std::unique_ptr<TableReader> reader,
                     arrow::Layout layout) noexcept;

} // namespace dwexio

#endif
