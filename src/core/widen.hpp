// widen.hpp: copying code units into a wider storage width (1 to 2, 1 to 4
// and 2 to 4 bytes per code point), with vector code (simd.hpp) and a scalar twin
// that defines what each kernel does. Interpreter-free.
#ifndef DWEX_CODEC_WIDEN_HPP
#define DWEX_CODEC_WIDEN_HPP

#include "core/simd.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

#if DWEX_SIMD
namespace widen_detail {

/// The units of `v`'s low `8 * sizeof(Out) / sizeof(In)` bytes (all of it
/// where that reaches 16), zero-extended and stored at `to`: `16 / sizeof(In)`
/// units at most, as many as fill one to four vectors of output.
template <typename Out, typename In, std::size_t Units = lanes<In>>
[[gnu::always_inline]] inline void widen_store(Vec v, Out* to) noexcept {
    static_assert(sizeof(Out) > sizeof(In));
    if constexpr (sizeof(In) == 2) {
        store(to, widen_low16(v));
        if constexpr (Units > lanes<Out>) {
            store(to + lanes<Out>, widen_high16(v));
        }
    } else if constexpr (sizeof(Out) == 2) {
        if constexpr (Units < lanes<Out>) {
            store_low8(to, widen_low8(v));
        } else {
            store(to, widen_low8(v));
        }
        if constexpr (Units > lanes<Out>) {
            store(to + lanes<Out>, widen_high8(v));
        }
    } else {
        const Vec low = widen_low8(v);
        store(to, widen_low16(low));
        if constexpr (Units > lanes<Out>) {
            store(to + 4, widen_high16(low));
        }
        if constexpr (Units > 2 * lanes<Out>) {
            const Vec high = widen_high8(v);
            store(to + 8, widen_low16(high));
            store(to + 12, widen_high16(high));
        }
    }
}

/// Widens n >= Block units as blocks of `Block` units from the start, the
/// last block ending at the end of the run and overlapping the one before it,
/// so that nothing outside the n units is read or written.
template <std::size_t Block, typename In, typename Out, typename Kernel>
[[gnu::always_inline]] inline Out* in_blocks(const In* from, std::size_t n, Out* to,
                                             Kernel kernel) noexcept {
    for (std::size_t k = 0; k + Block < n; k += Block) {
        kernel(from + k, to + k);
    }
    kernel(from + n - Block, to + n - Block);
    return to + n;
}

} // namespace widen_detail
#endif

/// Each unit of `from` zero-extended into `to` (1 to 2, 1 to 4 or 2 to 4
/// bytes): what widen_scalar does, a vector of input a step. A run shorter
/// than a vector takes 8- or 4-byte loads that overlap the same way.
template <typename Out, typename In>
[[gnu::always_inline]] inline Out* widen(const In* from, std::size_t n, Out* to) noexcept {
#if DWEX_SIMD
    using namespace widen_detail;
    if (n >= lanes<In>) {
        return in_blocks<lanes<In>>(from, n, to,
                                    [](const In* f, Out* t) { widen_store<Out, In>(load(f), t); });
    }
    if constexpr (sizeof(In) == 1 && sizeof(Out) == 2) {
        if (n >= 8) {
            return in_blocks<8>(
                from, n, to, [](const In* f, Out* t) { widen_store<Out, In, 8>(load_low8(f), t); });
        }
    }
    if (n >= 4) { // four units: 4 or 8 bytes in, 8 or 16 bytes out
        return in_blocks<4>(from, n, to, [](const In* f, Out* t) {
            if constexpr (sizeof(In) == 2) {
                widen_store<Out, In, 4>(load_low8(f), t);
            } else {
                widen_store<Out, In, 4>(load_low4(f), t);
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

/// What widen_in_place_scalar does, a vector of input a step from the end:
/// each vector is loaded whole before it is stored, and its store ends at or
/// above the vector's own end, so it never reaches a unit still to be read.
/// Units of one width are moved as they are.
template <typename Out, typename In>
void widen_in_place(const In* from, std::size_t n, Out* to) noexcept {
    if constexpr (sizeof(Out) == sizeof(In)) {
        std::memmove(to, from, n * sizeof(In));
    } else {
#if DWEX_SIMD
        for (; n >= lanes<In>; n -= lanes<In>) {
            widen_detail::widen_store<Out, In>(load(from + n - lanes<In>), to + n - lanes<In>);
        }
#endif
        widen_in_place_scalar(from, n, to);
    }
}

/// The bytes of the word that copy_tail_word reads: it ends at the end of the
/// run, so this many bytes before that end must be readable, whatever the
/// run's length.
inline constexpr std::size_t tail_word_bytes = 8;

/// The units that one tail word holds: the most that copy_tail_word moves,
/// and the units it writes at `to` whatever the run's length.
template <typename In> inline constexpr std::size_t tail_word_units = tail_word_bytes / sizeof(In);

/// Copies the n <= tail_word_units<In> units that end at `from + n` into `to`
/// with one load of tail_word_bytes that ends there, shifted down to the
/// first unit. Writes tail_word_units<In> units at `to` (widened to `Out`);
/// those past the first n hold whatever came after, for the caller to write
/// over. Returns to + n.
template <typename Out, typename In>
Out* copy_tail_word(const In* from, std::size_t n, Out* to) noexcept {
    static_assert(sizeof(Out) >= sizeof(In));
    static_assert(std::endian::native == std::endian::little, "the shift takes the first unit low");
    std::uint64_t word;
    static_assert(sizeof(word) == tail_word_bytes);
    const std::size_t bytes = n * sizeof(In);
    std::memcpy(&word, reinterpret_cast<const std::uint8_t*>(from) + bytes - tail_word_bytes,
                tail_word_bytes);
    // Units are little-endian in the word; with n = 0 nothing is kept and the
    // shift count wraps to 0, which leaves bytes to be written over anyway.
    word >>= (64 - 8 * bytes) & 63;
    if constexpr (sizeof(In) == sizeof(Out)) {
        std::memcpy(to, &word, tail_word_bytes);
    } else {
#if DWEX_SIMD
        widen_detail::widen_store<Out, In, tail_word_units<In>>(from_word(word), to);
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
