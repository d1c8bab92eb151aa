// units.hpp: copying code units between the three storage widths, shared by
// the writer and the reader. Interpreter-free.
#ifndef DWEX_CODEC_UNITS_HPP
#define DWEX_CODEC_UNITS_HPP

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dwex::codec {

// Copies a short run of bytes with two overlapping fixed-size moves, reading
// nothing outside [from, from + n).
inline void copy_short_bytes(const std::uint8_t* from, std::size_t n, std::uint8_t* to) noexcept {
    if (n >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

/// Copies bytes that hold whole code units (or pointers): short runs with
/// fixed-size moves, which cost less than a call.
inline void copy_bytes(const std::uint8_t* from, std::size_t size, std::uint8_t* to) noexcept {
    if (size <= 16) {
        copy_short_bytes(from, size, to);
    } else if (size <= 32) {
        std::memcpy(to, from, 16);
        std::memcpy(to + size - 16, from + size - 16, 16);
    } else {
        std::memcpy(to, from, size);
    }
}

/// Copies n code units, widening or narrowing them to the width of `to`
/// (narrowing only where the caller knows that every code point fits).
/// Returns the end of what was written.
template <typename Out, typename In>
Out* copy_units(const In* from, std::size_t n, Out* to) noexcept {
    if constexpr (sizeof(In) != sizeof(Out)) {
        for (std::size_t k = 0; k < n; ++k) { // one unit at a time
            to[k] = static_cast<Out>(from[k]);
        }
    } else if constexpr (sizeof(Out) == 1) {
        if (n <= 16) {
            copy_short_bytes(from, n, to); // short leaves: cheaper than a call
        } else {
            std::memcpy(to, from, n);
        }
    } else {
        std::memcpy(to, from, n * sizeof(Out));
    }
    return to + n;
}

} // namespace dwex::codec

#endif
