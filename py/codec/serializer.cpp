// serializer.cpp: the body of `stringify`. A first pass walks the table in
// order, running every observable action (iteration, str(), the HEX lookup and
// its item access) exactly once per leaf and recording each item; a second pass
// writes the document into one string allocated at its exact size and width.
#include "codec/codec.hpp"
#include "codec/rules.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "traceback.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace dwex {
namespace {

constexpr const char* function_name = "dwex.stringify";

// Source lines of the failures, reported in traceback entries.
enum Line : int {
    line_table = 31,
    line_row = 32,
    line_text = 34,
    line_digit = 50,
    line_terminator = 53,
    line_join = 54,
};

/// One piece of the document: an item (text and width digit) or, with no
/// text, a row terminator.
struct Item {
    Ref text;               // the leaf's text v; null for a row terminator
    std::uint32_t digit;    // the width digit's code point, unless `odd_digit`
    bool odd_digit = false; // the width digit is an object kept in `Document::odd_digits`
};

/// What the first pass gathers: the items in document order, the exact size
/// and widest code point of the result, and any width digit that is not a
/// single character (a rebound HEX can yield any object).
struct Document {
    std::vector<Item> items;
    std::vector<Ref> odd_digits;
    std::size_t size = 0;
    Py_UCS4 max_char = 0;
    std::size_t pieces = 0; // pieces appended so far, as numbered by the join
    Py_ssize_t bad_piece = -1; // the first width digit that is not a str
    PyTypeObject* bad_type = nullptr;
};

std::size_t utf16_length(PyObject* v) noexcept {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
    if (PyUnicode_KIND(v) != PyUnicode_4BYTE_KIND) {
        return n;
    }
    return rules::utf16_length(static_cast<const std::uint32_t*>(PyUnicode_DATA(v)), n);
}

// The width digit for a length field of `count` digits: the element of the
// current HEX at index count - 1. New reference or null with an exception set;
// for an exact str HEX the character is returned through `ch` instead.
bool width_digit(int count, Py_UCS4& ch, Ref& object) noexcept {
    Ref hex = Ref::steal(lookup_module_global(state.str(S::HEX)));
    if (!hex) {
        return false;
    }
    const Py_ssize_t index = count - 1;
    if (PyUnicode_CheckExact(hex.get())) {
        if (index >= PyUnicode_GET_LENGTH(hex.get())) {
            PyErr_SetString(PyExc_IndexError, "string index out of range");
            return false;
        }
        ch = PyUnicode_READ_CHAR(hex.get(), index);
        return true;
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    if (!key) {
        return false;
    }
    object = Ref::steal(PyObject_GetItem(hex.get(), key.get()));
    return static_cast<bool>(object);
}

// Records one leaf, in the order a caller can observe: its text (which may
// run the leaf's own __str__), then a fresh lookup of HEX and its item access.
// 0, or the line of the failure with an exception set.
int add_leaf(Document& doc, Ref item) noexcept {
    Ref v = PyUnicode_Check(item.get()) ? std::move(item) : Ref::steal(PyObject_Str(item.get()));
    if (!v) {
        return line_text;
    }
    const int digits = rules::decimal_digit_count(utf16_length(v.get()));
    Py_UCS4 ch = 0;
    Ref odd;
    if (!width_digit(digits, ch, odd)) {
        return line_digit;
    }
    std::size_t digit_size = 1;
    if (!odd) {
        doc.max_char = std::max(doc.max_char, ch);
    } else if (PyUnicode_Check(odd.get())) {
        digit_size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(odd.get()));
        doc.max_char = std::max(doc.max_char, PyUnicode_MAX_CHAR_VALUE(odd.get()));
    } else if (doc.bad_piece < 0) {
        // Joining fails on it, but only once every leaf has been processed.
        doc.bad_piece = static_cast<Py_ssize_t>(doc.pieces);
        doc.bad_type = Py_TYPE(odd.get()); // kept alive by `odd`, stored below
    }
    doc.max_char = std::max(doc.max_char, PyUnicode_MAX_CHAR_VALUE(v.get()));
    doc.size += digit_size + static_cast<std::size_t>(digits) +
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(v.get()));
    doc.pieces += 3;
    try {
        const bool is_odd = static_cast<bool>(odd);
        if (is_odd) {
            doc.odd_digits.push_back(std::move(odd));
        }
        doc.items.push_back(Item{std::move(v), ch, is_odd});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return line_digit;
    }
    return 0;
}

int add_row_terminator(Document& doc) noexcept {
    try {
        doc.items.push_back(Item{Ref(), rules::row_terminator, false});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return line_terminator;
    }
    doc.size += 1;
    doc.max_char = std::max<Py_UCS4>(doc.max_char, rules::row_terminator);
    doc.pieces += 1;
    return 0;
}

// Hands each element of `seq` to `visit` as a new reference, in order: an
// exact list by index (its length read again before every element, since a
// leaf's own code may change it), an exact tuple by index, anything else
// through its iterator. 0, or the failing line with an exception set: `line`
// for the walk itself, the visitor's own line otherwise.
template <typename Visit>
int walk(PyObject* seq, int line, Visit&& visit) noexcept {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(seq); ++k) {
            // The unlocked read is safe only while no other thread can reach the list.
            Ref element = PyUnstable_Object_IsUniquelyReferenced(seq)
                              ? Ref::borrow(PyList_GET_ITEM(seq, k))
                              : Ref::steal(PyList_GetItemRef(seq, k));
            if (!element) {
                return line;
            }
            if (const int failed = visit(std::move(element))) {
                return failed;
            }
        }
        return 0;
    }
    if (PyTuple_CheckExact(seq)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        for (Py_ssize_t k = 0; k < n; ++k) {
            if (const int failed = visit(Ref::borrow(PyTuple_GET_ITEM(seq, k)))) {
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
        if (const int failed = visit(std::move(element))) {
            return failed;
        }
    }
}

template <typename Out, typename In>
Out* copy_units(const In* from, std::size_t n, Out* to) noexcept {
    if constexpr (sizeof(In) == sizeof(Out)) {
        std::memcpy(to, from, n * sizeof(Out));
        return to + n;
    } else {
        for (std::size_t k = 0; k < n; ++k) {
            to[k] = static_cast<Out>(from[k]); // only ever widening: the result is the widest
        }
        return to + n;
    }
}

template <typename Out>
Out* copy_text(PyObject* text, Out* to) noexcept {
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return copy_units(static_cast<const Py_UCS1*>(data), n, to);
    case PyUnicode_2BYTE_KIND:
        return copy_units(static_cast<const Py_UCS2*>(data), n, to);
    default:
        return copy_units(static_cast<const Py_UCS4*>(data), n, to);
    }
}

// Writes the document at the result's width: for each item the width digit,
// the length field and the text; for each row its terminator.
template <typename Out>
void write_document(const Document& doc, Out* to) noexcept {
    auto odd = doc.odd_digits.begin();
    for (const Item& item : doc.items) {
        if (!item.text) {
            *to++ = static_cast<Out>(rules::row_terminator);
            continue;
        }
        if (item.odd_digit) {
            to = copy_text((odd++)->get(), to);
        } else {
            *to++ = static_cast<Out>(item.digit);
        }
        const rules::LengthField field = rules::length_field(utf16_length(item.text.get()));
        for (int k = 0; k < field.count; ++k) {
            *to++ = static_cast<Out>(field.digits[static_cast<std::size_t>(k)]);
        }
        to = copy_text(item.text.get(), to);
    }
}

PyObject* join(const Document& doc) noexcept {
    if (doc.bad_piece >= 0) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found",
                     doc.bad_piece, doc.bad_type->tp_name);
        return nullptr;
    }
    if (doc.size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
        return nullptr;
    }
    Ref result = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(doc.size), doc.max_char));
    if (!result) {
        return nullptr;
    }
    void* data = PyUnicode_DATA(result.get());
    switch (PyUnicode_KIND(result.get())) {
    case PyUnicode_1BYTE_KIND:
        write_document(doc, static_cast<Py_UCS1*>(data));
        break;
    case PyUnicode_2BYTE_KIND:
        write_document(doc, static_cast<Py_UCS2*>(data));
        break;
    default:
        write_document(doc, static_cast<Py_UCS4*>(data));
        break;
    }
    return result.release();
}

int add_table(Document& doc, PyObject* lists) noexcept {
    return walk(lists, line_table, [&doc](Ref row) noexcept {
        const int failed = walk(row.get(), line_row,
                                [&doc](Ref leaf) noexcept { return add_leaf(doc, std::move(leaf)); });
        return failed != 0 ? failed : add_row_terminator(doc);
    });
}

} // namespace

PyObject* stringify_body(PyObject* lists) noexcept {
    Document doc;
    if (const int failed = add_table(doc, lists)) {
        return fail_at(function_name, failed);
    }
    if (doc.size == 0) {
        return Py_NewRef(state.str(S::empty));
    }
    PyObject* result = join(doc);
    return result != nullptr ? result : fail_at(function_name, line_join);
}

} // namespace dwex
