// interpreter.hpp: small helpers of dwexio's native code that calls into
// the interpreter: the GIL taken for a moment, and a count with its noun.
#ifndef DWEXIO_INTERPRETER_HPP
#define DWEXIO_INTERPRETER_HPP

#include "dwex/ref.hpp"

#include <Python.h>

#include <cstddef>

namespace dwexio {

/// The GIL, taken for a moment from whatever thread the consumer calls on.
class Gil {
  public:
    Gil() noexcept : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

  private:
    PyGILState_STATE state_;
};

/// "1 column", "2 columns": `n` and the noun, plural but for one (nouns that
/// take an s). Null with an exception set; needs the GIL.
inline dwex::Ref counted(std::size_t n, const char* noun) noexcept {
    return dwex::Ref::steal(PyUnicode_FromFormat("%zu %s%s", n, noun, n == 1 ? "" : "s"));
}

} // namespace dwexio

#endif
