// widest.hpp: the storage class of a run of code units, i.e. the smallest
// maximum character that a str holding them must be created with. Header-only
// and free of the interpreter. Each kernel has a plain twin that defines what
// it returns; the vector kernel must agree with it on every input.
#ifndef DWEX_CODEC_WIDEST_HPP
#define DWEX_CODEC_WIDEST_HPP

#include "core/format.hpp"
#include "core/simd.hpp"

#include <cstddef>
#include <cstdint>

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

/// The same class, found four vectors a step, then one. For 1- and 2-byte
/// units the scan stops at the first step that holds a unit deciding the
/// widest class the width can hold (a byte above 0x7F, a unit above 0xFF),
/// since nothing after it can change the answer; a step ORs its vectors
/// before that one test. 4-byte units are left to the plain loop: the reader
/// of 4-byte documents learns their class while counting them. Reads nothing
/// at or past `p + n`.
template <format::CodeUnit U>
inline std::uint32_t widest_class(const U* p, std::size_t n) noexcept {
#if DWEX_SIMD
    if constexpr (sizeof(U) < 4) {
        constexpr std::size_t step = lanes<U>;
        constexpr std::uint32_t top = sizeof(U) == 1 ? latin1_max : bmp_max;
        // Whether `v` holds a unit of the top class: a byte with its top bit
        // set, or a 16-bit unit with a nonzero high byte.
        const auto holds_top = [](Vec v) {
            if constexpr (sizeof(U) == 1) {
                return any_top_bit8(v);
            } else {
                return !all_zero16(bit_and(v, splat16(0xFF00)));
            }
        };
        std::size_t k = 0;
        Vec bits = zero();
        for (; k + 4 * step <= n; k += 4 * step) {
            const Vec v = bit_or(bit_or(load(p + k), load(p + k + step)),
                                 bit_or(load(p + k + 2 * step), load(p + k + 3 * step)));
            if (holds_top(v)) {
                return top;
            }
            if constexpr (sizeof(U) == 2) {
                bits = bit_or(bits, v);
            }
        }
        for (; k + step <= n; k += step) {
            const Vec v = load(p + k);
            if (holds_top(v)) {
                return top;
            }
            if constexpr (sizeof(U) == 2) {
                bits = bit_or(bits, v);
            }
        }
        std::uint32_t rest = 0;
        if constexpr (sizeof(U) == 2) {
            // Every unit is at most 0xFF here; each 32-bit lane holds two.
            const std::uint32_t pairs = or_lanes32(bits);
            rest = (pairs | pairs >> 16) & 0xFFFF;
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
