// document.hpp: the str that an exact route of stringify writes its document
// into, changed in place while this call alone holds it: cut or grown to a
// new length, or widened to a larger storage width keeping what it holds.
#ifndef DWEX_CODEC_DOCUMENT_HPP
#define DWEX_CODEC_DOCUMENT_HPP

#include <Python.h>

#include "dwex/ref.hpp"

#include <cstddef>

namespace dwex {

/// Sets `document` to `units` characters in place, keeping those it holds;
/// false, with no exception and `document` unchanged, if the allocator refuses.
bool resize_document(Ref& document, std::size_t units) noexcept;

/// Sets `document`, a compact ASCII str that only this call holds, to its
/// first `units` characters. Where the part cut off is small, the str keeps
/// its memory: the allocator then sees a block of the size it gave out come
/// back, and has one at hand for the next document of that size, where a
/// shrunk block teaches it a smaller size and sends the next one to fresh
/// pages from the system. False, with no exception and `document` unchanged,
/// if the allocator refuses.
bool cut_document(Ref& document, std::size_t units) noexcept;

/// Turns `document`, a compact str that only this call holds and whose first
/// `done` characters are written, into one of `units` characters whose
/// storage holds `widest`, with those `done` characters at their new width
/// and the rest still to be written. False, with no exception and
/// `document` unchanged, if the allocator refuses.
bool widen_document(Ref& document, std::size_t done, std::size_t units, Py_UCS4 widest) noexcept;

} // namespace dwex

#endif
