// narrowing.hpp: copying code units into a narrower width, for cells whose
// widest code point the caller already knows fits. Header-only and free of
// the interpreter. The plain twin, codec::copy_units, defines the result; the
// SSE2 kernels must write exactly the same units and nothing past them.
#ifndef DWEX_CODEC_NARROWING_HPP
#define DWEX_CODEC_NARROWING_HPP

#include "format.hpp"
#include "units.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dwex::simd {

/// Copies `n` units from `from` into the narrower `to`; every unit must fit
/// the output width. Returns the end of what was written. Sixteen output
/// bytes a step, then one shorter step of 8 (or 4) bytes where it fits, the
/// last few units one at a time.
template <typename Out, typename In>
    requires(sizeof(Out) < sizeof(In))
inline Out* narrow_copy(const In* from, std::size_t n, Out* to) noexcept {
    std::size_t k = 0;
#if defined(__SSE2__)
    const auto load = [from](std::size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    };
    const auto store = [to](std::size_t at, __m128i v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), v);
    };
    // The low 8 bytes only: a shorter run's last whole step.
    const auto store_low = [to](std::size_t at, __m128i v) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + at), v);
    };
    if constexpr (sizeof(In) == 2) {
        // 16 units to bytes: every unit is at most 0xFF, so the unsigned
        // saturation of the pack never changes one.
        for (; k + 16 <= n; k += 16) {
            store(k, _mm_packus_epi16(load(k), load(k + 8)));
        }
        if (k + 8 <= n) {
            store_low(k, _mm_packus_epi16(load(k), _mm_setzero_si128()));
            k += 8;
        }
    } else if constexpr (sizeof(Out) == 2) {
        // 8 code points to 16-bit units. SSE2 packs 32-bit lanes only with
        // signed saturation, so the values are moved into the signed range
        // first and back after: exact for every value up to 0xFFFF.
        const __m128i bias32 = _mm_set1_epi32(0x8000);
        const __m128i bias16 = _mm_set1_epi16(static_cast<short>(0x8000));
        for (; k + 8 <= n; k += 8) {
            const __m128i lo = _mm_sub_epi32(load(k), bias32);
            const __m128i hi = _mm_sub_epi32(load(k + 4), bias32);
            store(k, _mm_xor_si128(_mm_packs_epi32(lo, hi), bias16));
        }
        if (k + 4 <= n) {
            const __m128i lo = _mm_sub_epi32(load(k), bias32);
            store_low(k, _mm_xor_si128(_mm_packs_epi32(lo, lo), bias16));
            k += 4;
        }
    } else {
        // 16 code points to bytes: values up to 0xFF pass both packs unchanged.
        for (; k + 16 <= n; k += 16) {
            const __m128i a = _mm_packs_epi32(load(k), load(k + 4));
            const __m128i b = _mm_packs_epi32(load(k + 8), load(k + 12));
            store(k, _mm_packus_epi16(a, b));
        }
        if (k + 8 <= n) {
            const __m128i a = _mm_packs_epi32(load(k), load(k + 4));
            store_low(k, _mm_packus_epi16(a, a));
            k += 8;
        }
        if (k + 4 <= n) {
            const __m128i a = _mm_packs_epi32(load(k), load(k));
            const auto four = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(a, a)));
            std::memcpy(to + k, &four, 4);
            k += 4;
        }
    }
#endif
    return codec::copy_units(from + k, n - k, to + k);
}

/// The plain statement of copy_ascii_prefix: copies units into bytes while
/// they are ASCII and returns the index of the first unit above 0x7F, or `n`.
template <typename In>
    requires(sizeof(In) < 4)
constexpr std::size_t copy_ascii_prefix_plain(const In* from, std::size_t n, std::uint8_t* to,
                                              std::size_t k = 0) noexcept {
    for (; k < n; ++k) {
        if (from[k] > 0x7F) {
            return k;
        }
        to[k] = static_cast<std::uint8_t>(from[k]);
    }
    return n;
}

/// Copies the `n` units at `from` into bytes at `to` while checking that they
/// are ASCII, 64 input bytes a step, so that a cell that is ASCII is read
/// once. Returns what the plain twin returns; the bytes before that index are
/// those it writes, and bytes after it within `n` may have been written too.
template <typename In>
    requires(sizeof(In) < 4)
inline std::size_t copy_ascii_prefix(const In* from, std::size_t n, std::uint8_t* to) noexcept {
    std::size_t k = 0;
#if defined(__SSE2__)
    constexpr std::size_t step = 16 / sizeof(In);
    const auto load = [from](std::size_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    };
    const auto store = [to](std::size_t at, __m128i v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), v);
    };
    for (; k + 4 * step <= n; k += 4 * step) {
        const __m128i a = load(k);
        const __m128i b = load(k + step);
        const __m128i c = load(k + 2 * step);
        const __m128i d = load(k + 3 * step);
        const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        if constexpr (sizeof(In) == 1) {
            if (_mm_movemask_epi8(any) != 0) {
                break; // the plain loop finds the unit
            }
            store(k, a);
            store(k + 16, b);
            store(k + 32, c);
            store(k + 48, d);
        } else {
            // A unit above 0x7F has a bit of 0xFF80 set.
            const __m128i over = _mm_and_si128(any, _mm_set1_epi16(static_cast<short>(0xFF80)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(over, _mm_setzero_si128())) != 0xFFFF) {
                break;
            }
            store(k, _mm_packus_epi16(a, b));
            store(k + 16, _mm_packus_epi16(c, d));
        }
    }
#endif
    return copy_ascii_prefix_plain(from, n, to, k);
}

} // namespace dwex::simd

#endif
