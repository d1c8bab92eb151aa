// format.hpp: the format's shared rules, header-only and free of the interpreter:
// the characters of the format, the width digit, and the UTF-16 length of a
// code-unit array. Both the writer and the reader use them; the length
// field's text is written by decimal.hpp.
#ifndef DWEX_CODEC_FORMAT_HPP
#define DWEX_CODEC_FORMAT_HPP

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace dwex::format {

/// The three storage widths of a str: 1, 2 or 4 bytes per code point.
template <typename U>
concept CodeUnit = std::same_as<U, std::uint8_t> || std::same_as<U, std::uint16_t> ||
                   std::same_as<U, std::uint32_t>;

inline constexpr char32_t row_terminator = U';';
inline constexpr char32_t digit_zero = U'0';
/// A length field holds at most this many decimal digits (width digit 'f').
inline constexpr int max_length_digits = 16;
inline constexpr char32_t last_bmp = 0xFFFF;
inline constexpr char32_t low_surrogate_base = 0xDC00;
inline constexpr char32_t low_ten_bits = 0x3FF;

/// Decimal digit test of the length field: '0'-'9' and nothing else. The
/// subtraction wraps for code points below '0', so one unsigned compare does.
constexpr bool is_decimal_digit(std::uint32_t c) noexcept { return c - digit_zero <= 9; }

/// Value of a width digit (0-15), or -1 for a character that is not one.
/// '0'-'9' give 0-9; clearing bit 0x20 folds 'a'-'f' onto 'A'-'F', which give
/// 10-15; nothing else (in particular no other letter) is accepted.
constexpr int width_digit_value(std::uint32_t c) noexcept {
    if (is_decimal_digit(c)) {
        return static_cast<int>(c - digit_zero);
    }
    const std::uint32_t upper = c & ~std::uint32_t{0x20};
    if (upper - U'A' <= 5) {
        return 10 + static_cast<int>(upper - U'A');
    }
    return -1;
}

/// UTF-16 length of `n` code points at one storage width: the count plus one
/// for every code point above U+FFFF. Lone surrogates count one like any other
/// BMP code point. Only 4-byte arrays can hold astral code points, so the
/// narrower widths cost nothing.
template <CodeUnit U> constexpr std::size_t utf16_length(const U* units, std::size_t n) noexcept {
    if constexpr (sizeof(U) < 4) {
        (void)units;
        return n;
    } else {
        std::size_t astral = 0;
        for (std::size_t i = 0; i < n; ++i) {
            astral += units[i] > last_bmp; // branch-free: the compiler vectorises this
        }
        return n + astral;
    }
}

static_assert(width_digit_value(U'0') == 0 && width_digit_value(U'9') == 9);
static_assert(width_digit_value(U'a') == 10 && width_digit_value(U'F') == 15);
static_assert(width_digit_value(U'g') == -1 && width_digit_value(U'G') == -1);
static_assert(width_digit_value(U'/') == -1 && width_digit_value(U'@') == -1);
static_assert(width_digit_value(U'`') == -1 && width_digit_value(U';') == -1);

} // namespace dwex::format

#endif
