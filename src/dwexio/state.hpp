// state.hpp: dwexio._native's module state, the types its execution step
// makes, which every object of them reaches through its type.
#ifndef DWEXIO_STATE_HPP
#define DWEXIO_STATE_HPP

#include "dwex/ref.hpp"

#include <Python.h>

namespace dwexio {

struct State {
    dwex::Ref stream_type;
    dwex::Ref batch_type;
    dwex::Ref not_utf8_type; // the reader's UnicodeDecodeError
};

/// The state of `module` (made by the execution step, which runs first).
inline State& state_of(PyObject* module) noexcept {
    return **static_cast<State**>(PyModule_GetState(module));
}

/// The state of the module that made `type`.
inline State& state_of(PyTypeObject* type) noexcept {
    return **static_cast<State**>(PyType_GetModuleState(type));
}

} // namespace dwexio

#endif
