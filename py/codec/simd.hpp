// simd.hpp: the few vector operations that the kernels are written in, named
// for what they do to 16 bytes: loads and stores, lane compares, bit
// operations, packs that narrow lanes and zero-extensions that widen them, and
// the masks that turn a vector's lanes into the bits of an integer. SSE2 on
// x86-64; without it `enabled` is false and every kernel runs its plain twin.
// Header-only and free of the interpreter.
#ifndef DWEX_CODEC_SIMD_HPP
#define DWEX_CODEC_SIMD_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace dwex::simd {

/// The bytes of one vector: every load and store below moves this many, or
/// the low half or quarter of it where its name says so.
inline constexpr std::size_t vector_bytes = 16;

/// The lanes of one vector for units of `U`.
template <typename U> inline constexpr std::size_t lanes = vector_bytes / sizeof(U);

#if defined(__SSE2__)

inline constexpr bool enabled = true;

using Vec = __m128i;

#define DWEX_SIMD_OP [[gnu::always_inline]] inline

// Loads and stores, all unaligned.
DWEX_SIMD_OP Vec load(const void* p) noexcept { return _mm_loadu_si128(static_cast<const Vec*>(p)); }
/// 8 bytes into the low half; the high half is zero.
DWEX_SIMD_OP Vec load_low8(const void* p) noexcept {
    return _mm_loadl_epi64(static_cast<const Vec*>(p));
}
/// 4 bytes into the lowest lane; the rest is zero.
DWEX_SIMD_OP Vec load_low4(const void* p) noexcept {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}
/// The 8 bytes of `word` in the low half; the high half is zero.
DWEX_SIMD_OP Vec from_word(std::uint64_t word) noexcept {
    return _mm_cvtsi64_si128(static_cast<long long>(word));
}
DWEX_SIMD_OP void store(void* p, Vec v) noexcept { _mm_storeu_si128(static_cast<Vec*>(p), v); }
/// The low 8 bytes of `v`.
DWEX_SIMD_OP void store_low8(void* p, Vec v) noexcept {
    _mm_storel_epi64(static_cast<Vec*>(p), v);
}
/// The low 4 bytes of `v`.
DWEX_SIMD_OP void store_low4(void* p, Vec v) noexcept {
    const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &low, 4);
}
/// The lowest 32-bit lane.
DWEX_SIMD_OP std::uint32_t low_lane32(Vec v) noexcept {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
}

// Constants.
DWEX_SIMD_OP Vec zero() noexcept { return _mm_setzero_si128(); }
DWEX_SIMD_OP Vec splat8(std::int8_t x) noexcept { return _mm_set1_epi8(x); }
DWEX_SIMD_OP Vec splat16(std::uint16_t x) noexcept {
    return _mm_set1_epi16(static_cast<short>(x));
}
DWEX_SIMD_OP Vec splat32(std::uint32_t x) noexcept { return _mm_set1_epi32(static_cast<int>(x)); }

// Bit operations.
DWEX_SIMD_OP Vec bit_or(Vec a, Vec b) noexcept { return _mm_or_si128(a, b); }
DWEX_SIMD_OP Vec bit_and(Vec a, Vec b) noexcept { return _mm_and_si128(a, b); }
DWEX_SIMD_OP Vec bit_xor(Vec a, Vec b) noexcept { return _mm_xor_si128(a, b); }
/// The whole vector moved `Bytes` bytes towards its low end, zeros shifted in.
template <int Bytes> DWEX_SIMD_OP Vec shift_down(Vec v) noexcept {
    return _mm_srli_si128(v, Bytes);
}

// Lane compares: all ones where true. `less`/`greater` compare signed lanes.
DWEX_SIMD_OP Vec equal8(Vec a, Vec b) noexcept { return _mm_cmpeq_epi8(a, b); }
DWEX_SIMD_OP Vec less8(Vec a, Vec b) noexcept { return _mm_cmplt_epi8(a, b); }
DWEX_SIMD_OP Vec greater8(Vec a, Vec b) noexcept { return _mm_cmpgt_epi8(a, b); }
DWEX_SIMD_OP Vec equal16(Vec a, Vec b) noexcept { return _mm_cmpeq_epi16(a, b); }
DWEX_SIMD_OP Vec greater32(Vec a, Vec b) noexcept { return _mm_cmpgt_epi32(a, b); }
DWEX_SIMD_OP Vec sub32(Vec a, Vec b) noexcept { return _mm_sub_epi32(a, b); }

// Masks: bit k of the result is the top bit of lane k.
DWEX_SIMD_OP std::uint32_t mask8(Vec v) noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(v));
}
DWEX_SIMD_OP std::uint32_t mask32(Vec v) noexcept {
    return static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(v)));
}
/// Whether any byte of `v` has its top bit set.
DWEX_SIMD_OP bool any_top_bit8(Vec v) noexcept { return mask8(v) != 0; }
/// Whether every 16-bit lane of `v` is zero.
DWEX_SIMD_OP bool all_zero16(Vec v) noexcept { return mask8(equal16(v, zero())) == 0xFFFF; }

// Narrowing: two vectors of lanes into one of lanes half as wide, `a` low.
/// 16-bit lanes to bytes, saturating unsigned: exact for lanes up to 0xFF.
DWEX_SIMD_OP Vec pack16_to8(Vec a, Vec b) noexcept { return _mm_packus_epi16(a, b); }
/// 32-bit lanes to 16-bit lanes, saturating signed: exact for signed lanes
/// from -0x8000 to 0x7FFF.
DWEX_SIMD_OP Vec pack32_to16_signed(Vec a, Vec b) noexcept { return _mm_packs_epi32(a, b); }

// Widening: the low or high half of `v`, each lane zero-extended.
DWEX_SIMD_OP Vec widen_low8(Vec v) noexcept { return _mm_unpacklo_epi8(v, zero()); }
DWEX_SIMD_OP Vec widen_high8(Vec v) noexcept { return _mm_unpackhi_epi8(v, zero()); }
DWEX_SIMD_OP Vec widen_low16(Vec v) noexcept { return _mm_unpacklo_epi16(v, zero()); }
DWEX_SIMD_OP Vec widen_high16(Vec v) noexcept { return _mm_unpackhi_epi16(v, zero()); }

/// The OR of the four 32-bit lanes of `v`.
DWEX_SIMD_OP std::uint32_t or_lanes32(Vec v) noexcept {
    v = bit_or(v, shift_down<8>(v));
    v = bit_or(v, shift_down<4>(v));
    return low_lane32(v);
}

#undef DWEX_SIMD_OP

#else

inline constexpr bool enabled = false;

#endif

} // namespace dwex::simd

#endif
