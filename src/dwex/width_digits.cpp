// width_digits.cpp: reading HEX for the exact routes of stringify.
#include "dwex/width_digits.hpp"

#include "core/widest.hpp"
#include "dwex/hex_cache.hpp"
#include "dwex/state.hpp"

#include <algorithm>

namespace dwex {

PyObject* current_hex(Ref& hex_held) noexcept {
    PyObject* hex = hex_cache_peek();
    if (hex == nullptr) {
        PyObject* found = nullptr;
        const int status = PyDict_GetItemRef(state.ns.get(), state.str(Text::HEX), &found);
        hex_held = Ref::steal(found);
        if (status <= 0 || !PyUnicode_CheckExact(found)) {
            PyErr_Clear();
            return nullptr;
        }
        hex = found;
        hex_cache_remember(hex);
    }
    return hex;
}

bool take_width_digits(const Shape& shape, Py_UCS4 widest, WidthDigits& digits) noexcept {
    Ref hex_held;
    PyObject* hex = current_hex(hex_held);
    if (hex == nullptr) {
        return false;
    }
    const int counts = format::decimal_digit_count(shape.longest);
    if (counts > PyUnicode_GET_LENGTH(hex) || counts > format::max_length_digits) {
        return false;
    }
    for (int count = 1; count <= counts; ++count) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(hex, count - 1);
        if (simd::class_of_bits(ch) > widest) {
            return false;
        }
        digits.of_count[static_cast<std::size_t>(count)] = ch;
    }
    digits.counts = counts;
    return true;
}

WidthDigits ascii_width_digits() noexcept {
    WidthDigits digits;
    Ref hex_held;
    PyObject* hex = current_hex(hex_held);
    if (hex == nullptr) {
        return digits;
    }
    const Py_ssize_t n = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(hex), format::max_length_digits);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(hex, k);
        if (ch > 0x7F) {
            break;
        }
        digits.of_count[static_cast<std::size_t>(k + 1)] = ch;
        digits.counts = static_cast<int>(k + 1);
    }
    return digits;
}

} // namespace dwex
