// serializer.cpp: the general writer of `stringify`. One pass over the table
// runs every observable action (iteration, str(), the HEX lookup and its item
// access) once per leaf, in order, and copies each item straight into the
// output buffer; the document becomes a str once the walk has ended.
#include "dwex/serializer.hpp"

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "core/leaf_writes.hpp"
#include "core/output.hpp"
#include "core/units.hpp"
#include "dwex/hex_cache.hpp"
#include "dwex/leaf_writer.hpp"
#include "dwex/ref.hpp"
#include "dwex/source_lines.hpp"
#include "dwex/state.hpp"
#include "dwex/storage.hpp"
#include "dwex/threads.hpp"
#include "dwex/traceback.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace dwex {
namespace {

// The interpreter's raw allocator, so that the buffer's memory is accounted
// for, and fails, like the interpreter's own.
struct RawAllocator {
    static void* allocate(std::size_t n) noexcept { return PyMem_RawMalloc(n); }
    static void* reallocate(void* p, std::size_t n) noexcept { return PyMem_RawRealloc(p, n); }
    static void release(void* p) noexcept { PyMem_RawFree(p); }
};
using Output = codec::Output<RawAllocator>;
using codec::copy_units;

constexpr const char* function_name = "dwex.stringify";

namespace lines = source_lines::stringify;

/// The document being written, with what the final join must still report.
struct Writer {
    Output out;
    Py_UCS4 max_char = 0;      // widest character written, for the result's storage
    std::size_t pieces = 0;    // pieces so far, numbered as a join of them would
    Ref bad_digit;             // the first width digit that is not a str
    std::size_t bad_piece = 0; // and its piece number
};

std::size_t utf16_length(PyObject* v) noexcept {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
    if (PyUnicode_KIND(v) != PyUnicode_4BYTE_KIND) {
        return n;
    }
    return format::utf16_length(static_cast<const std::uint32_t*>(PyUnicode_DATA(v)), n);
}

template <typename Out> Out* copy_text(PyObject* text, Out* to) noexcept {
    return with_units(text,
                      [to](const auto* units, std::size_t n) { return copy_units(units, n, to); });
}

/// One item: the width digit (a character, or the text of `digit_text`), the
/// length field and the content. Room has been reserved.
template <typename Out>
void write_leaf_item(Output& out, Py_UCS4 digit, PyObject* digit_text, std::size_t u16_len,
                     int digits, PyObject* v) noexcept {
    count_leaf_write();
    Out* to = out.cursor<Out>();
    if (digit_text != nullptr) {
        // A rebound HEX whose element is a longer text: written as it is.
        to = copy_text(digit_text, to);
        to = format::write_digits(u16_len, digits, to);
        out.advance_to(copy_text(v, to));
        return;
    }
    // The buffer is at least as wide as every leaf written into it.
    const auto width = static_cast<Out>(digit);
    out.advance_to(with_units<Out>(v, [&](const auto* units, std::size_t n) {
        return write_item(width, u16_len, digits, units, n, to);
    }));
}

// The width digit for a length field of `count` digits: the element of the
// current HEX at index count - 1. For an exact str HEX the character comes
// back in `ch`; any other HEX is indexed with a Python int and the element
// comes back in `object`. False with an exception set on failure.
bool width_digit(int count, Py_UCS4& ch, Ref& object) noexcept {
    const Py_ssize_t index = count - 1;
    PyObject* hex = hex_cache_peek();
    Ref held;
    if (hex == nullptr) {
        bool in_module = false;
        held = Ref::steal(lookup_module_global(state.str(Text::HEX), &in_module));
        if (!held) {
            return false;
        }
        hex = held.get();
        if (in_module) {
            hex_cache_remember(hex);
        }
    }
    if (PyUnicode_CheckExact(hex)) {
        if (index >= PyUnicode_GET_LENGTH(hex)) {
            PyErr_SetString(PyExc_IndexError, "string index out of range");
            return false;
        }
        ch = PyUnicode_READ_CHAR(hex, index);
        return true;
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) {
        return false;
    }
    object = Ref::steal(PyObject_GetItem(hex, key.get()));
    return static_cast<bool>(object);
}

// Writes one leaf, in the order a caller can observe: its text (which may run
// the leaf's own __str__), then a fresh lookup of HEX and its item access.
// 0, or the line of the failure with an exception set.
int add_leaf(Writer& w, PyObject* item) noexcept {
    if (PyUnicode_Check(item) && PyUnicode_IS_ASCII(item) && w.out.width() == 1) {
        // The common case: nothing runs that could change HEX between the
        // leaves, so a known ASCII HEX is read in place.
        PyObject* hex = hex_cache_peek();
        if (hex != nullptr && PyUnicode_IS_ASCII(hex)) {
            const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
            const int digits = format::decimal_digit_count(n);
            if (digits <= PyUnicode_GET_LENGTH(hex) &&
                w.out.reserve(1 + static_cast<std::size_t>(digits) + n, 1)) {
                count_leaf_write();
                w.out.advance_to(write_item(PyUnicode_1BYTE_DATA(hex)[digits - 1], n, digits,
                                            PyUnicode_1BYTE_DATA(item), n,
                                            w.out.cursor<std::uint8_t>()));
                w.max_char = std::max<Py_UCS4>(w.max_char, 0x7F);
                w.pieces += 3;
                return 0;
            }
        }
    }
    Ref held = Ref::borrow(item); // its own __str__ may drop it from the row
    Ref converted;
    PyObject* v = item; // a str, or a subclass of it, is written as it is
    if (!PyUnicode_Check(item)) {
        converted = Ref::steal(PyObject_Str(item));
        if (!converted) {
            return lines::text;
        }
        v = converted.get();
    }
    const std::size_t u16_len = utf16_length(v);
    const int digits = format::decimal_digit_count(u16_len);
    Py_UCS4 digit = 0;
    Ref digit_object;
    if (!width_digit(digits, digit, digit_object)) {
        return lines::digit;
    }
    PyObject* digit_text = nullptr;
    std::size_t digit_size = 1;
    if (!digit_object) {
        w.max_char = std::max(w.max_char, digit);
    } else if (PyUnicode_Check(digit_object.get())) {
        digit_text = digit_object.get();
        digit_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(digit_text));
        w.max_char = std::max(w.max_char, PyUnicode_MAX_CHAR_VALUE(digit_text));
    } else {
        // The join fails on it, but only once every leaf has been processed;
        // until then it takes no room and writes nothing.
        digit_size = 0;
        digit_text = state.str(Text::empty);
        if (!w.bad_digit) {
            w.bad_digit = std::move(digit_object);
            w.bad_piece = w.pieces;
        }
    }
    w.pieces += 3;
    w.max_char = std::max(w.max_char, PyUnicode_MAX_CHAR_VALUE(v));
    const std::size_t length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
    if (!w.out.reserve(digit_size + static_cast<std::size_t>(digits) + length,
                       kind_for(w.max_char))) {
        PyErr_NoMemory();
        return lines::digit;
    }
    at_kind(w.out.width(), [&]<format::CodeUnit Out>() {
        write_leaf_item<Out>(w.out, digit, digit_text, u16_len, digits, v);
    });
    return 0;
}

int add_row_terminator(Writer& w) noexcept {
    if (!w.out.reserve(1, 1)) {
        PyErr_NoMemory();
        return lines::terminator;
    }
    at_kind(w.out.width(), [&w]<format::CodeUnit Out>() {
        Out* to = w.out.cursor<Out>();
        *to = format::row_terminator;
        w.out.advance_to(to + 1);
    });
    w.max_char = std::max<Py_UCS4>(w.max_char, format::row_terminator);
    w.pieces += 1;
    return 0;
}

// Hands each element of `seq` to `visit`, in order: an exact list by index
// (its length read again before every element, since a leaf's own code may
// change it), an exact tuple by index, anything else through its iterator.
// The element is held for the visit. 0, or the failing line with an exception
// set: `line` for the walk itself, the visitor's own line otherwise.
// A visitor that runs Python code takes its own reference first (`Hold` false
// says the visitor does that itself, where the GIL makes it safe to wait).
// An exact list or tuple is walked from index `first` on (the exact routes
// may have written the elements before it).
template <bool Hold, typename Visit>
int walk(PyObject* seq, int line, Visit&& visit, Py_ssize_t first = 0) noexcept {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t k = first; k < PyList_GET_SIZE(seq); ++k) {
            if constexpr (free_threaded_paths) {
                Ref element = shared_list_item(seq, k);
                if (!element) {
                    return line;
                }
                if (const int failed = visit(element.get())) {
                    return failed;
                }
            } else {
                // With the GIL held no other code runs between the length read
                // above and this read, which is all that the checked fetch adds.
                PyObject* element = PyList_GET_ITEM(seq, k);
                Ref held = Hold ? Ref::borrow(element) : Ref();
                if (const int failed = visit(element)) {
                    return failed;
                }
            }
        }
        return 0;
    }
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        for (Py_ssize_t k = first; k < n; ++k) {
            // The tuple holds its elements for as long as the caller holds it.
            if (const int failed = visit(PyTuple_GET_ITEM(seq, k))) {
                return failed;
            }
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(seq));
    if (!iterator) {
        return line;
    }
    const iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
    for (;;) {
        Ref element = Ref::steal(next(iterator.get()));
        if (!element) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
                    return line;
                }
                PyErr_Clear(); // the end of the iteration, not a failure
            }
            return 0;
        }
        if (const int failed = visit(element.get())) {
            return failed;
        }
    }
}

PyObject* finish(const Writer& w) noexcept {
    if (w.bad_digit) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                     static_cast<Py_ssize_t>(w.bad_piece), Py_TYPE(w.bad_digit.get())->tp_name);
        return nullptr;
    }
    const std::size_t size = w.out.size();
    if (size == 0) {
        return Py_NewRef(state.str(Text::empty));
    }
    Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), w.max_char));
    if (!result) {
        return nullptr;
    }
    // The buffer is at the result's own width: both follow from max_char.
    std::memcpy(PyUnicode_DATA(result.get()), w.out.data(),
                size * static_cast<std::size_t>(w.out.width()));
    return result.release();
}

} // namespace

PyObject* write_general(PyObject* lists, GeneralFrom& rest) noexcept {
    Writer w;
    if (rest.written) {
        // The ASCII text of the rows that an exact route wrote before it
        // met one that runs code: nothing observable has happened yet.
        PyObject* written = rest.written.get();
        const auto units = static_cast<std::size_t>(PyUnicode_GET_LENGTH(written));
        if (w.out.reserve(units, 1)) {
            std::uint8_t* to = w.out.cursor<std::uint8_t>();
            std::memcpy(to, PyUnicode_1BYTE_DATA(written), units);
            w.out.advance_to(to + units);
            w.max_char = 0x7F;
            w.pieces = rest.pieces;
        } else {
            rest.first_row = rest.first_leaf = 0; // no room for it: the walk starts from the top
        }
        rest.written = Ref();
    }
    // Each row from `first_leaf` on for the row that an exact route stopped in.
    Py_ssize_t first_leaf = rest.first_leaf;
    const int failed = walk<true>(
        lists, lines::table,
        [&w, &first_leaf](PyObject* row) noexcept {
            const int row_failed = walk<false>(
                row, lines::row, [&w](PyObject* leaf) noexcept { return add_leaf(w, leaf); },
                std::exchange(first_leaf, 0));
            return row_failed != 0 ? row_failed : add_row_terminator(w);
        },
        rest.first_row);
    if (failed != 0) {
        return fail_at(function_name, failed);
    }
    PyObject* result = finish(w);
    return result != nullptr ? result : fail_at(function_name, lines::join);
}

} // namespace dwex
