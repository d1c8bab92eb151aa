// leaf_writer.hpp: the one place where the exact routes of stringify write a
// leaf's item (width digit, length field, content) into a document whose
// storage width `Out` is known, from a str of storage width `In`.
#ifndef DWEX_CODEC_LEAF_WRITER_HPP
#define DWEX_CODEC_LEAF_WRITER_HPP

#include <Python.h>

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "core/leaf_writes.hpp"
#include "core/units.hpp"
#include "core/widen.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/width_digits.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dwex {

template <format::CodeUnit Out, format::CodeUnit In>
[[gnu::always_inline]] inline Out* copy_content(const In* from, std::size_t n, Out* to) noexcept {
    if constexpr (sizeof(In) == sizeof(Out)) {
        codec::copy_bytes(reinterpret_cast<const std::uint8_t*>(from), n * sizeof(Out),
                          reinterpret_cast<std::uint8_t*>(to));
        return to + n;
    } else {
        return simd::widen(from, n, to);
    }
}

using format::ShortPrefixes;

/// Writes an item the long way: the width digit `digit`, the `count`
/// decimal digits of `u16_len` and the `n` code points at `data`. Returns
/// the end of the item.
template <format::CodeUnit Out, format::CodeUnit In>
[[gnu::always_inline]] inline Out* write_item(Out digit, std::size_t u16_len, int count,
                                              const In* data, std::size_t n, Out* to) noexcept {
    to = format::write_length_prefix(digit, u16_len, count, to);
    return copy_content<Out, In>(data, n, to);
}

/// Room past a short leaf's own units that its fixed moves need: a 4-unit
/// length field and a word widened to at most 32 bytes.
inline constexpr std::size_t leaf_slack = 32;
static_assert(leaf_slack >=
                  ShortPrefixes<std::uint8_t>::slot_units + simd::tail_word_units<std::uint8_t>,
              "a short length field's move, then a tail word after its last unit");

// The tail word of a compact str's short content starts inside the str's
// header when the content is shorter than the word.
static_assert(layout::header_before_data >= simd::tail_word_bytes);

/// What a writer knows of the leaf it hands to write_leaf.
enum class Leaf : std::uint8_t {
    measured,        // its item fits, with a width digit among the table's
    measured_racing, // as measured, but another thread may have changed the table since
    unmeasured,      // compact, but its item may not fit or need a missing width digit
};

/// Writes the item of leaf `v`: `n` code points at `data`, of UTF-16 length
/// `u16_len`, at `to`, before the document's end `end`. A short item is
/// written with fixed moves that need `leaf_slack` units of room past its
/// own (a measured leaf's own units are known to fit); with less room left,
/// the long way. Returns the end of the item, or,
/// for a leaf that is not `Leaf::measured`, null where it does not fit or
/// HEX gave no width digit for it. The write position travels as an
/// argument and a return value, never through memory, so that the compiler
/// keeps it in a register: a store through a byte pointer could alias
/// anything in memory.
template <format::CodeUnit Out, format::CodeUnit In, Leaf Known>
[[gnu::always_inline]] inline Out*
write_leaf(const ShortPrefixes<Out>& prefixes, const WidthDigits& digits, PyObject* v,
           const In* data, std::size_t n, std::size_t u16_len, Out* to, const Out* end) noexcept {
    const auto room = static_cast<std::size_t>(end - to);
    // A measured leaf's content fits: only the fixed moves need room.
    const std::size_t short_room = Known == Leaf::measured ? leaf_slack : n + leaf_slack;
    if (u16_len < ShortPrefixes<Out>::lengths && room >= short_room) [[likely]] {
        if constexpr (Known == Leaf::measured_racing) {
            if (prefixes.size[u16_len] == 0) {
                return nullptr; // longer than the table measured
            }
        }
        count_leaf_write();
        std::memcpy(to, prefixes.units[u16_len].data(), sizeof(prefixes.units[u16_len]));
        to += prefixes.size[u16_len];
        // A compact str's content follows its header, so the word that ends
        // with a short content lies inside the object. Only on the GIL build:
        // elsewhere that word holds fields that another thread may be writing.
        if constexpr (!free_threaded_paths) {
            if (n <= simd::tail_word_units<In> &&
                (Known == Leaf::unmeasured || PyUnicode_IS_COMPACT(v))) [[likely]] {
                return simd::copy_tail_word(data, n, to);
            }
        }
        return copy_content<Out, In>(data, n, to);
    }
    const int count = format::decimal_digit_count(u16_len);
    if constexpr (Known != Leaf::measured) {
        if (count > digits.counts || room < 1 + static_cast<std::size_t>(count) + n) {
            return nullptr;
        }
    }
    count_leaf_write();
    return write_item(static_cast<Out>(digits.of_count[static_cast<std::size_t>(count)]), u16_len,
                      count, data, n, to);
}

} // namespace dwex

#endif
