// utf8.hpp: UTF-8 bytes measured in UTF-16 units, header-only and free of the
// interpreter: the walk that cuts an item's content out of a UTF-8 document
// (validating it as it goes) and the count of a valid UTF-8 string's units
// that writing an item's length needs. Each kernel has a plain twin that
// defines its result; the vector paths only skip ASCII runs faster.
//
// They are written here rather than taken from a UTF-8 library because the
// walk needs what no such library returns in one pass (stop after exactly n
// UTF-16 units, report a lone surrogate rather than reject it, say where the
// input ran out), and because the wheel must stay self-contained: these few
// loops are cheaper than a shared library to graft into it.
#ifndef DWEX_CODEC_UTF8_HPP
#define DWEX_CODEC_UTF8_HPP

#include "core/simd.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

namespace dwex::utf8 {

/// How a walk stopped. `ok`: exactly the target was taken. `ran_out`: the
/// input ended on a code-point boundary below the target. `truncated`: it
/// ended inside a code point whose bytes so far are valid. `overshoot`: the
/// last code point taken was above U+FFFF and passed the target by one unit.
/// `invalid`: the bytes at `at` are not UTF-8 (lone surrogates excepted).
enum class Stop : std::uint8_t { ok, ran_out, truncated, overshoot, invalid };

struct Walk {
    const std::uint8_t* at; ///< the first byte not taken
    std::int64_t units;     ///< the UTF-16 units taken
    Stop stop;
    bool surrogate;     ///< a lone surrogate (U+D800-U+DFFF) was taken
    bool astral;        ///< a code point above U+FFFF was taken
    std::uint32_t last; ///< the last code point taken when it is astral
    friend constexpr bool operator==(const Walk&, const Walk&) = default;
};

constexpr bool is_continuation(std::uint8_t b) noexcept { return (b & 0xC0) == 0x80; }

/// One code point at `p` (before `end`): its length in bytes (0 when the
/// bytes are not UTF-8, -1 when they are valid but end early) and its value.
/// Lone surrogates decode as themselves, as Python's "surrogatepass" reads them.
struct Decoded {
    int length;
    std::uint32_t code_point;
};

constexpr Decoded decode(const std::uint8_t* p, const std::uint8_t* end) noexcept {
    const std::uint32_t b0 = p[0];
    if (b0 < 0x80) {
        return {1, b0};
    }
    int length;
    std::uint32_t value;
    std::uint8_t low = 0x80, high = 0xBF; // the range allowed for the second byte
    if (b0 < 0xC2) {
        return {0, 0};
    } else if (b0 < 0xE0) {
        length = 2;
        value = b0 & 0x1F;
    } else if (b0 < 0xF0) {
        length = 3;
        value = b0 & 0x0F;
        if (b0 == 0xE0) {
            low = 0xA0; // shorter forms are overlong
        }
    } else if (b0 < 0xF5) {
        length = 4;
        value = b0 & 0x07;
        if (b0 == 0xF0) {
            low = 0x90;
        } else if (b0 == 0xF4) {
            high = 0x8F; // above U+10FFFF otherwise
        }
    } else {
        return {0, 0};
    }
    for (int k = 1; k < length; ++k) {
        if (p + k >= end) {
            return {-1, 0};
        }
        const std::uint8_t b = p[k];
        if (k == 1 ? (b < low || b > high) : !is_continuation(b)) {
            return {0, 0};
        }
        value = (value << 6) | (b & 0x3Fu);
    }
    return {length, value};
}

constexpr bool is_surrogate(std::uint32_t c) noexcept { return c - 0xD800 < 0x800; }

/// Takes the one code point at `p` into `w`, or stops `w` there.
inline bool take(const std::uint8_t*& p, const std::uint8_t* end, Walk& w) noexcept {
    const std::uint8_t b0 = *p;
    if (b0 < 0x80) {
        ++p;
        ++w.units;
        return true;
    }
    // Two-byte sequences, and three-byte ones whose lead needs no check of
    // the second byte's range (not E0, not ED): most text outside ASCII.
    if (b0 >= 0xC2 && b0 < 0xE0 && end - p > 1 && is_continuation(p[1])) {
        p += 2;
        ++w.units;
        return true;
    }
    if (b0 > 0xE0 && b0 < 0xF0 && b0 != 0xED && end - p > 2 && is_continuation(p[1]) &&
        is_continuation(p[2])) {
        p += 3;
        ++w.units;
        return true;
    }
    const Decoded d = decode(p, end);
    if (d.length <= 0) {
        w.at = p;
        w.stop = d.length < 0 ? Stop::truncated : Stop::invalid;
        return false;
    }
    p += d.length;
    if (d.length == 4) {
        w.units += 2;
        w.astral = true;
        w.last = d.code_point;
    } else {
        w.units += 1;
        w.surrogate |= is_surrogate(d.code_point);
    }
    return true;
}

/// The plain walk: takes code points from `p` while fewer than `target`
/// units are taken, counting two units above U+FFFF and one otherwise.
inline Walk walk_plain(const std::uint8_t* p, const std::uint8_t* end, std::int64_t target,
                       Walk w = {}) noexcept {
    while (w.units < target) {
        if (p == end) {
            w.at = p;
            w.stop = Stop::ran_out;
            return w;
        }
        if (!take(p, end, w)) {
            return w;
        }
    }
    w.at = p;
    w.stop = w.units > target ? Stop::overshoot : Stop::ok;
    return w;
}

/// The bytes of one block of the vector paths. A block of one- to
/// three-byte sequences adds at most this many units, one per lead.
inline constexpr std::int64_t block_bytes = static_cast<std::int64_t>(simd::vector_bytes);

#if DWEX_SIMD
/// Takes whole blocks of ASCII and of two- and three-byte sequences (those
/// that need no check beyond their continuation bytes: not E0, whose second
/// byte has a narrower range, nor ED, which leads surrogates) while the block
/// cannot pass `target`. Every lead is one unit, so a block adds its bytes
/// less its continuation bytes. Stops at the first block holding anything
/// else, or ending the input, and always on a code-point boundary.
inline void take_blocks(const std::uint8_t*& p, const std::uint8_t* end, std::int64_t target,
                        Walk& w) noexcept {
    using namespace simd;
    // Signed bytes: continuation bytes are [-128, -65], leads C2-DF [-62, -33],
    // leads E1-EF [-31, -17] less ED (-19).
    const auto in_range = [](Vec v, std::int8_t above, std::int8_t below) {
        return mask8(bit_and(greater8(v, splat8(above)), less8(v, splat8(below))));
    };
    std::uint32_t carry = 0; // continuation bytes that the last block's leads expect in the next
    while (target - w.units >= block_bytes && end - p >= block_bytes) {
        const Vec v = load(p);
        const std::uint32_t high = mask8(v);
        if ((high | carry) == 0) {
            p += block_bytes;
            w.units += block_bytes;
            continue;
        }
        const std::uint32_t cont = mask8(less8(v, splat8(-64)));
        const std::uint32_t lead2 = in_range(v, -63, -32);
        const std::uint32_t lead3 = in_range(v, -32, -16) & ~mask8(equal8(v, splat8(-19)));
        const std::uint32_t expected = ((lead2 | lead3) << 1) | (lead3 << 2) | carry;
        if ((cont | lead2 | lead3) != high || (expected & 0xFFFF) != cont) {
            break;
        }
        carry = expected >> block_bytes;
        w.units += block_bytes - std::popcount(cont);
        p += block_bytes;
    }
    if (carry != 0) {
        // The last block ends inside a sequence: give its lead back.
        do {
            --p;
        } while (is_continuation(*p));
        --w.units;
    }
}
#endif

/// The same walk, taking blocks of ASCII and of common two- and three-byte
/// text wherever a block's worth of units is still wanted; the plain steps
/// take everything else.
inline Walk walk(const std::uint8_t* p, const std::uint8_t* end, std::int64_t target) noexcept {
    Walk w{};
    for (;;) {
#if DWEX_SIMD
        take_blocks(p, end, target, w);
#endif
        if (target - w.units < block_bytes || end - p < block_bytes) {
            return walk_plain(p, end, target, w);
        }
        // A block the masks refused: a few code points one at a time, then blocks again.
        const std::uint8_t* const stop = p + block_bytes;
        while (p < stop && w.units < target) {
            if (!take(p, end, w)) {
                return w;
            }
        }
    }
}

/// The UTF-16 length of `n` bytes of valid UTF-8: one unit per code point,
/// two above U+FFFF; that is, every byte but continuation bytes, plus one per
/// four-byte lead.
inline std::int64_t units_plain(const std::uint8_t* p, std::size_t n) noexcept {
    std::int64_t units = 0;
    for (std::size_t k = 0; k < n; ++k) {
        units += !is_continuation(p[k]);
        units += p[k] >= 0xF0;
    }
    return units;
}

#if DWEX_SIMD
/// Each byte's UTF-16 units, for valid UTF-8: none for a continuation byte,
/// two for a four-byte lead, one for any other.
[[gnu::always_inline]] inline simd::Vec unit_weights(simd::Vec v) noexcept {
    using namespace simd;
    // As signed bytes, continuation bytes are [-128, -65] and four-byte leads [-16, -9].
    const Vec cont = less8(v, splat8(-64));
    const Vec lead4 = bit_and(greater8(v, splat8(-17)), less8(v, zero()));
    // All ones is -1: one, less one for a continuation, plus one for a lead.
    return sub8(add8(splat8(1), cont), lead4);
}
#endif

inline std::int64_t units(const std::uint8_t* p, std::size_t n) noexcept {
    std::int64_t total = 0;
    std::size_t k = 0;
#if DWEX_SIMD
    using namespace simd;
    for (; k + vector_bytes <= n; k += vector_bytes) {
        const Vec v = load(p + k);
        total += any_top_bit8(v) ? sum8(unit_weights(v)) : block_bytes;
    }
#endif
    return total + units_plain(p + k, n - k);
}

#if DWEX_SIMD
namespace detail {
/// Two vectors' worth of all-ones bytes, then as many zero bytes: a load at
/// `2 * vector_bytes - n` keeps the first n bytes of two vectors.
inline constexpr auto first_bytes = [] {
    std::array<std::uint8_t, 4 * simd::vector_bytes> t{};
    for (std::size_t k = 0; k < 2 * simd::vector_bytes; ++k) {
        t[k] = 0xFF;
    }
    return t;
}();
} // namespace detail

/// The UTF-16 units of the first `n` bytes (at most 32) of `low` followed by
/// `high`, the bytes beyond `n` masked off: without a loop over a tail.
[[gnu::always_inline]] inline std::int64_t units_of(simd::Vec low, simd::Vec high,
                                                    std::size_t n) noexcept {
    using namespace simd;
    const std::uint8_t* keep = detail::first_bytes.data() + 2 * vector_bytes - n;
    low = bit_and(low, load(keep));
    high = bit_and(high, load(keep + vector_bytes));
    if (!any_top_bit8(bit_or(low, high))) {
        return static_cast<std::int64_t>(n);
    }
    // At most two units a byte, four a lane after the add; each of the
    // 2 * vector_bytes - n bytes masked to zero weighs one.
    return static_cast<std::int64_t>(sum8(add8(unit_weights(low), unit_weights(high)))) -
           static_cast<std::int64_t>(2 * vector_bytes - n);
}
#endif

} // namespace dwex::utf8

#endif
