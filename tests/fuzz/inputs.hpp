// inputs.hpp: what the native fuzz targets make of their input bytes: code
// points that matter to the reader, and their UTF-8 bytes as a file holds them.
#ifndef DWEX_TESTS_FUZZ_INPUTS_HPP
#define DWEX_TESTS_FUZZ_INPUTS_HPP

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dwex::fuzz {

/// Code points from bytes: ASCII as it is, the other bytes as characters that
/// matter to the reader (every storage width, surrogates, astral code points).
inline std::uint32_t special(std::uint8_t b) {
    static constexpr std::array<std::uint32_t, 16> table = {
        0x00E9, 0x00FF, 0x0100, 0x4E2D, 0xFF10,  0xFFFF,  0xD800,   0xD83D,
        0xDBFF, 0xDC00, 0xDE00, 0xDFFF, 0x10000, 0x1F600, 0x10FFFF, 0x20000};
    return b < 0x80 ? b : table[b & 0x0F];
}

/// The UTF-8 bytes of code points, a lone surrogate as its three-byte
/// sequence (Python's "surrogatepass"), and the index of the code point that
/// starts at each byte offset (the count of code points at the end).
struct Encoded {
    std::string bytes;
    std::vector<std::int64_t> index_at;
};

inline Encoded encode(const std::vector<std::uint32_t>& cps) {
    Encoded out;
    out.index_at.reserve(cps.size() * 4 + 1);
    for (std::size_t k = 0; k < cps.size(); ++k) {
        const std::uint32_t c = cps[k];
        const std::size_t from = out.bytes.size();
        if (c < 0x80) {
            out.bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            out.bytes += static_cast<char>(0xC0 | (c >> 6));
            out.bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out.bytes += static_cast<char>(0xE0 | (c >> 12));
            out.bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out.bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out.bytes += static_cast<char>(0xF0 | (c >> 18));
            out.bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out.bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out.bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
        out.index_at.resize(out.bytes.size(), -1);
        out.index_at[from] = static_cast<std::int64_t>(k);
    }
    out.index_at.push_back(static_cast<std::int64_t>(cps.size()));
    return out;
}

} // namespace dwex::fuzz

#endif
