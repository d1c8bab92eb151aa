// cpython_layout.hpp: every place where the module relies on how CPython
// 3.15 lays out its objects rather than on its documented API, each named
// once here with the reason it holds. The rest of the module uses these
// names; a new interpreter release is checked against this file alone.
#ifndef DWEX_CPYTHON_LAYOUT_HPP
#define DWEX_CPYTHON_LAYOUT_HPP

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dwex::layout {

// ---------------------------------------------------------------------------
// A str's state word. 3.15 keeps a str's storage width, ASCII flag and
// compact flag as bit-fields of one 32-bit word in PyASCIIObject (the
// interned field beside them is the only one that changes after creation).

/// Where the fields sit in the state word. The layout of bit-fields is the
/// compiler's, so the masks come from a word written through the fields.
struct StateBits {
    std::uint32_t kind_one; // the word of a str of kind 1: kind k gives k times it
    std::uint32_t kinds;    // every bit of the kind field
    std::uint32_t ascii;
    std::uint32_t compact;

    static StateBits find() noexcept {
        static_assert(sizeof(PyASCIIObject::state) == sizeof(std::uint32_t));
        PyASCIIObject probe{};
        const auto word = [&probe] {
            std::uint32_t w;
            std::memcpy(&w, &probe.state, sizeof w);
            return w;
        };
        StateBits bits{};
        probe.state.kind = 1;
        bits.kind_one = word();
        probe.state.kind = 7;
        bits.kinds = word();
        probe.state.kind = 0;
        probe.state.ascii = 1;
        bits.ascii = word();
        probe.state.ascii = 0;
        probe.state.compact = 1;
        bits.compact = word();
        return bits;
    }
};
// One copy a translation unit, so that the compiler folds its masks into
// the code as constants.
const StateBits state_bits = StateBits::find();

/// The whole state word of `text`, read at once. Only where no other thread
/// can be writing the interned field beside the ones read (the GIL is held).
inline std::uint32_t state_word(PyObject* text) noexcept {
    std::uint32_t w;
    std::memcpy(&w, &reinterpret_cast<PyASCIIObject*>(text)->state, sizeof w);
    return w;
}

// ---------------------------------------------------------------------------
// A compact str that only the call holds (made by PyUnicode_New, seen by no
// other code yet). 3.15 puts its characters right after the header,
// PyASCIIObject for ASCII text and PyCompactUnicodeObject for any other, and
// ends them with one terminating unit; nothing caches its hash, UTF-8 form
// or interning before some other code has seen it.

/// The bytes before a compact str's first character.
inline std::size_t compact_header_size(bool ascii) noexcept {
    return ascii ? sizeof(PyASCIIObject) : sizeof(PyCompactUnicodeObject);
}

/// Sets the length of a compact str only the call holds, keeping its
/// memory; its characters up to `length` and the terminating unit after
/// them are the caller's to have written.
inline void set_unshared_length(PyObject* text, Py_ssize_t length) noexcept {
    reinterpret_cast<PyASCIIObject*>(text)->length = length;
}

/// Relabels a compact str only the call holds, whose characters the caller
/// has just moved behind the header for `kind` and `ascii`, as `length`
/// characters of that storage width.
inline void relabel_unshared(PyObject* text, Py_ssize_t length, int kind, bool ascii) noexcept {
    auto* const head = reinterpret_cast<PyASCIIObject*>(text);
    head->length = length;
    head->state.kind = static_cast<unsigned int>(kind) & 7U;
    head->state.ascii = ascii;
    if (!ascii) {
        auto* const compact = reinterpret_cast<PyCompactUnicodeObject*>(text);
        compact->utf8 = nullptr; // no UTF-8 copy is ever made of a str this new
        compact->utf8_length = 0;
    }
}

/// Resizes a str only the call holds to `length` characters, keeping those
/// it holds; PyUnicode_Resize allows that only for a str no other code has
/// seen. On failure `*text` is still the old, whole str, and the error set.
inline bool resize_unshared(PyObject** text, Py_ssize_t length) noexcept {
    return PyUnicode_Resize(text, length) == 0;
}

// ---------------------------------------------------------------------------
// A list only the call holds. 3.15's PyListObject keeps its items in
// `ob_item`, `allocated` slots from PyMem_Malloc, which list_dealloc and
// every resize release with PyMem_Free; a new empty list has no array yet.

/// Whether `list`, a new list only the call holds, has no item array yet.
inline bool has_no_items(PyObject* list) noexcept {
    const auto* const l = reinterpret_cast<const PyListObject*>(list);
    return l->ob_item == nullptr && l->allocated == 0;
}

/// Gives `list`, for which has_no_items holds, the array `items` of `n`
/// owned references (from PyMem_Malloc), which it takes over.
inline void adopt_items(PyObject* list, PyObject** items, Py_ssize_t n) noexcept {
    auto* const l = reinterpret_cast<PyListObject*>(list);
    l->ob_item = items;
    l->allocated = n;
    Py_SET_SIZE(l, n);
}

// ---------------------------------------------------------------------------
// A code object's name. 3.15 keeps it in PyCodeObject's co_name, set when
// the object is made and never changed.

inline PyObject* code_name(PyObject* code) noexcept {
    return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

} // namespace dwex::layout

#endif
