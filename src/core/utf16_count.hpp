// utf16_count.hpp: walking the content of an item in a 4-byte document until
// it holds a given number of UTF-16 units, noting the OR of its code points on
// the way so that the item's storage class needs no second pass. Header-only
// and free of the interpreter. The plain twin defines the result; the vector
// kernel must agree with it on every input.
#ifndef DWEX_CODEC_UTF16_COUNT_HPP
#define DWEX_CODEC_UTF16_COUNT_HPP

#include "core/format.hpp"
#include "core/simd.hpp"

#include <cstdint>

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

/// Code points a vector step of count_utf16 takes.
inline constexpr std::int64_t count_step = static_cast<std::int64_t>(lanes<std::uint32_t>);

/// The units that must still be wanted for a step to take all its code
/// points, as the plain walk would: it takes the last one while the first
/// count_step - 1 have added fewer, and each adds at most two.
inline constexpr std::int64_t count_step_room = 2 * (count_step - 1) + 1;

/// The same walk, a vector of code points a step while count_step_room units
/// are still wanted and count_step code points are left; the plain walk
/// finishes the last few. Reads nothing at or past `length`.
inline Count count_utf16(const std::uint32_t* buf, std::int64_t idx, std::int64_t length,
                         std::int64_t target) noexcept {
    std::int64_t units = 0;
    std::uint32_t bits = 0;
#if DWEX_SIMD
    if (target - units >= count_step_room && length - idx >= count_step) {
        // Code points are at most 0x10FFFF, so a signed compare orders them.
        const Vec bmp_top = splat32(format::last_bmp);
        // The number of set bits of each 4-bit lane mask: the astral code points.
        constexpr std::uint8_t astral_count[16] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
        static_assert(sizeof(astral_count) == 1 << count_step, "one entry per lane mask");
        Vec ors = zero();
        do {
            const Vec v = load(buf + idx);
            ors = bit_or(ors, v);
            units += count_step + astral_count[mask32(greater32(v, bmp_top))];
            idx += count_step;
        } while (target - units >= count_step_room && length - idx >= count_step);
        bits = or_lanes32(ors);
    }
#endif
    return count_utf16_plain(buf, idx, length, target, units, bits);
}

} // namespace dwex::simd

#endif
