// parse.hpp: the reader's loops, header-only and free of the interpreter. They
// walk a document in place at its own storage width, hand every item and every
// row boundary to a sink, and report the first fault as a value.
#ifndef DWEX_CODEC_PARSE_HPP
#define DWEX_CODEC_PARSE_HPP

#include "format.hpp"
#include "utf16_count.hpp"

#include <concepts>
#include <cstdint>

namespace dwex::codec {

/// Every way a document can end. Faults of the input carry a position and, for
/// an unexpected token, the offending code point; sink faults carry nothing
/// (the sink has already recorded why it failed). The narrow and the wide loop
/// have separate values because they are separate statements of the reader.
enum class Fault : std::uint8_t {
    none,                ///< the document was read completely
    empty_input,         ///< no code point at all
    table_sink,          ///< the sink could not start the table
    first_row_sink,      ///< the sink could not start the first row
    narrow_row_end_sink, ///< the sink could not close a row (narrow input)
    narrow_row_sink,     ///< the sink could not start a later row (narrow input)
    narrow_width_digit,  ///< neither ';' nor a width digit (narrow input)
    narrow_length_end,   ///< the length digits reach the last code point (narrow input)
    narrow_length_digit, ///< a length digit that is not '0'-'9' (narrow input)
    narrow_content_end,  ///< the content reaches or passes the end (narrow input)
    narrow_item_sink,    ///< the sink could not take an item (narrow input)
    wide_row_end_sink,   ///< the sink could not close a row (wide input)
    wide_row_sink,       ///< the sink could not start a later row (wide input)
    wide_width_digit,    ///< neither ';' nor a width digit (wide input)
    wide_length_end,     ///< the length digits run past the end (wide input)
    wide_length_digit,   ///< a length digit that is not '0'-'9' (wide input)
    wide_content_end,    ///< the input ends while the content is counted (wide input)
    wide_split_astral,   ///< the length ends inside a code point above U+FFFF
    wide_no_terminator,  ///< the content ends on the last code point (wide input)
    wide_item_sink,      ///< the sink could not take an item (wide input)
    count
};

/// What a fault reports to the caller of the reader.
enum class FaultKind : std::uint8_t { none, end_of_input, unexpected_token, sink };

constexpr FaultKind fault_kind(Fault f) noexcept {
    switch (f) {
    case Fault::none:
    case Fault::count:
        return FaultKind::none;
    case Fault::empty_input:
    case Fault::narrow_length_end:
    case Fault::narrow_content_end:
    case Fault::wide_length_end:
    case Fault::wide_content_end:
    case Fault::wide_no_terminator:
        return FaultKind::end_of_input;
    case Fault::narrow_width_digit:
    case Fault::narrow_length_digit:
    case Fault::wide_width_digit:
    case Fault::wide_length_digit:
    case Fault::wide_split_astral:
        return FaultKind::unexpected_token;
    case Fault::table_sink:
    case Fault::first_row_sink:
    case Fault::narrow_row_end_sink:
    case Fault::narrow_row_sink:
    case Fault::narrow_item_sink:
    case Fault::wide_row_end_sink:
    case Fault::wide_row_sink:
    case Fault::wide_item_sink:
        return FaultKind::sink;
    }
    return FaultKind::none;
}

/// The outcome of one read. For an unexpected token, `pos` is the UTF-16
/// position of the offending code point and `code_point` that code point; both
/// are zero otherwise.
struct [[nodiscard]] Result {
    Fault fault = Fault::none;
    std::int64_t pos = 0;
    std::uint32_t code_point = 0;

    constexpr bool ok() const noexcept { return fault == Fault::none; }
    friend constexpr bool operator==(const Result&, const Result&) = default;
};

/// Receives the table as it is read. Every call returns false when it fails;
/// the reader then stops at once and returns the matching sink fault.
///   start_table(): before anything else (after the empty-input test);
///   start_row():   for the first row, and for each row after a ';' that is not
///                  the last code point;
///   end_row():     at each ';';
///   item(b, e):    an item's content, code-point indices [b, e) of the input;
///   item(b, e, w): the same from the wide loop, which has read the content
///                  and passes `w`, the OR of its code points.
template <typename S>
concept TableSink = requires(S& s, std::int64_t b, std::int64_t e, std::uint32_t w) {
    { s.start_table() } -> std::same_as<bool>;
    { s.start_row() } -> std::same_as<bool>;
    { s.end_row() } -> std::same_as<bool>;
    { s.item(b, e) } -> std::same_as<bool>;
    { s.item(b, e, w) } -> std::same_as<bool>;
};

namespace detail {

constexpr Result fail(Fault f) noexcept { return Result{f, 0, 0}; }
constexpr Result token(Fault f, std::int64_t pos, std::uint32_t code_point) noexcept {
    return Result{f, pos, code_point};
}

} // namespace detail

/// The narrow loop, for kinds 1 and 2: every code point is one UTF-16 unit, so
/// an index is a position and the end of an item's content follows from its
/// length without reading the content. Requires `length` > 0 and a started
/// table and row. Every step that continues leaves `i` below `length`, so the
/// loop needs no bound test of its own.
template <format::CodeUnit U, TableSink S>
    requires(sizeof(U) < 4)
Result parse_narrow(const U* data, std::int64_t length, S& sink) {
    std::int64_t i = 0;
    for (;;) {
        // A row terminator closes the row; at the last code point, the table.
        std::uint32_t c = data[i];
        if (c == format::row_terminator) {
            if (!sink.end_row()) {
                return detail::fail(Fault::narrow_row_end_sink);
            }
            if (++i == length) {
                return Result{};
            }
            if (!sink.start_row()) {
                return detail::fail(Fault::narrow_row_sink);
            }
            continue;
        }
        // Width digit '0': one length digit, the common case, read without
        // the general loop. The checks and their order are those below.
        if (c == format::digit_zero) {
            const std::int64_t content_start = i + 2;
            if (content_start >= length) {
                return detail::fail(Fault::narrow_length_end);
            }
            c = data[i + 1];
            if (!format::is_decimal_digit(c)) {
                return detail::token(Fault::narrow_length_digit, i + 1, c);
            }
            const std::int64_t n = static_cast<std::int64_t>(c - format::digit_zero);
            if (n >= length - content_start) {
                return detail::fail(Fault::narrow_content_end);
            }
            i = content_start + n;
            if (!sink.item(content_start, i)) {
                return detail::fail(Fault::narrow_item_sink);
            }
            continue;
        }
        // Otherwise a width digit must start an item.
        const int digit_value = format::width_digit_value(c);
        if (digit_value < 0) {
            return detail::token(Fault::narrow_width_digit, i, c);
        }
        // The digit_value + 1 length digits and at least one more code point
        // must fit, tested before any length digit is read.
        const std::int64_t content_start = i + digit_value + 2;
        if (content_start >= length) {
            return detail::fail(Fault::narrow_length_end);
        }
        // The length field, at most 16 digits, so `n` stays below 10^16.
        std::int64_t n = 0;
        for (std::int64_t j = i + 1; j < content_start; ++j) {
            c = data[j];
            if (!format::is_decimal_digit(c)) {
                return detail::token(Fault::narrow_length_digit, j, c);
            }
            n = n * 10 + static_cast<std::int64_t>(c - format::digit_zero);
        }
        // The content must end before the last code point, leaving room for
        // a ';' or another item. Written as a difference so that no length
        // value can overflow the sum.
        if (n >= length - content_start) {
            return detail::fail(Fault::narrow_content_end);
        }
        i = content_start + n;
        // The content is cut, never read.
        if (!sink.item(content_start, i)) {
            return detail::fail(Fault::narrow_item_sink);
        }
    }
}

/// The wide loop, for kind 4: code points above U+FFFF count two UTF-16 units,
/// so every content code point is read once to count them, and `position`
/// tracks the UTF-16 position of the code-point index `index`.
/// Requires `length` > 0 and a started table and row.
template <TableSink S> Result parse_wide(const std::uint32_t* buf, std::int64_t length, S& sink) {
    std::int64_t index = 0;
    std::int64_t position = 0;
    for (;;) {
        // A row terminator closes the row; at the last code point, the table.
        std::uint32_t ch = buf[index];
        if (ch == format::row_terminator) {
            if (!sink.end_row()) {
                return detail::fail(Fault::wide_row_end_sink);
            }
            ++index;
            ++position;
            if (index == length) {
                return Result{};
            }
            if (!sink.start_row()) {
                return detail::fail(Fault::wide_row_sink);
            }
            continue;
        }
        // Otherwise a width digit; an astral code point is quoted whole.
        const int digit_value = format::width_digit_value(ch);
        if (digit_value < 0) {
            return detail::token(Fault::wide_width_digit, position, ch);
        }
        // Unlike the narrow loop, this only fails when the length digits
        // themselves run past the end: digits that end on the last code point
        // are still read and tested below.
        const std::int64_t length_digits = digit_value + 1;
        if (length < index + length_digits + 1) {
            return detail::fail(Fault::wide_length_end);
        }
        // The digits are ASCII, so `position` stays the position of `index`.
        std::int64_t content_units = 0;
        for (std::int64_t taken = 0; taken < length_digits; ++taken) {
            ++index;
            ++position;
            ch = buf[index];
            if (!format::is_decimal_digit(ch)) {
                return detail::token(Fault::wide_length_digit, position, ch);
            }
            content_units = content_units * 10 + static_cast<std::int64_t>(ch - format::digit_zero);
        }
        // Count the content's UTF-16 units, noting the OR of its code points,
        // which gives the item's storage class without a second pass.
        ++index;
        ++position;
        const std::int64_t content_start = index;
        const std::int64_t content_position = position;
        const simd::Count counted = simd::count_utf16(buf, index, length, content_units);
        if (counted.ran_out) {
            return detail::fail(Fault::wide_content_end);
        }
        index = counted.idx;
        // One unit too many means the length ended between the two halves
        // of an astral code point; its low surrogate is the offending token.
        // This comes before the test for a missing terminator on purpose.
        if (counted.units > content_units) {
            const std::uint32_t low_surrogate_code =
                (buf[index - 1] & format::low_ten_bits) | format::low_surrogate_base;
            return detail::token(Fault::wide_split_astral, content_position + content_units,
                                 low_surrogate_code);
        }
        // Something must follow the content.
        if (index >= length) {
            return detail::fail(Fault::wide_no_terminator);
        }
        if (!sink.item(content_start, index, counted.bits)) {
            return detail::fail(Fault::wide_item_sink);
        }
        position = content_position + content_units;
    }
}

/// Reads a whole document of `length` code units: the empty-input test, the
/// table and its first row, then the loop of the storage width (narrow for 8-
/// and 16-bit units, wide for 32-bit units). The sink owns whatever it built.
template <format::CodeUnit U, TableSink S>
Result parse_document(const U* data, std::int64_t length, S& sink) {
    if (length == 0) {
        return detail::fail(Fault::empty_input);
    }
    if (!sink.start_table()) {
        return detail::fail(Fault::table_sink);
    }
    if (!sink.start_row()) {
        return detail::fail(Fault::first_row_sink);
    }
    if constexpr (sizeof(U) < 4) {
        return parse_narrow(data, length, sink);
    } else {
        return parse_wide(data, length, sink);
    }
}

} // namespace dwex::codec

#endif
