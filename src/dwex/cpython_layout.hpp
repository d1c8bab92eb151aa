// cpython_layout.hpp: every place where the module relies on how CPython
// 3.15 lays out its objects rather than on its documented API, each named
// once here with the reason it holds, and every call of the unstable API
// (PyUnstable_*), which may change in any release. The rest of the module
// uses these names; a new interpreter release is checked against this file
// alone.
#ifndef DWEX_CPYTHON_LAYOUT_HPP
#define DWEX_CPYTHON_LAYOUT_HPP

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

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
// The bytes before a compact str's characters. They are the str's own
// header, PyASCIIObject at least, in the same allocation: a fixed-size read
// that ends at the end of a short content may start before its first
// character and still read only the str's memory.

/// The fewest header bytes that precede a compact str's first character.
inline constexpr std::size_t header_before_data = sizeof(PyASCIIObject);

// ---------------------------------------------------------------------------
// The one-character strs below U+0100. 3.15 keeps one immortal str for each
// such character and PyUnicode_FromOrdinal hands out that very object, so a
// caller may keep it without owning a reference.

/// The interpreter's own str for `ch` (at most 0xFF), borrowed; null with an
/// exception set on failure.
inline PyObject* latin1_singleton(std::uint32_t ch) noexcept {
    PyObject* one = PyUnicode_FromOrdinal(static_cast<int>(ch));
    if (one != nullptr) {
        Py_DECREF(one); // the interpreter keeps it alive: borrowed from here on
    }
    return one;
}

// ---------------------------------------------------------------------------
// Code objects made by hand, which never run. 3.15's location table (see
// InternalDocs/code_objects.md) is a run of entries, each a first byte
// 0x80 | code << 3 | (units - 1) and its data; code 13, "line only", carries
// the line as a signed varint of its distance from the line before (6 bits a
// byte, 0x40 meaning more follow, the sign in the lowest bit). The code string
// must hold the code units that the table covers, and the whole object comes
// from the unstable constructor, whose arguments change between releases.

/// A location table giving each of `lines` two code units, line only.
inline std::string line_only_locations(std::span<const int> lines) {
    constexpr unsigned char line_only = 0x80 | (13 << 3) | (2 - 1);
    std::string table;
    int previous = lines.front();
    for (int line : lines) {
        const int delta = line - previous;
        unsigned value = delta < 0 ? (static_cast<unsigned>(-delta) << 1) | 1u
                                   : static_cast<unsigned>(delta) << 1;
        table.push_back(static_cast<char>(line_only));
        while (value >= 64) {
            table.push_back(static_cast<char>((value & 63u) | 64u));
            value >>= 6;
        }
        table.push_back(static_cast<char>(value));
        previous = line;
    }
    return table;
}

/// The bytes of a code string that a line_only_locations table of
/// `table_size` bytes covers, at least: twice the table's length plus 4,
/// rounded down to whole pairs of code units.
inline Py_ssize_t code_bytes_for(Py_ssize_t table_size) noexcept {
    return (2 * table_size + 4) & ~Py_ssize_t{3};
}

/// A code object of `nlocals` positional-or-local names (the first one the
/// only argument) that never runs: `code` its zero bytes, `lines` its
/// location table, `empty` the empty tuple for every other name tuple.
inline PyObject* new_code(int nlocals, PyObject* code, PyObject* empty, PyObject* varnames,
                          PyObject* filename, PyObject* name, int first_line, PyObject* lines,
                          PyObject* empty_bytes) noexcept {
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        1, 0, 0, nlocals, 0, CO_OPTIMIZED | CO_NEWLOCALS, code, empty, empty, varnames, empty,
        empty, filename, name, name, first_line, lines, empty_bytes));
}

// ---------------------------------------------------------------------------
// A code object's name. 3.15 keeps it in PyCodeObject's co_name, set when
// the object is made and never changed.

inline PyObject* code_name(PyObject* code) noexcept {
    return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

// ---------------------------------------------------------------------------
// The rest of the unstable API the module calls, each for what the stable
// API has no form of.

/// A str's hash if it has been computed, else -1, without computing it.
inline Py_hash_t cached_hash(PyObject* text) noexcept {
    return PyUnstable_Unicode_GET_CACHED_HASH(text);
}

/// Whether the caller's reference to `object` is the only one, so that no
/// other thread can reach it (the free-threaded build's in-place reads).
inline bool uniquely_referenced(PyObject* object) noexcept {
    return PyUnstable_Object_IsUniquelyReferenced(object) != 0;
}

/// Makes `object` live until the interpreter ends, its count never touched
/// again: for the line tables that every code object of every import shares.
inline void set_immortal(PyObject* object) noexcept { PyUnstable_SetImmortal(object); }

/// On the free-threaded build, counts the references to `object` lazily, as
/// the interpreter does for its own functions, so that threads calling it do
/// not contend on its count; elsewhere it does nothing.
inline void defer_refcount(PyObject* object) noexcept {
    PyUnstable_Object_EnableDeferredRefcount(object);
}

#ifdef Py_GIL_DISABLED
/// Declares that `module` needs the GIL: the free-threaded interpreter then
/// turns it on for as long as the module is loaded.
inline void module_needs_gil(PyObject* module) noexcept {
    PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED);
}
#endif

} // namespace dwex::layout

#endif
