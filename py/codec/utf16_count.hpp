// utf16_count.hpp: walking the content of an item in a 4-byte document until
// it holds a given number of UTF-16 units, noting the OR of its code points on
// the way so that the item's storage class needs no second pass. Header-only
// and free of the interpreter. The plain twin defines the result; the SSE2
// kernel must agree with it on every input.
#ifndef DWEX_CODEC_UTF16_COUNT_HPP
#define DWEX_CODEC_UTF16_COUNT_HPP

#include "format.hpp"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dwex::simd {

/// Where a count stopped. `idx` is the first code point not taken and `units`
/// the UTF-16 units taken; `bits` is the OR of the code points taken.
/// `ran_out` means the input ended while `units` was still below the target.
struct Count {
    std::int64_t idx;
    std::int64_t units;
    std::uint32_t bits;
    bool ran_out;
    friend constexpr bool operator==(const Count&, const Count&) = default;
};

/// Takes code points from `buf[idx]` on, while fewer than `target` units are
/// taken, each counting two units above U+FFFF and one otherwise; stops with
/// `ran_out` if it reaches `length` first. It may overshoot the target by one
/// unit, when the last code point taken is astral.
inline Count count_utf16_plain(const std::uint32_t* buf, std::int64_t idx, std::int64_t length,
                               std::int64_t target, std::int64_t units = 0,
                               std::uint32_t bits = 0) noexcept {
    while (units < target) {
        if (idx >= length) {
            return Count{idx, units, bits, true};
        }
        const std::uint32_t ch = buf[idx];
        units += ch > format::last_bmp ? 2 : 1;
        bits |= ch;
        ++idx;
    }
    return Count{idx, units, bits, false};
}

/// The same walk, four code points a step. A code point adds at most two
/// units, so while the target is at least seven units ahead, all four code
/// points of a step are taken without testing the target between them; the
/// plain loop then finishes the last few.
inline Count count_utf16(const std::uint32_t* buf, std::int64_t idx, std::int64_t length,
                         std::int64_t target) noexcept {
    std::int64_t units = 0;
    std::uint32_t bits = 0;
#if defined(__SSE2__)
    if (target - units >= 7 && length - idx >= 4) {
        // Code points are at most 0x10FFFF, so a signed compare orders them.
        const __m128i bmp_top = _mm_set1_epi32(static_cast<int>(format::last_bmp));
        // The number of set bits of each 4-bit lane mask: the astral code points.
        constexpr std::uint8_t astral_count[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
        __m128i ors = _mm_setzero_si128();
        do {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + idx));
            ors = _mm_or_si128(ors, v);
            const int astral = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpgt_epi32(v, bmp_top)));
            units += 4 + astral_count[astral];
            idx += 4;
        } while (target - units >= 7 && length - idx >= 4);
        ors = _mm_or_si128(ors, _mm_srli_si128(ors, 8));
        ors = _mm_or_si128(ors, _mm_srli_si128(ors, 4));
        bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(ors));
    }
#endif
    return count_utf16_plain(buf, idx, length, target, units, bits);
}

} // namespace dwex::simd

#endif
