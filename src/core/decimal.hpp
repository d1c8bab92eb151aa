// decimal.hpp: the one writer of the length field's text (its shortest
// decimal digits, no sign, "0" for zero), straight into a document at any
// storage width: the number of digits from the bit width (no loop), then the
// digits two at a time from a table of the pairs "00" to "99"; and the table
// of whole short fields that the writers of short leaves copy from it.
// The width digit is the one a table of width digits gives for the number
// of digits. Interpreter-free.
#ifndef DWEX_CODEC_DECIMAL_HPP
#define DWEX_CODEC_DECIMAL_HPP

#include "core/format.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace dwex::format {

namespace decimal_detail {

inline constexpr std::array<std::uint64_t, 20> powers_of_ten = [] {
    std::array<std::uint64_t, 20> p{};
    std::uint64_t v = 1;
    for (auto& e : p) {
        e = v;
        v *= 10;
    }
    return p;
}();

// "000102...9899": the two digits of every number below 100.
inline constexpr std::array<char, 200> digit_pairs = [] {
    std::array<char, 200> t{};
    for (std::size_t k = 0; k < 100; ++k) {
        t[2 * k] = static_cast<char>(digit_zero + k / 10);
        t[2 * k + 1] = static_cast<char>(digit_zero + k % 10);
    }
    return t;
}();

} // namespace decimal_detail

/// Number of decimal digits of n (1 for zero), without building the text:
/// 1233 / 4096 is just above log10(2), so the bit width gives the count or
/// one more than it, and one compare settles which.
constexpr int decimal_digit_count(std::uint64_t n) noexcept {
    if (n < 100) { // most leaves: one compare and no loads
        return 1 + (n >= 10);
    }
    const std::uint64_t m = n | 1; // as many digits as n, and a bit width of at least 1
    const int guess = (static_cast<int>(std::bit_width(m)) * 1233) >> 12;
    return guess + 1 - (m < decimal_detail::powers_of_ten[static_cast<std::size_t>(guess)]);
}

/// Writes the `count` decimal digits of n (count = decimal_digit_count(n)) at
/// `to`, the last pair first. Returns the end of what was written.
template <CodeUnit U> U* write_digits(std::uint64_t n, int count, U* to) noexcept {
    using decimal_detail::digit_pairs;
    U* const end = to + count;
    U* at = end;
    while (n >= 100) {
        const auto pair = static_cast<std::size_t>(n % 100) * 2;
        n /= 100;
        at -= 2;
        at[0] = static_cast<U>(digit_pairs[pair]);
        at[1] = static_cast<U>(digit_pairs[pair + 1]);
    }
    if (n >= 10) {
        const auto pair = static_cast<std::size_t>(n) * 2;
        at[-2] = static_cast<U>(digit_pairs[pair]);
        at[-1] = static_cast<U>(digit_pairs[pair + 1]);
    } else {
        at[-1] = static_cast<U>(digit_zero + n);
    }
    return end;
}

/// Writes the width digit `width` and then the length field of n (`count`
/// digits, count = decimal_digit_count(n)) at `to`; returns the end. Below 100
/// the last two digits land at to + count - 1 as one pair, a leading "0" for a
/// one-digit n falling on the width digit's place before the width digit is
/// written over it, so that no branch depends on the length.
template <CodeUnit U> U* write_length_prefix(U width, std::uint64_t n, int count, U* to) noexcept {
    if (n < 100) {
        const auto pair = static_cast<std::size_t>(n) * 2;
        to[count - 1] = static_cast<U>(decimal_detail::digit_pairs[pair]);
        to[count] = static_cast<U>(decimal_detail::digit_pairs[pair + 1]);
        to[0] = width;
        return to + 1 + count;
    }
    to[0] = width;
    return write_digits(n, count, to + 1);
}

/// The width digit and length field of every length below `lengths` whose
/// digits `digits` has a width digit for, each as the first units of four,
/// with how many of those units it takes: one fixed move writes it. `digits`
/// gives `of_count[c]`, the width digit of c length digits, for c up to
/// `counts`; a length with more digits has size 0.
template <CodeUnit Out> struct ShortPrefixes {
    static constexpr std::size_t lengths = 100;
    static constexpr std::size_t slot_units = 4;
    std::array<std::array<Out, slot_units>, lengths> units{};
    std::array<std::uint8_t, lengths> size{};
    static_assert(1 + decimal_digit_count(lengths - 1) <= slot_units,
                  "a width digit and every short length's digits fill one slot");

    template <typename Digits> explicit ShortPrefixes(const Digits& digits) noexcept {
        for (std::size_t n = 0; n < lengths; ++n) {
            const int count = decimal_digit_count(n);
            if (count > digits.counts) {
                break;
            }
            size[n] = static_cast<std::uint8_t>(1 + count);
            write_length_prefix(static_cast<Out>(digits.of_count[static_cast<std::size_t>(count)]),
                                n, count, units[n].data());
        }
    }
};

static_assert(decimal_digit_count(0) == 1 && decimal_digit_count(9) == 1 &&
              decimal_digit_count(10) == 2);
static_assert(decimal_digit_count(99) == 2 && decimal_digit_count(100) == 3);
static_assert(decimal_digit_count(9999999999999999) == 16 &&
              decimal_digit_count(10000000000000000) == 17);
static_assert(decimal_digit_count(~std::uint64_t{0}) == 20);
static_assert(decimal_digit_count(9999999999999999) == max_length_digits);

} // namespace dwex::format

#endif
