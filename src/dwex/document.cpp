// document.cpp: a document str changed in place. Widening it rewrites the
// header of a str that no other code has seen (cpython_layout.hpp), where a
// wider document would otherwise be a second allocation that holds the text
// written so far beside its copy.
#include "dwex/document.hpp"

#include "core/widen.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/storage.hpp"

#include <cstdint>

namespace dwex {
namespace {

// `to_kind` is at least `from_kind`: a document only ever widens.
void move_units(int from_kind, const void* from, std::size_t n, int to_kind, void* to) noexcept {
    at_kind(from_kind, [&]<format::CodeUnit In>() {
        at_kind(to_kind, [&]<format::CodeUnit Out>() {
            if constexpr (sizeof(Out) >= sizeof(In)) {
                simd::widen_in_place(static_cast<const In*>(from), n, static_cast<Out*>(to));
            }
        });
    });
}

} // namespace

bool resize_document(Ref& document, std::size_t units) noexcept {
    PyObject* raw = document.release();
    const bool resized = layout::resize_unshared(&raw, static_cast<Py_ssize_t>(units));
    document = Ref::steal(raw); // on failure still the old, whole str
    if (!resized) {
        PyErr_Clear();
    }
    return resized;
}

bool cut_document(Ref& document, std::size_t units) noexcept {
    PyObject* doc = document.get();
    const auto capacity = static_cast<std::size_t>(PyUnicode_GET_LENGTH(doc));
    // A sixteenth of the document at most: past that the memory is worth more.
    constexpr std::size_t kept_share = 16;
    if (!PyUnicode_IS_ASCII(doc) || capacity - units > capacity / kept_share) {
        return resize_document(document, units);
    }
    layout::set_unshared_length(doc, static_cast<Py_ssize_t>(units));
    PyUnicode_1BYTE_DATA(doc)[units] = 0;
    return true;
}

bool widen_document(Ref& document, std::size_t done, std::size_t units, Py_UCS4 widest) noexcept {
    PyObject* doc = document.get();
    const int from_kind = PyUnicode_KIND(doc);
    const bool from_ascii = PyUnicode_IS_ASCII(doc) != 0;
    const int to_kind = kind_for(widest);
    const bool to_ascii = widest < 0x80;
    const auto from_unit = static_cast<std::size_t>(from_kind);
    const auto to_unit = static_cast<std::size_t>(to_kind);
    // Grown first at its present layout, to at least the bytes of the new
    // one: a str of m units takes its header and m + 1 units.
    const std::size_t wanted = layout::compact_header_size(to_ascii) + (units + 1) * to_unit;
    const std::size_t from_header = layout::compact_header_size(from_ascii);
    const std::size_t grown = (wanted - from_header + from_unit - 1) / from_unit - 1;
    if (!resize_document(document, grown > done ? grown : done)) {
        return false;
    }
    doc = document.get();
    auto* const base = reinterpret_cast<std::uint8_t*>(doc);
    // The new place of every unit lies at or after its old one: the header
    // only grows, and so does the width.
    move_units(from_kind, base + from_header, done, to_kind,
               base + layout::compact_header_size(to_ascii));
    layout::relabel_unshared(doc, static_cast<Py_ssize_t>(units), to_kind, to_ascii);
    PyUnicode_WRITE(to_kind, PyUnicode_DATA(doc), static_cast<Py_ssize_t>(units), 0);
    return true;
}

} // namespace dwex
