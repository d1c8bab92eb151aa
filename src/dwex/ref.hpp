// ref.hpp: Ref, the one owned-reference handle that carries every PyObject*
// the module owns, so that every path, success or failure, releases it.
#ifndef DWEX_REF_HPP
#define DWEX_REF_HPP

#include <Python.h>

#include <utility>

namespace dwex {

/// Owns at most one strong reference. Move-only: a copy would be an invisible incref.
class Ref {
  public:
    Ref() noexcept = default;
    /// Adopts a new reference (which may be null after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a reference of its own to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    /// Hands the reference to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    /// Drops the reference now (the old object is released last, after the field is cleared).
    void reset() noexcept { Ref().swap(*this); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }
    PyObject* p_ = nullptr;
};

} // namespace dwex

#endif
