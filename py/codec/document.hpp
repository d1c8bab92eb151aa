// document.hpp: the str that an exact route of stringify writes its document
// into, changed in place while this call alone holds it: cut or grown to a
// new length, or widened to a larger storage width keeping what it holds.
#ifndef DWEX_CODEC_DOCUMENT_HPP
#define DWEX_CODEC_DOCUMENT_HPP

#include <Python.h>

#include "ref.hpp"

#include <cstddef>

namespace dwex {

/// Sets `document` to `units` characters in place, keeping those it holds;
/// false, with no exception and `document` unchanged, if the allocator refuses.
bool resize_document(Ref& document, std::size_t units) noexcept;

/// Turns `document`, a compact str that only this call holds and whose first
/// `done` characters are written, into one of `units` characters whose
/// storage holds `widest`, with those `done` characters at their new width
/// and the rest still to be written. False, with no exception and
/// `document` unchanged, if the allocator refuses.
bool widen_document(Ref& document, std::size_t done, std::size_t units, Py_UCS4 widest) noexcept;

} // namespace dwex

#endif
