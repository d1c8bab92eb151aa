// columns.hpp: the strings of a producer's Arrow string column read in place,
// whatever its layout, a dictionary's included, and its nulls found.
// Interpreter-free.
#ifndef DWEXIO_ARROW_COLUMNS_HPP
#define DWEXIO_ARROW_COLUMNS_HPP

#include "dwexio/arrow/abi.hpp"

#include <cstdint>
#include <cstring>

namespace dwexio::arrow {

/// How one column's strings are laid out.
struct ColumnLayout {
    Layout layout = Layout::string;
    IndexType index; ///< a dictionary's index type; 0 bytes for a plain column
};

/// The layout of a column of `schema`: false for one that is not of strings
/// or a dictionary of them.
inline bool column_layout(const ArrowSchema& schema, ColumnLayout* out) noexcept {
    if (schema.dictionary != nullptr) {
        const auto index = index_type_of(schema.format);
        if (!index) {
            return false;
        }
        out->index = *index;
    }
    const auto layout = layout_of((schema.dictionary ? schema.dictionary : &schema)->format);
    if (!layout) {
        return false;
    }
    out->layout = *layout;
    return true;
}

inline bool is_valid(const ArrowArray& array, std::int64_t index) noexcept {
    if (array.null_count == 0 || array.buffers[0] == nullptr) {
        return true;
    }
    const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
    return (bits[index >> 3] >> (index & 7)) & 1;
}

/// The string at `index` (the array's own offset applied by the caller).
inline void string_at(const ArrowArray& array, Layout layout, std::int64_t index,
                      const std::uint8_t** data, std::size_t* size) noexcept {
    const auto* values = static_cast<const std::uint8_t*>(array.buffers[2]);
    switch (layout) {
    case Layout::string: {
        const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
        *data = values + offsets[index];
        *size = static_cast<std::size_t>(offsets[index + 1] - offsets[index]);
        return;
    }
    case Layout::large_string: {
        const auto* offsets = static_cast<const std::int64_t*>(array.buffers[1]);
        *data = values + offsets[index];
        *size = static_cast<std::size_t>(offsets[index + 1] - offsets[index]);
        return;
    }
    case Layout::string_view: {
        const auto* at = static_cast<const std::uint8_t*>(array.buffers[1]) + view::bytes * index;
        std::int32_t length;
        std::memcpy(&length, at + view::length_at, sizeof(length));
        *size = static_cast<std::size_t>(length);
        if (*size <= view::inline_bytes) {
            *data = at + view::inline_at;
            return;
        }
        std::int32_t buffer, offset;
        std::memcpy(&buffer, at + view::buffer_at, sizeof(buffer));
        std::memcpy(&offset, at + view::offset_at, sizeof(offset));
        *data = static_cast<const std::uint8_t*>(array.buffers[2 + buffer]) + offset;
        return;
    }
    }
}

/// The dictionary index at `k` of `indices`.
inline std::int64_t index_at(const ArrowArray& indices, IndexType type, std::int64_t k) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(indices.buffers[1]);
    switch (type.bytes) {
    case 1:
        return type.is_signed ? static_cast<std::int8_t>(p[k]) : p[k];
    case 2: {
        std::uint16_t v;
        std::memcpy(&v, p + 2 * k, 2);
        return type.is_signed ? static_cast<std::int16_t>(v) : v;
    }
    case 4: {
        std::uint32_t v;
        std::memcpy(&v, p + 4 * k, 4);
        return type.is_signed ? static_cast<std::int32_t>(v) : v;
    }
    default: {
        std::int64_t v;
        std::memcpy(&v, p + 8 * k, 8);
        return v;
    }
    }
}

/// The first row before `limit` where `column` of `batch` is null, or
/// `limit`: a dictionary's row is null where its index or its value is.
inline std::int64_t first_null(const ArrowArray& batch, const ArrowArray& column,
                               const ColumnLayout& layout, std::int64_t limit) noexcept {
    const ArrowArray* values = layout.index.bytes != 0 ? column.dictionary : nullptr;
    const bool values_null =
        values != nullptr && values->null_count != 0 && values->buffers[0] != nullptr;
    if ((column.null_count == 0 || column.buffers[0] == nullptr) && !values_null) {
        return limit;
    }
    for (std::int64_t r = 0; r < limit; ++r) {
        const std::int64_t index = batch.offset + column.offset + r;
        if (!is_valid(column, index) ||
            (values_null &&
             !is_valid(*values, values->offset + index_at(column, layout.index, index)))) {
            return r;
        }
    }
    return limit;
}

/// The string at row `r` of column `column` of `batch`, or false for a null.
inline bool cell_at(const ArrowArray& batch, const ArrowArray& column, const ColumnLayout& layout,
                    std::int64_t r, const std::uint8_t** data, std::size_t* size) noexcept {
    std::int64_t index = batch.offset + column.offset + r;
    const ArrowArray* strings = &column;
    if (!is_valid(column, index)) {
        return false;
    }
    if (layout.index.bytes != 0) {
        strings = column.dictionary;
        index = strings->offset + index_at(column, layout.index, index);
        if (!is_valid(*strings, index)) {
            return false;
        }
    }
    string_at(*strings, layout.layout, index, data, size);
    return true;
}

} // namespace dwexio::arrow

#endif
