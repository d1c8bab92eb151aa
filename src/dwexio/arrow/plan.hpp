// plan.hpp: the functions a planner of parallel reads uses to cut a
// large document at exact row boundaries, added to dwexio._native.
#ifndef DWEXIO_ARROW_PLAN_HPP
#define DWEXIO_ARROW_PLAN_HPP

#include <Python.h>

namespace dwexio {

/// Adds guess_start(), scan(), chain() and the sizes a planner reads with
/// to the module; false with an exception set.
bool add_plan_functions(PyObject* module) noexcept;

} // namespace dwexio

#endif
