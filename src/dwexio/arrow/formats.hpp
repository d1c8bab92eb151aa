// formats.hpp: the Arrow C data interface's format strings that dwexio reads
// or writes, each spelt once, and the byte layout of a string_view's views.
// Interpreter-free.
#ifndef DWEXIO_ARROW_FORMATS_HPP
#define DWEXIO_ARROW_FORMATS_HPP

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace dwexio::arrow {

/// How a column of strings is laid out: its offsets are 32-bit (string) or
/// 64-bit (large_string), or each row is a view (string_view).
enum class Layout : std::uint8_t { string, large_string, string_view };

/// A format string and the name pyarrow prints for it.
struct NamedFormat {
    std::string_view format;
    std::string_view name;
};

/// The string layouts, indexed by Layout.
inline constexpr NamedFormat string_formats[] = {
    {"u", "string"},
    {"U", "large_string"},
    {"vu", "string_view"},
};

/// The integer types a dictionary's indices may have, in pairs of signed
/// and unsigned of 1, 2, 4 and 8 bytes.
inline constexpr NamedFormat index_formats[] = {
    {"c", "int8"},  {"C", "uint8"},  {"s", "int16"}, {"S", "uint16"},
    {"i", "int32"}, {"I", "uint32"}, {"l", "int64"}, {"L", "uint64"},
};

/// A struct of columns: a table.
inline constexpr std::string_view struct_format = "+s";

/// The format string of a column of `layout`.
constexpr const char* format_of(Layout layout) noexcept {
    return string_formats[static_cast<std::size_t>(layout)].format.data();
}

/// The layout of a string column of `format`, if it is one.
constexpr std::optional<Layout> layout_of(std::string_view format) noexcept {
    for (std::size_t k = 0; k < std::size(string_formats); ++k) {
        if (format == string_formats[k].format) {
            return static_cast<Layout>(k);
        }
    }
    return std::nullopt;
}

/// A dictionary's index type of `format`: its width in bytes and whether it
/// is signed.
struct IndexType {
    int bytes = 0;
    bool is_signed = false;
};

constexpr std::optional<IndexType> index_type_of(std::string_view format) noexcept {
    for (std::size_t k = 0; k < std::size(index_formats); ++k) {
        if (format == index_formats[k].format) {
            return IndexType{1 << (k / 2), k % 2 == 0};
        }
    }
    return std::nullopt;
}

/// A string_view row: a 16-byte view holding the length, then either the
/// bytes themselves (up to 12) or a 4-byte prefix of them, the index of the
/// data buffer that holds them and their offset there.
namespace view {
inline constexpr std::size_t bytes = 16;
inline constexpr std::size_t length_at = 0;
inline constexpr std::size_t inline_at = 4;
inline constexpr std::size_t inline_bytes = 12;
inline constexpr std::size_t prefix_bytes = 4;
inline constexpr std::size_t buffer_at = 8;
inline constexpr std::size_t offset_at = 12;
static_assert(inline_at + inline_bytes == bytes && offset_at + sizeof(std::int32_t) == bytes);
} // namespace view

static_assert(layout_of("vu") == Layout::string_view && index_type_of("S")->bytes == 2);

} // namespace dwexio::arrow

#endif
