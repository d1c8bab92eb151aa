// width_digits.hpp: the width digits that the exact routes of stringify take
// from HEX once per call, where nothing that runs during the call can rebind
// it, and the storage width that they and the leaves call for.
#ifndef DWEX_CODEC_WIDTH_DIGITS_HPP
#define DWEX_CODEC_WIDTH_DIGITS_HPP

#include <Python.h>

#include "core/format.hpp"
#include "dwex/ref.hpp"
#include "dwex/storage.hpp"
#include "dwex/table_shape.hpp"

#include <array>

namespace dwex {

/// The width digit for each count of length digits that a table uses.
struct WidthDigits {
    std::array<Py_UCS4, format::max_length_digits + 1> of_count{}; // index 1 to `counts`
    int counts = 0;
};

/// The widest character among the leaves that `shape` measured.
inline Py_UCS4 widest_of(const Shape& shape) noexcept {
    return widest_of(shape.kinds(), shape.non_ascii());
}

/// The current HEX, read from the module dict without running any code (a
/// lookup of an interned str key), and held in `hex_held` where the cache did
/// not have it; null, with no exception, where it is not an exact str there.
PyObject* current_hex(Ref& hex_held) noexcept;

/// Takes from the current HEX the width digit of every count of length
/// digits up to the longest leaf that `shape` measured. False, with no
/// exception, where HEX is not an exact str, is too short, or holds a width
/// digit wider than `widest` (whether it is used decides the result's
/// storage): the general writer then looks it up again and does what it
/// finds, in order.
bool take_width_digits(const Shape& shape, Py_UCS4 widest, WidthDigits& digits) noexcept;

/// The width digits that the current HEX gives as ASCII characters: each
/// count of length digits up to its first character that is not ASCII. None
/// where HEX is not an exact str in the module dict.
WidthDigits ascii_width_digits() noexcept;

} // namespace dwex

#endif
