// capsules.hpp: the Arrow PyCapsule interface's capsule names, and capsules
// that own the C structures they hold.
#ifndef DWEXIO_ARROW_CAPSULES_HPP
#define DWEXIO_ARROW_CAPSULES_HPP

#include "dwexio/arrow/abi.hpp"

#include <Python.h>

#include <string>
#include <vector>

namespace dwexio {

inline constexpr const char* schema_capsule_name = "arrow_schema";
inline constexpr const char* array_capsule_name = "arrow_array";
inline constexpr const char* stream_capsule_name = "arrow_array_stream";

/// Capsule destructors: each releases the structure it holds, if still owned, and frees it.
void release_schema_capsule(PyObject* capsule) noexcept;
void release_array_capsule(PyObject* capsule) noexcept;
void release_stream_capsule(PyObject* capsule) noexcept;

/// A capsule owning a new schema of string columns with these names.
PyObject* schema_capsule(const std::vector<std::string>& names, arrow::Layout layout) noexcept;

} // namespace dwexio

#endif
