// state.hpp: ModuleState, the one process-wide record that the execution step
// fills at import and that every call afterwards only reads.
#ifndef DWEX_STATE_HPP
#define DWEX_STATE_HPP

#include "dwex/ref.hpp"
#include "dwex/strings.hpp"
#include "dwex/traceback.hpp"

#include <array>

namespace dwex {

struct ModuleState {
    Ref ns;       // the module dict
    Ref builtins; // the builtins module
    Ref empty_tuple;
    Ref empty_bytes;
    Ref code_stringify;
    Ref code_parse;
    std::array<Ref, static_cast<std::size_t>(Text::count)> strings;
    Ref lines_stringify; // location tables of the two code objects
    Ref lines_parse;
    Ref function_type; // the type of `stringify` and `parse`
    TracebackCache traceback_cache;

    /// Borrowed: valid from import on, for the life of the process.
    PyObject* str(Text which) const noexcept {
        return strings[static_cast<std::size_t>(which)].get();
    }
};

/// Never torn down: the module and its constants live until the process ends.
extern ModuleState& state;

/// The current binding of a module attribute: the module dict first, then the
/// builtins. New reference, or null with an exception set ("name ... is not
/// defined"). `in_module`, when given, is set if the value came from the module dict.
PyObject* lookup_module_global(PyObject* name, bool* in_module = nullptr) noexcept;

} // namespace dwex

#endif
