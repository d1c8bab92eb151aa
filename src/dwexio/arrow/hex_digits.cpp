// hex_digits.cpp: HEX may be rebound to anything that can be indexed; its
// elements are taken once, in order, before a cell is written.
#include "dwexio/arrow/hex_digits.hpp"

#include <algorithm>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;

/// The exception just raised, kept where it is an error of HEX's own rather
/// than an interrupt; false (with it set still) otherwise.
bool keep_error(Ref* kept) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    *kept = Ref::steal(PyErr_GetRaisedException());
    return true;
}

/// HEX as stringify finds it: dwex's global, else the builtin; null with
/// `error` holding what the lookup raised, or false as keep_error().
bool find_hex(Ref* hex, Ref* error) noexcept {
    Ref name = Ref::steal(PyUnicode_InternFromString("HEX"));
    Ref module = name ? Ref::steal(PyImport_ImportModule("dwex")) : Ref();
    if (!module) {
        return false;
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(module.get()), name.get(), &found) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return false;
        }
        PyErr_Clear();
    }
    if (found == nullptr) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins || PyObject_GetOptionalAttr(builtins.get(), name.get(), &found) < 0) {
            return keep_error(error);
        }
        if (found == nullptr) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            return keep_error(error);
        }
    }
    *hex = Ref::steal(found);
    return true;
}

} // namespace

bool HexDigits::take(PyObject* hex, int count) noexcept {
    Digit& digit = digits_[static_cast<std::size_t>(count)];
    Ref index = Ref::steal(PyLong_FromLong(count - 1));
    if (!index) {
        return false;
    }
    Ref element = Ref::steal(PyObject_GetItem(hex, index.get()));
    if (!element) {
        return keep_error(&digit.error);
    }
    if (!PyUnicode_Check(element.get())) {
        digit.other = std::move(element);
        return true;
    }
    Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(element.get(), "utf-8", "surrogatepass"));
    if (!utf8) {
        return false;
    }
    try {
        digit.text.assign(PyBytes_AS_STRING(utf8.get()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(utf8.get())));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool HexDigits::read() noexcept {
    Ref hex;
    Ref error;
    if (!find_hex(&hex, &error)) {
        return false;
    }
    complete_ = single_bytes_ = true;
    for (int count = 1; count <= dwex::format::max_length_digits; ++count) {
        Digit& digit = digits_[static_cast<std::size_t>(count)];
        if (!hex) {
            digit.error = Ref::borrow(error.get());
        } else if (!take(hex.get(), count)) {
            return false;
        }
        const bool has_text = !digit.error && !digit.other;
        complete_ = complete_ && has_text;
        single_bytes_ = single_bytes_ && has_text && digit.text.size() == 1 &&
                        static_cast<unsigned char>(digit.text[0]) < 0x80;
        bytes_.of_count[static_cast<std::size_t>(count)] = single_bytes_ ? digit.text[0] : '\0';
    }
    return true;
}

const HexDigits::Digit& HexDigits::of(int count) const noexcept {
    // No cell held in memory has a longer length field than the format allows.
    return digits_[static_cast<std::size_t>(std::min(count, dwex::format::max_length_digits))];
}

} // namespace dwexio
