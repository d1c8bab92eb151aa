// widest.hpp: the storage class of a run of code units, i.e. the smallest
// maximum character that a str holding them must be created with. Header-only
// and free of the interpreter. Each kernel has a plain twin that defines what
// it returns; the SSE2 kernel must agree with it on every input.
#ifndef DWEX_CODEC_WIDEST_HPP
#define DWEX_CODEC_WIDEST_HPP

#include "format.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dwex::simd {

/// The four storage classes, named by the largest code point each holds.
inline constexpr std::uint32_t ascii_max = 0x7F;
inline constexpr std::uint32_t latin1_max = 0xFF;
inline constexpr std::uint32_t bmp_max = 0xFFFF;
inline constexpr std::uint32_t astral_max = 0x10FFFF;

/// The class of `bits`, the OR of some code points. Each class limit is one
/// less than a power of two, so the OR lands in the same class as the maximum.
constexpr std::uint32_t class_of_bits(std::uint32_t bits) noexcept {
    return bits <= ascii_max    ? ascii_max
           : bits <= latin1_max ? latin1_max
           : bits <= bmp_max    ? bmp_max
                                : astral_max;
}

/// The class of the widest of the `n` code units at `p`: the plain statement.
template <format::CodeUnit U>
constexpr std::uint32_t widest_class_plain(const U* p, std::size_t n) noexcept {
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < n; ++k) {
        bits |= p[k];
    }
    return class_of_bits(bits);
}

/// The same class, found 64 bytes a step, then 16. For 1- and 2-byte units
/// the scan stops at the first step that holds a unit deciding the widest
/// class the width can hold (a byte above 0x7F, a unit above 0xFF), since
/// nothing after it can change the answer. A step ORs its four vectors before
/// the one test, so a long cell costs about two instructions per 8 bytes.
/// 4-byte units are left to the plain loop: the reader of 4-byte documents
/// learns their class while counting them.
template <format::CodeUnit U> inline std::uint32_t widest_class(const U* p, std::size_t n) noexcept {
#if defined(__SSE2__)
    if constexpr (sizeof(U) < 4) {
        constexpr std::size_t step = 16 / sizeof(U);
        constexpr std::uint32_t top = sizeof(U) == 1 ? latin1_max : bmp_max;
        const auto load = [p](std::size_t at) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
        };
        // Whether `v` holds a unit of the top class: a byte with its top bit
        // set, or a 16-bit unit with a nonzero high byte.
        const auto holds_top = [](__m128i v) {
            if constexpr (sizeof(U) == 1) {
                return _mm_movemask_epi8(v) != 0;
            } else {
                const __m128i high = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF00)));
                return _mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF;
            }
        };
        std::size_t k = 0;
        __m128i bits = _mm_setzero_si128();
        for (; k + 4 * step <= n; k += 4 * step) {
            const __m128i v = _mm_or_si128(_mm_or_si128(load(k), load(k + step)),
                                           _mm_or_si128(load(k + 2 * step), load(k + 3 * step)));
            if (holds_top(v)) {
                return top;
            }
            if constexpr (sizeof(U) == 2) {
                bits = _mm_or_si128(bits, v);
            }
        }
        for (; k + step <= n; k += step) {
            const __m128i v = load(k);
            if (holds_top(v)) {
                return top;
            }
            if constexpr (sizeof(U) == 2) {
                bits = _mm_or_si128(bits, v);
            }
        }
        std::uint32_t rest = 0;
        if constexpr (sizeof(U) == 2) {
            // Every lane is at most 0xFF here; fold them into one value.
            bits = _mm_or_si128(bits, _mm_srli_si128(bits, 8));
            bits = _mm_or_si128(bits, _mm_srli_si128(bits, 4));
            bits = _mm_or_si128(bits, _mm_srli_si128(bits, 2));
            rest = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bits)) & 0xFFFF;
        }
        for (; k < n; ++k) {
            rest |= p[k];
        }
        return class_of_bits(rest);
    }
#endif
    return widest_class_plain(p, n);
}

} // namespace dwex::simd

#endif
