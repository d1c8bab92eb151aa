// simd.hpp: the few vector operations that the kernels are written in, named
// for what they do to 16 bytes: loads and stores, lane compares, bit
// operations, packs that narrow lanes and zero-extensions that widen them, and
// the masks that turn a vector's lanes into the bits of an integer. SSE2 on
// x86-64, NEON on aarch64; elsewhere `enabled` is false, DWEX_SIMD is 0 and
// every kernel runs its plain twin. Code with a vector path puts it under
// `#if DWEX_SIMD`, so it reaches no intrinsic but through the names below.
// Header-only and free of the interpreter.
#ifndef DWEX_CODEC_SIMD_HPP
#define DWEX_CODEC_SIMD_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define DWEX_SIMD 1
#elif defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define DWEX_SIMD 1
#else
#define DWEX_SIMD 0
#endif

namespace dwex::simd {

/// The bytes of one vector: every load and store below moves this many, or
/// the low half or quarter of it where its name says so.
inline constexpr std::size_t vector_bytes = 16;

/// The lanes of one vector for units of `U`.
template <typename U> inline constexpr std::size_t lanes = vector_bytes / sizeof(U);

#define DWEX_SIMD_OP [[gnu::always_inline]] inline

#if defined(__SSE2__)

inline constexpr bool enabled = true;

using Vec = __m128i;

// Loads and stores, all unaligned.
DWEX_SIMD_OP Vec load(const void* p) noexcept {
    return _mm_loadu_si128(static_cast<const Vec*>(p));
}
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
DWEX_SIMD_OP void store_low8(void* p, Vec v) noexcept { _mm_storel_epi64(static_cast<Vec*>(p), v); }
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
DWEX_SIMD_OP Vec splat16(std::uint16_t x) noexcept { return _mm_set1_epi16(static_cast<short>(x)); }
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
// Byte lanes added and subtracted, wrapping.
DWEX_SIMD_OP Vec add8(Vec a, Vec b) noexcept { return _mm_add_epi8(a, b); }
DWEX_SIMD_OP Vec sub8(Vec a, Vec b) noexcept { return _mm_sub_epi8(a, b); }
/// The sum of the 16 byte lanes, unsigned.
DWEX_SIMD_OP std::uint32_t sum8(Vec v) noexcept {
    const Vec halves = _mm_sad_epu8(v, _mm_setzero_si128());
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(halves)) +
           static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 8)));
}

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

#elif DWEX_SIMD

inline constexpr bool enabled = true;

// Bytes by default; each operation reinterprets to the lanes it works on,
// which costs no instruction.
using Vec = uint8x16_t;

namespace neon {
DWEX_SIMD_OP uint16x8_t u16(Vec v) noexcept { return vreinterpretq_u16_u8(v); }
DWEX_SIMD_OP uint32x4_t u32(Vec v) noexcept { return vreinterpretq_u32_u8(v); }
DWEX_SIMD_OP int8x16_t s8(Vec v) noexcept { return vreinterpretq_s8_u8(v); }
DWEX_SIMD_OP int32x4_t s32(Vec v) noexcept { return vreinterpretq_s32_u8(v); }
DWEX_SIMD_OP Vec bytes(uint16x8_t v) noexcept { return vreinterpretq_u8_u16(v); }
DWEX_SIMD_OP Vec bytes(uint32x4_t v) noexcept { return vreinterpretq_u8_u32(v); }
DWEX_SIMD_OP Vec bytes(int16x8_t v) noexcept { return vreinterpretq_u8_s16(v); }
DWEX_SIMD_OP Vec bytes(uint64x2_t v) noexcept { return vreinterpretq_u8_u64(v); }
/// NEON has no movemask: a narrowing shift by 4 keeps the middle byte of
/// each 16-bit lane, that is four bits of each byte lane, in one 64-bit
/// word. Where every lane is all ones or all zeros, that word is zero
/// exactly when no lane is set.
DWEX_SIMD_OP std::uint64_t nibbles(Vec lanes_all_or_none) noexcept {
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(u16(lanes_all_or_none), 4)), 0);
}
} // namespace neon

// Loads and stores, all unaligned.
DWEX_SIMD_OP Vec load(const void* p) noexcept {
    return vld1q_u8(static_cast<const std::uint8_t*>(p));
}
/// 8 bytes into the low half; the high half is zero.
DWEX_SIMD_OP Vec load_low8(const void* p) noexcept {
    return vcombine_u8(vld1_u8(static_cast<const std::uint8_t*>(p)), vdup_n_u8(0));
}
/// 4 bytes into the lowest lane; the rest is zero.
DWEX_SIMD_OP Vec load_low4(const void* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return neon::bytes(vsetq_lane_u32(v, vdupq_n_u32(0), 0));
}
/// The 8 bytes of `word` in the low half; the high half is zero.
DWEX_SIMD_OP Vec from_word(std::uint64_t word) noexcept {
    return neon::bytes(vcombine_u64(vcreate_u64(word), vcreate_u64(0)));
}
DWEX_SIMD_OP void store(void* p, Vec v) noexcept { vst1q_u8(static_cast<std::uint8_t*>(p), v); }
/// The low 8 bytes of `v`.
DWEX_SIMD_OP void store_low8(void* p, Vec v) noexcept {
    vst1_u8(static_cast<std::uint8_t*>(p), vget_low_u8(v));
}
/// The lowest 32-bit lane.
DWEX_SIMD_OP std::uint32_t low_lane32(Vec v) noexcept { return vgetq_lane_u32(neon::u32(v), 0); }
/// The low 4 bytes of `v`.
DWEX_SIMD_OP void store_low4(void* p, Vec v) noexcept {
    const std::uint32_t low = low_lane32(v);
    std::memcpy(p, &low, 4);
}

// Constants.
DWEX_SIMD_OP Vec zero() noexcept { return vdupq_n_u8(0); }
DWEX_SIMD_OP Vec splat8(std::int8_t x) noexcept { return vreinterpretq_u8_s8(vdupq_n_s8(x)); }
DWEX_SIMD_OP Vec splat16(std::uint16_t x) noexcept { return neon::bytes(vdupq_n_u16(x)); }
DWEX_SIMD_OP Vec splat32(std::uint32_t x) noexcept { return neon::bytes(vdupq_n_u32(x)); }

// Bit operations.
DWEX_SIMD_OP Vec bit_or(Vec a, Vec b) noexcept { return vorrq_u8(a, b); }
DWEX_SIMD_OP Vec bit_and(Vec a, Vec b) noexcept { return vandq_u8(a, b); }
DWEX_SIMD_OP Vec bit_xor(Vec a, Vec b) noexcept { return veorq_u8(a, b); }
/// The whole vector moved `Bytes` bytes towards its low end, zeros shifted in.
template <int Bytes> DWEX_SIMD_OP Vec shift_down(Vec v) noexcept {
    static_assert(Bytes >= 0 && Bytes <= 16);
    if constexpr (Bytes == 16) {
        return zero();
    } else {
        return vextq_u8(v, zero(), Bytes);
    }
}

// Lane compares: all ones where true. `less`/`greater` compare signed lanes.
DWEX_SIMD_OP Vec equal8(Vec a, Vec b) noexcept { return vceqq_u8(a, b); }
DWEX_SIMD_OP Vec less8(Vec a, Vec b) noexcept { return vcltq_s8(neon::s8(a), neon::s8(b)); }
DWEX_SIMD_OP Vec greater8(Vec a, Vec b) noexcept { return vcgtq_s8(neon::s8(a), neon::s8(b)); }
DWEX_SIMD_OP Vec equal16(Vec a, Vec b) noexcept {
    return neon::bytes(vceqq_u16(neon::u16(a), neon::u16(b)));
}
DWEX_SIMD_OP Vec greater32(Vec a, Vec b) noexcept {
    return neon::bytes(vcgtq_s32(neon::s32(a), neon::s32(b)));
}
DWEX_SIMD_OP Vec sub32(Vec a, Vec b) noexcept {
    return neon::bytes(vsubq_u32(neon::u32(a), neon::u32(b)));
}
DWEX_SIMD_OP Vec add8(Vec a, Vec b) noexcept { return vaddq_u8(a, b); }
DWEX_SIMD_OP Vec sub8(Vec a, Vec b) noexcept { return vsubq_u8(a, b); }
DWEX_SIMD_OP std::uint32_t sum8(Vec v) noexcept { return vaddlvq_u8(v); }

// Masks: bit k of the result is the top bit of lane k. NEON has no movemask:
// each lane's top bit becomes the lane's own place value (1, 2, 4...), and
// pairwise or whole-vector adds sum the lanes.
DWEX_SIMD_OP std::uint32_t mask8(Vec v) noexcept {
    const uint8x8_t weights = vcreate_u8(0x8040201008040201);
    Vec bits =
        vandq_u8(vreinterpretq_u8_s8(vshrq_n_s8(neon::s8(v), 7)), vcombine_u8(weights, weights));
    bits = vpaddq_u8(bits, bits);
    bits = vpaddq_u8(bits, bits);
    bits = vpaddq_u8(bits, bits);
    return vgetq_lane_u16(neon::u16(bits), 0);
}
DWEX_SIMD_OP std::uint32_t mask32(Vec v) noexcept {
    const int32x4_t place =
        vcombine_s32(vcreate_s32(0x0000000100000000), vcreate_s32(0x0000000300000002));
    return vaddvq_u32(vshlq_u32(vshrq_n_u32(neon::u32(v), 31), place));
}
/// Whether any byte of `v` has its top bit set.
DWEX_SIMD_OP bool any_top_bit8(Vec v) noexcept {
    return neon::nibbles(vreinterpretq_u8_s8(vshrq_n_s8(neon::s8(v), 7))) != 0;
}
/// Whether every 16-bit lane of `v` is zero: the saturating narrowing of its
/// two halves is zero only where both are.
DWEX_SIMD_OP bool all_zero16(Vec v) noexcept {
    return vget_lane_u64(vreinterpret_u64_u32(vqmovn_u64(vreinterpretq_u64_u8(v))), 0) == 0;
}

// Narrowing: two vectors of lanes into one of lanes half as wide, `a` low.
/// 16-bit lanes to bytes, saturating unsigned: exact for lanes up to 0xFF.
/// As SSE2's pack, the lanes are read as signed: negative ones become 0.
DWEX_SIMD_OP Vec pack16_to8(Vec a, Vec b) noexcept {
    return vcombine_u8(vqmovun_s16(vreinterpretq_s16_u8(a)), vqmovun_s16(vreinterpretq_s16_u8(b)));
}
/// 32-bit lanes to 16-bit lanes, saturating signed: exact for signed lanes
/// from -0x8000 to 0x7FFF.
DWEX_SIMD_OP Vec pack32_to16_signed(Vec a, Vec b) noexcept {
    return neon::bytes(vcombine_s16(vqmovn_s32(neon::s32(a)), vqmovn_s32(neon::s32(b))));
}

// Widening: the low or high half of `v`, each lane zero-extended.
DWEX_SIMD_OP Vec widen_low8(Vec v) noexcept { return neon::bytes(vmovl_u8(vget_low_u8(v))); }
DWEX_SIMD_OP Vec widen_high8(Vec v) noexcept { return neon::bytes(vmovl_high_u8(v)); }
DWEX_SIMD_OP Vec widen_low16(Vec v) noexcept {
    return neon::bytes(vmovl_u16(vget_low_u16(neon::u16(v))));
}
DWEX_SIMD_OP Vec widen_high16(Vec v) noexcept { return neon::bytes(vmovl_high_u16(neon::u16(v))); }

#endif

#if DWEX_SIMD
/// The OR of the four 32-bit lanes of `v`.
DWEX_SIMD_OP std::uint32_t or_lanes32(Vec v) noexcept {
    v = bit_or(v, shift_down<8>(v));
    v = bit_or(v, shift_down<4>(v));
    return low_lane32(v);
}
#else
inline constexpr bool enabled = false;
#endif

#undef DWEX_SIMD_OP

} // namespace dwex::simd

#endif
