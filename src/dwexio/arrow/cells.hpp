// cells.hpp: a cell's item (width digit, length field, bytes) written at a
// position with room made for it, for width digits of one ASCII byte each,
// and whole rows of plain string columns at a time. The write position
// travels as an argument and a return value, never through a buffer's size,
// so that it stays in a register: every byte store could otherwise alias
// that size. Interpreter-free.
#ifndef DWEXIO_ARROW_CELLS_HPP
#define DWEXIO_ARROW_CELLS_HPP

#include "dwexio/arrow/columns.hpp"

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "core/simd.hpp"
#include "core/utf8.hpp"
#include "core/widest.hpp"

#include <array>
#include <cstring>
#include <new>
#include <vector>

namespace dwexio::arrow {

/// A cell of at most this many bytes, with as many readable from its start,
/// is checked for ASCII and copied by two vector loads and stores.
inline constexpr std::size_t short_cell_bytes = 2 * dwex::simd::vector_bytes;
/// The most a cell's item takes besides its bytes with one-byte width digits:
/// a width digit and the longest length field.
inline constexpr std::size_t field_bytes = 1 + dwex::format::max_length_digits;
/// Room made for a cell besides its bytes: its field, and the stores of a
/// short copy past its end.
inline constexpr std::size_t field_room = field_bytes + short_cell_bytes;

/// The width digit of each count of length digits, as ShortPrefixes takes them.
struct ByteDigits {
    int counts = dwex::format::max_length_digits;
    std::array<char, dwex::format::max_length_digits + 1> of_count{}; // index 1 to `counts`
};

/// Writes cells' items with the width digits it was made with.
class CellWriter {
  public:
    explicit CellWriter(const ByteDigits& digits) noexcept : prefixes_(digits) {
        for (int c = 1; c <= digits.counts; ++c) {
            digit_[static_cast<std::size_t>(c)] =
                static_cast<std::uint8_t>(digits.of_count[static_cast<std::size_t>(c)]);
        }
    }

    /// The width digit and length field of `units`, at `p`; returns their end.
    std::uint8_t* length_field(std::uint8_t* p, std::uint64_t units) const noexcept {
        if (units < 100) {
            // Without a branch on the count of digits, which short cells of
            // mixed lengths would mispredict.
            const int count = 1 + static_cast<int>(units >= 10);
            return dwex::format::write_length_prefix(digit_[static_cast<std::size_t>(count)], units,
                                                     count, p);
        }
        const int count = dwex::format::decimal_digit_count(units);
        *p++ = digit_[static_cast<std::size_t>(count)];
        return dwex::format::write_digits(units, count, p);
    }

    /// Writes one cell's item at `p` and returns its end. Room has been made
    /// for the cell and field_room; `readable` is how far the source may be read.
    [[gnu::always_inline]] std::uint8_t* put_cell(const std::uint8_t* data, std::size_t size,
                                                  const std::uint8_t* readable,
                                                  std::uint8_t* p) const noexcept {
#if DWEX_SIMD
        // A short cell, the common case: two loads count it and copy it.
        if (size <= short_cell_bytes &&
            static_cast<std::size_t>(readable - data) >= short_cell_bytes) {
            const dwex::simd::Vec low = dwex::simd::load(data);
            const dwex::simd::Vec high = dwex::simd::load(data + dwex::simd::vector_bytes);
            p = length_field(p, static_cast<std::uint64_t>(dwex::utf8::units_of(low, high, size)));
            dwex::simd::store(p, low);
            dwex::simd::store(p + dwex::simd::vector_bytes, high);
            return p + size;
        }
#else
        (void)readable;
#endif
        p = length_field(p, static_cast<std::uint64_t>(dwex::utf8::units(data, size)));
        std::memcpy(p, data, size);
        return p + size;
    }

    /// put_cell for a cell known to be ASCII, whose units are its bytes. With
    /// `Readable`, the caller has made sure that a short cell may be read as a
    /// whole short copy.
    template <bool Readable = false>
    std::uint8_t* put_ascii_cell(const std::uint8_t* data, std::size_t size,
                                 const std::uint8_t* readable, std::uint8_t* p) const noexcept {
        if (size < prefixes_.lengths) {
            std::memcpy(p, prefixes_.units[size].data(), prefixes_.slot_units);
            p += prefixes_.size[size];
        } else {
            p = length_field(p, size);
        }
#if DWEX_SIMD
        if (size <= short_cell_bytes &&
            (Readable || static_cast<std::size_t>(readable - data) >= short_cell_bytes)) {
            dwex::simd::store(p, dwex::simd::load(data));
            dwex::simd::store(p + dwex::simd::vector_bytes,
                              dwex::simd::load(data + dwex::simd::vector_bytes));
            return p + size;
        }
#else
        (void)readable;
#endif
        std::memcpy(p, data, size);
        return p + size;
    }

  private:
    // Up to the count of digits of the largest 64-bit length, though no cell
    // held in memory has more than max_length_digits.
    std::array<std::uint8_t, 21> digit_{};
    dwex::format::ShortPrefixes<std::uint8_t> prefixes_;
    static_assert(dwex::format::ShortPrefixes<std::uint8_t>::slot_units <= field_room);
};

/// What a plain string column without nulls, the common case, needs at hand:
/// its offsets and data, and the data's end. A column of any other kind has
/// no data here.
struct PlainColumn {
    const std::int32_t* offsets = nullptr;
    const std::uint8_t* data = nullptr;
    const std::uint8_t* end = nullptr;
    bool ascii = false; ///< every byte of the batch's strings is ASCII: units are bytes
};

/// Rows at once when every column is plain: room is made, and whether each
/// short cell may be read by a whole short copy is found, once a block.
inline constexpr std::int64_t block_rows = 64;

/// Puts rows [first, end) of plain columns at `p`, with room made for them.
template <bool Readable>
std::uint8_t* put_plain_rows(const CellWriter& cells, const std::vector<PlainColumn>& plain,
                             std::int64_t first, std::int64_t end, std::uint8_t* p) noexcept {
    for (std::int64_t r = first; r < end; ++r) {
        for (const PlainColumn& c : plain) {
            const std::uint8_t* data = c.data + c.offsets[r];
            const auto size = static_cast<std::size_t>(c.offsets[r + 1] - c.offsets[r]);
            p = c.ascii ? cells.put_ascii_cell<Readable>(data, size, c.end, p)
                        : cells.put_cell(data, size, c.end, p);
        }
        *p++ = static_cast<std::uint8_t>(dwex::format::row_terminator);
    }
    return p;
}

/// The plain columns of `batch`, the others left without data; false when
/// memory runs out.
inline bool plain_columns(const ArrowArray& batch, const std::vector<ColumnLayout>& layouts,
                          std::vector<PlainColumn>& plain) noexcept {
    try {
        plain.assign(layouts.size(), PlainColumn{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (std::size_t k = 0; k < layouts.size(); ++k) {
        const ArrowArray& child = *batch.children[k];
        if (layouts[k].layout == Layout::string && layouts[k].index.bytes == 0 &&
            (child.null_count == 0 || child.buffers[0] == nullptr)) {
            const auto* offsets =
                static_cast<const std::int32_t*>(child.buffers[1]) + batch.offset + child.offset;
            const auto* data = static_cast<const std::uint8_t*>(child.buffers[2]);
            const std::uint8_t* first = data + offsets[0];
            const std::uint8_t* end = data + offsets[batch.length];
            const bool ascii =
                dwex::simd::widest_class(first, static_cast<std::size_t>(end - first)) ==
                dwex::simd::ascii_max;
            plain[k] = PlainColumn{offsets, data, end, ascii};
        }
    }
    return true;
}

} // namespace dwexio::arrow

#endif
