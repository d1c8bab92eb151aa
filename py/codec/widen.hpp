// widen.hpp: copying code units into a wider storage width (1 to 2, 1 to 4
// and 2 to 4 bytes per code point), with SSE2 on x86-64 and a scalar twin
// that defines what each kernel does. Interpreter-free.
#ifndef DWEX_CODEC_WIDEN_HPP
#define DWEX_CODEC_WIDEN_HPP

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dwex::simd {

/// The meaning of every kernel below: each unit of `from` zero-extended into
/// `to`, which holds room for n wider units. Returns the end of what was written.
template <typename Out, typename In>
Out* widen_scalar(const In* from, std::size_t n, Out* to) noexcept {
    static_assert(sizeof(Out) > sizeof(In));
    for (std::size_t k = 0; k < n; ++k) {
        to[k] = static_cast<Out>(from[k]);
    }
    return to + n;
}

#if defined(__SSE2__)
namespace widen_detail {

// Unaligned loads and stores of 16, 8 and 4 bytes. Every kernel reads and
// writes only inside [from, from + n) and [to, to + n): the last block of a
// run overlaps the one before it instead of reaching past the end, and a run
// shorter than 16 bytes uses 8- or 4-byte loads that overlap the same way.
inline __m128i load(const void* p) noexcept {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline void store(void* p, __m128i v) noexcept { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline __m128i load8(const void* p) noexcept {
    return _mm_loadl_epi64(static_cast<const __m128i*>(p));
}
inline __m128i load4(const void* p) noexcept {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

// 16 one-byte units into 16 two-byte units at `to`.
inline void bytes_to_u16(__m128i v, std::uint16_t* to) noexcept {
    const __m128i zero = _mm_setzero_si128();
    store(to, _mm_unpacklo_epi8(v, zero));
    store(to + 8, _mm_unpackhi_epi8(v, zero));
}

// 16 one-byte units into 16 four-byte units at `to`.
inline void bytes_to_u32(__m128i v, std::uint32_t* to) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    store(to, _mm_unpacklo_epi16(lo, zero));
    store(to + 4, _mm_unpackhi_epi16(lo, zero));
    store(to + 8, _mm_unpacklo_epi16(hi, zero));
    store(to + 12, _mm_unpackhi_epi16(hi, zero));
}

// 8 two-byte units into 8 four-byte units at `to`.
inline void u16_to_u32(__m128i v, std::uint32_t* to) noexcept {
    const __m128i zero = _mm_setzero_si128();
    store(to, _mm_unpacklo_epi16(v, zero));
    store(to + 4, _mm_unpackhi_epi16(v, zero));
}

} // namespace widen_detail
#endif

#if defined(__SSE2__)
namespace widen_detail {

// Widens n >= Block units as blocks of `Block` units from the start, the last
// block ending at the end of the run and overlapping the one before it.
template <std::size_t Block, typename In, typename Out, typename Kernel>
Out* in_blocks(const In* from, std::size_t n, Out* to, Kernel kernel) noexcept {
    for (std::size_t k = 0; k + Block < n; k += Block) {
        kernel(from + k, to + k);
    }
    kernel(from + n - Block, to + n - Block);
    return to + n;
}

} // namespace widen_detail
#endif

/// Each unit of `from` zero-extended into `to` (1 to 2, 1 to 4 or 2 to 4
/// bytes): what widen_scalar does, 16 bytes of input per SSE2 step.
template <typename Out, typename In>
[[gnu::always_inline]] inline Out* widen(const In* from, std::size_t n, Out* to) noexcept {
#if defined(__SSE2__)
    using namespace widen_detail;
    const __m128i zero = _mm_setzero_si128();
    constexpr std::size_t per_load = 16 / sizeof(In);
    if (n >= per_load) {
        return in_blocks<per_load>(from, n, to, [](const In* f, Out* t) {
            if constexpr (sizeof(In) == 2) {
                u16_to_u32(load(f), t);
            } else if constexpr (sizeof(Out) == 2) {
                bytes_to_u16(load(f), t);
            } else {
                bytes_to_u32(load(f), t);
            }
        });
    }
    if constexpr (sizeof(In) == 1 && sizeof(Out) == 2) {
        if (n >= 8) {
            return in_blocks<8>(from, n, to, [zero](const In* f, Out* t) {
                store(t, _mm_unpacklo_epi8(load8(f), zero));
            });
        }
    }
    if (n >= 4) { // four units: 4 or 8 bytes in, 8 or 16 bytes out
        return in_blocks<4>(from, n, to, [zero](const In* f, Out* t) {
            if constexpr (sizeof(In) == 2) {
                store(t, _mm_unpacklo_epi16(load8(f), zero));
            } else if constexpr (sizeof(Out) == 2) {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(t), _mm_unpacklo_epi8(load4(f), zero));
            } else {
                store(t, _mm_unpacklo_epi16(_mm_unpacklo_epi8(load4(f), zero), zero));
            }
        });
    }
#endif
    return widen_scalar(from, n, to);
}

/// The meaning of widen_in_place: each of the n units of `from` zero-extended
/// into `to`, last unit first, where `to` may overlap `from` but starts at
/// or after it. Written back to front, each unit is read before any store
/// can reach it.
template <typename Out, typename In>
void widen_in_place_scalar(const In* from, std::size_t n, Out* to) noexcept {
    static_assert(sizeof(Out) >= sizeof(In));
    for (std::size_t k = n; k-- > 0;) {
        const In unit = from[k];
        to[k] = static_cast<Out>(unit);
    }
}

/// What widen_in_place_scalar does, a block of 16 bytes of input per SSE2
/// step from the end: each block is loaded whole before it is stored, and its
/// store ends at or above the block's own end, so it never reaches a unit
/// still to be read. Units of one width are moved as they are.
template <typename Out, typename In>
void widen_in_place(const In* from, std::size_t n, Out* to) noexcept {
    if constexpr (sizeof(Out) == sizeof(In)) {
        std::memmove(to, from, n * sizeof(In));
    } else {
#if defined(__SSE2__)
        using namespace widen_detail;
        constexpr std::size_t per_load = 16 / sizeof(In);
        for (; n >= per_load; n -= per_load) {
            const __m128i v = load(from + n - per_load);
            if constexpr (sizeof(In) == 2) {
                u16_to_u32(v, reinterpret_cast<std::uint32_t*>(to + n - per_load));
            } else if constexpr (sizeof(Out) == 2) {
                bytes_to_u16(v, reinterpret_cast<std::uint16_t*>(to + n - per_load));
            } else {
                bytes_to_u32(v, reinterpret_cast<std::uint32_t*>(to + n - per_load));
            }
        }
#endif
        widen_in_place_scalar(from, n, to);
    }
}

/// The units that one 8-byte word holds: the most that copy_tail_word moves.
template <typename In> inline constexpr std::size_t tail_word_units = 8 / sizeof(In);

/// Copies the n <= tail_word_units<In> units that end at `from + n` into `to`
/// with one 8-byte load that ends there, shifted down to the first unit: so
/// the 8 bytes before `from + n` must be readable, whatever n is. Writes
/// tail_word_units<In> units at `to` (widened to `Out`); those past the first
/// n hold whatever came after, for the caller to write over. Returns to + n.
template <typename Out, typename In>
Out* copy_tail_word(const In* from, std::size_t n, Out* to) noexcept {
    static_assert(sizeof(Out) >= sizeof(In));
    static_assert(std::endian::native == std::endian::little, "the shift takes the first unit low");
    const std::size_t bytes = n * sizeof(In);
    std::uint64_t word;
    std::memcpy(&word, reinterpret_cast<const std::uint8_t*>(from) + bytes - 8, 8);
    // Units are little-endian in the word; with n = 0 nothing is kept and the
    // shift count wraps to 0, which leaves bytes to be written over anyway.
    word >>= (64 - 8 * bytes) & 63;
    if constexpr (sizeof(In) == sizeof(Out)) {
        std::memcpy(to, &word, 8);
    } else {
#if defined(__SSE2__)
        using namespace widen_detail;
        const __m128i zero = _mm_setzero_si128();
        const __m128i v = _mm_cvtsi64_si128(static_cast<long long>(word));
        if constexpr (sizeof(In) == 2) {
            store(to, _mm_unpacklo_epi16(v, zero));
        } else if constexpr (sizeof(Out) == 2) {
            store(to, _mm_unpacklo_epi8(v, zero));
        } else {
            const __m128i v16 = _mm_unpacklo_epi8(v, zero);
            store(to, _mm_unpacklo_epi16(v16, zero));
            store(to + 4, _mm_unpackhi_epi16(v16, zero));
        }
#else
        for (std::size_t k = 0; k < tail_word_units<In>; ++k) {
            to[k] = static_cast<Out>(static_cast<In>(word >> (8 * sizeof(In) * k)));
        }
#endif
    }
    return to + n;
}

} // namespace dwex::simd

#endif
