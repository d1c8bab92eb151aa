// narrowing.hpp: copying code units into a narrower width, for leaves whose
// widest code point the caller already knows fits. Header-only and free of
// the interpreter. The plain twin, codec::copy_units, defines the result; the
// vector kernels must write exactly the same units and nothing past them.
#ifndef DWEX_CODEC_NARROWING_HPP
#define DWEX_CODEC_NARROWING_HPP

#include "core/format.hpp"
#include "core/simd.hpp"
#include "core/units.hpp"

#include <cstddef>
#include <cstdint>

namespace dwex::simd {

/// Copies `n` units from `from` into the narrower `to`; every unit must fit
/// the output width. Returns the end of what was written. Sixteen output
/// bytes a step, then one shorter step of 8 (or 4) bytes where it fits, the
/// last few units one at a time: nothing is read or written past the `n` units.
template <typename Out, typename In>
    requires(sizeof(Out) < sizeof(In))
inline Out* narrow_copy(const In* from, std::size_t n, Out* to) noexcept {
    std::size_t k = 0;
#if DWEX_SIMD
    const auto in = [from](std::size_t at) { return load(from + at); };
    if constexpr (sizeof(In) == 2) {
        // Every unit is at most 0xFF, so the unsigned saturation of the pack
        // never changes one.
        for (; k + 16 <= n; k += 16) {
            store(to + k, pack16_to8(in(k), in(k + 8)));
        }
        if (k + 8 <= n) {
            store_low8(to + k, pack16_to8(in(k), zero()));
            k += 8;
        }
    } else if constexpr (sizeof(Out) == 2) {
        // The only pack of 32-bit lanes saturates signed, so the values are
        // moved into the signed range first and back after: exact for every
        // value up to 0xFFFF.
        const Vec bias32 = splat32(0x8000);
        const Vec bias16 = splat16(0x8000);
        const auto pack = [&](Vec lo, Vec hi) {
            return bit_xor(pack32_to16_signed(sub32(lo, bias32), sub32(hi, bias32)), bias16);
        };
        for (; k + 8 <= n; k += 8) {
            store(to + k, pack(in(k), in(k + 4)));
        }
        if (k + 4 <= n) {
            const Vec lo = in(k);
            store_low8(to + k, pack(lo, lo));
            k += 4;
        }
    } else {
        // Code points up to 0xFF pass both packs unchanged.
        for (; k + 16 <= n; k += 16) {
            store(to + k, pack16_to8(pack32_to16_signed(in(k), in(k + 4)),
                                     pack32_to16_signed(in(k + 8), in(k + 12))));
        }
        if (k + 8 <= n) {
            const Vec half = pack32_to16_signed(in(k), in(k + 4));
            store_low8(to + k, pack16_to8(half, half));
            k += 8;
        }
        if (k + 4 <= n) {
            const Vec quarter = pack32_to16_signed(in(k), in(k));
            store_low4(to + k, pack16_to8(quarter, quarter));
            k += 4;
        }
    }
#endif
    return codec::copy_units(from + k, n - k, to + k);
}

// GCC for aarch64 vectorizes the loop below, whose exit depends on the data,
// and where a caller's buffer size is known it warns that the vector stores
// could pass its end: they cannot, each one being made only where its units
// were all read below `n`.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

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

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

/// Copies the `n` units at `from` into bytes at `to` while checking that they
/// are ASCII, four vectors of input a step, so that a leaf that is ASCII is
/// read once. Returns what the plain twin returns; the bytes before that index
/// are those it writes, and bytes after it within `n` may have been written
/// too. Nothing is read or written past the `n` units.
template <typename In>
    requires(sizeof(In) < 4)
inline std::size_t copy_ascii_prefix(const In* from, std::size_t n, std::uint8_t* to) noexcept {
    std::size_t k = 0;
#if DWEX_SIMD
    constexpr std::size_t step = lanes<In>;
    for (; k + 4 * step <= n; k += 4 * step) {
        const Vec a = load(from + k);
        const Vec b = load(from + k + step);
        const Vec c = load(from + k + 2 * step);
        const Vec d = load(from + k + 3 * step);
        const Vec any = bit_or(bit_or(a, b), bit_or(c, d));
        if constexpr (sizeof(In) == 1) {
            if (any_top_bit8(any)) {
                break; // the plain loop finds the unit
            }
            store(to + k, a);
            store(to + k + 16, b);
            store(to + k + 32, c);
            store(to + k + 48, d);
        } else {
            // A unit above 0x7F has a bit of 0xFF80 set.
            if (!all_zero16(bit_and(any, splat16(0xFF80)))) {
                break;
            }
            store(to + k, pack16_to8(a, b));
            store(to + k + 16, pack16_to8(c, d));
        }
    }
#endif
    return copy_ascii_prefix_plain(from, n, to, k);
}

} // namespace dwex::simd

#endif
