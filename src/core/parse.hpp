// parse.hpp: the reader's one loop, header-only and free of the interpreter.
// It walks a document in place, hands every item and every row boundary to a
// sink, and reports the first fault as a value. A content policy says how the
// text is stored: a str at its own width here, UTF-8 bytes in parse_utf8.hpp.
#ifndef DWEX_CODEC_PARSE_HPP
#define DWEX_CODEC_PARSE_HPP

#include "core/format.hpp"
#include "core/simd.hpp"
#include "core/utf16_count.hpp"

#include <concepts>
#include <cstdint>

namespace dwex::codec {

/// Every way a document can end. Faults of the input carry a position and, for
/// an unexpected token, the offending code point; sink faults carry nothing
/// (the sink has already recorded why it failed). The narrow and the wide
/// statements of the loop have separate values, which the str reader's
/// tracebacks tell apart.
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
    invalid_utf8,        ///< bytes that are not UTF-8 (input read as UTF-8 bytes)
    count
};

/// What a fault reports to the caller of the reader.
enum class FaultKind : std::uint8_t { none, end_of_input, unexpected_token, sink, invalid_input };

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
    case Fault::invalid_utf8:
        return FaultKind::invalid_input;
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
///   item(b, e, w): the same from the wide statement, which has read the content
///                  and passes `w`, the OR of its code points.
template <typename S>
concept TableSink = requires(S& s, std::int64_t b, std::int64_t e, std::uint32_t w) {
    { s.start_table() } -> std::same_as<bool>;
    { s.start_row() } -> std::same_as<bool>;
    { s.end_row() } -> std::same_as<bool>;
    { s.item(b, e) } -> std::same_as<bool>;
    { s.item(b, e, w) } -> std::same_as<bool>;
};

/// Where the loop stopped. `index` and `position` are the input index and
/// the UTF-16 position just past the last ';' read when the document ends or
/// the sink refuses a row end, and where the bytes start for invalid UTF-8;
/// elsewhere they lie within the item being read. At an end
/// of input, `want` is a length that the input must at least reach before
/// the verdict can change: a streaming caller reads that far before it asks
/// again.
struct [[nodiscard]] Stopped {
    Result result;
    std::int64_t index = 0;
    std::int64_t position = 0;
    std::int64_t want = 0;
};

/// The fault values of one statement of the loop: the str reader tells the
/// narrow from the wide one in its tracebacks.
struct LoopFaults {
    Fault row_end_sink;
    Fault row_sink;
    Fault width_digit;
    Fault length_end;
    Fault length_digit;
    Fault content_end;
    Fault split_astral;
    Fault no_terminator;
    Fault item_sink;
};

inline constexpr LoopFaults narrow_faults{
    Fault::narrow_row_end_sink, Fault::narrow_row_sink,     Fault::narrow_width_digit,
    Fault::narrow_length_end,   Fault::narrow_length_digit, Fault::narrow_content_end,
    Fault::wide_split_astral,   Fault::narrow_content_end,  Fault::narrow_item_sink};

inline constexpr LoopFaults wide_faults{
    Fault::wide_row_end_sink, Fault::wide_row_sink,      Fault::wide_width_digit,
    Fault::wide_length_end,   Fault::wide_length_digit,  Fault::wide_content_end,
    Fault::wide_split_astral, Fault::wide_no_terminator, Fault::wide_item_sink};

namespace detail {

constexpr Stopped stopped(Fault f, std::int64_t index, std::int64_t position,
                          std::int64_t want = 0) noexcept {
    return Stopped{Result{f, 0, 0}, index, position, want};
}

constexpr Stopped token_stop(Fault f, std::int64_t index, std::int64_t position,
                             std::uint32_t code_point) noexcept {
    return Stopped{Result{f, position, code_point}, index, position, 0};
}

} // namespace detail

/// What the loop asks of its input, the content policy: the structure is
/// ASCII and one index a character, but how an item's content is measured
/// and handed to the sink, how an offending character is quoted, and whether
/// length digits that end on the last character are read, depend on how the
/// text is stored.
///   length, unit(i):         the input's extent and its unit at index i;
///   index_is_position:       every index counts one UTF-16 unit;
///   faults:                  the fault values to report;
///   reads_final_field():     digits ending on the last character are read;
///   token(f, i, pos):        the character at i as an unexpected token;
///   bad_digit(f, j, pos, e): the non-digit at j in a field ending at index e;
///   take(sink, b, pos, n, at, out): the content of n units at index b, at
///       UTF-16 position pos, handed to the sink; `at` becomes the index past
///       it, or false with the verdict in `out`.
template <typename In>
concept ContentPolicy = requires(const In& in, std::int64_t i, Fault f, const LoopFaults& fs) {
    { in.length } -> std::convertible_to<std::int64_t>;
    { in.unit(i) } -> std::same_as<std::uint32_t>;
    { In::index_is_position } -> std::convertible_to<bool>;
    { In::faults } -> std::convertible_to<LoopFaults>;
    { in.reads_final_field() } -> std::same_as<bool>;
    { in.token(f, i, i) } -> std::same_as<Stopped>;
    { in.bad_digit(fs, i, i, i) } -> std::same_as<Stopped>;
};

/// The reader's one loop: the grammar of docs/FORMAT.md, its faults and the
/// end-of-input rule, from `index` (at UTF-16 `position`) of the input, which
/// must lie below its length, with a started table and row. Every step that
/// continues leaves `index` below the length, so the loop needs no bound test
/// of its own. A sink that refuses a call stops it there: a caller that wants
/// one row at a time refuses the row end.
/// Always inlined, into read_rows below or into a caller that runs it once a
/// row (read_row of parse_utf8.hpp), whose policy and sink are then its own
/// locals, not a struct passed by value and a pointer behind another.
template <ContentPolicy In, typename S>
[[gnu::always_inline, gnu::flatten]] inline Stopped
run_rows(const In in, S& sink, std::int64_t index, std::int64_t position) {
    constexpr LoopFaults f = In::faults;
    const std::int64_t length = in.length;
    // Positions are kept as their distance from the index, which only an item
    // whose units are not its indices moves: the common item then updates one
    // variable, not two. Without astral code points an index is a position.
    std::int64_t skew = index - position;
    const auto at = [&](std::int64_t i) { return In::index_is_position ? i : i - skew; };
    // The content of n units from `start`, past which the loop goes on; a
    // step of its own so that each of its two places inlines it.
    Stopped out;
    const auto content = [&](std::int64_t start, std::int64_t n) __attribute__((always_inline)) {
        // The width digit and the length digits are one unit each.
        const std::int64_t content_position = at(start);
        std::int64_t next = index;
        if (!in.take(sink, start, content_position, n, next, out)) {
            return false;
        }
        skew += (next - start) - n;
        index = next;
        return true;
    };
    for (;;) {
        // A row terminator closes the row; at the last character, the table.
        std::uint32_t c = in.unit(index);
        if (c == format::row_terminator) {
            ++index;
            if (!sink.end_row()) {
                return detail::stopped(f.row_end_sink, index, at(index));
            }
            if (index == length) {
                return Stopped{Result{}, index, at(index), 0};
            }
            if (!sink.start_row()) {
                return detail::stopped(f.row_sink, index, at(index));
            }
            continue;
        }
        if (c == format::digit_zero && length - index > 2 &&
            format::is_decimal_digit(in.unit(index + 1))) {
            // Width digit '0' and a digit with something after it: the
            // common case, where every rule below agrees.
            if (!content(index + 2,
                         static_cast<std::int64_t>(in.unit(index + 1) - format::digit_zero))) {
                return out;
            }
            continue;
        }
        // Otherwise a width digit must start an item.
        const int digit_value = format::width_digit_value(c);
        if (digit_value < 0) {
            return in.token(f.width_digit, index, at(index));
        }
        // The digit_value + 1 length digits must be there, tested before
        // any is read; digits that end on the last character leave no
        // room for content, and are read first only under the wide rule.
        const std::int64_t content_start = index + digit_value + 2;
        if (content_start > length || (content_start == length && !in.reads_final_field())) {
            return detail::stopped(f.length_end, index, at(index), content_start + 1);
        }
        // The length field, at most 16 digits, so `n` stays below 10^16.
        std::int64_t n = 0;
        for (std::int64_t j = index + 1; j < content_start; ++j) {
            c = in.unit(j);
            if (!format::is_decimal_digit(c)) {
                return in.bad_digit(f, j, at(j), content_start);
            }
            n = n * 10 + static_cast<std::int64_t>(c - format::digit_zero);
        }
        if (!content(content_start, n)) {
            return out;
        }
    }
}

/// The loop out of line, with the sink's steps inlined into it: inlined into
/// its caller, beside the sink's own state, the loop loses its registers.
template <ContentPolicy In, typename S>
[[gnu::noinline, gnu::flatten]] Stopped read_rows(const In in, S& sink, std::int64_t index = 0,
                                                  std::int64_t position = 0) {
    return run_rows(in, sink, index, position);
}

/// The content of a str at one storage width: the narrow widths cut an
/// item's content from its length without reading it; the wide one reads
/// each code point once to count its units (two above U+FFFF), noting the OR
/// of its code points, which gives the item's storage class without a second
/// pass. `wide_rule` applies the wide loop's test of length digits at the
/// last character to narrow text, which a chunk of a document that holds an
/// astral code point elsewhere needs.
template <format::CodeUnit U, bool wide_rule = (sizeof(U) == 4)> struct StrUnits {
    const U* data;
    std::int64_t length;

    static constexpr bool index_is_position = sizeof(U) < 4;
    static constexpr LoopFaults faults = sizeof(U) < 4 ? narrow_faults : wide_faults;

    // Inlined, so that the loop keeps the policy in registers across the sink's calls.
    [[gnu::always_inline]] std::uint32_t unit(std::int64_t i) const noexcept { return data[i]; }
    [[gnu::always_inline]] bool reads_final_field() const noexcept { return wide_rule; }
    [[gnu::always_inline]] Stopped token(Fault f, std::int64_t i, std::int64_t pos) const noexcept {
        return detail::token_stop(f, i, pos, data[i]);
    }
    [[gnu::always_inline]] Stopped bad_digit(const LoopFaults& f, std::int64_t j, std::int64_t pos,
                                             std::int64_t) const noexcept {
        return detail::token_stop(f.length_digit, j, pos, data[j]);
    }

    template <typename S>
    [[gnu::always_inline]] bool take(S& sink, std::int64_t begin, std::int64_t content_position,
                                     std::int64_t n, std::int64_t& at, Stopped& out) const {
        if constexpr (sizeof(U) < 4) {
            // The content must end before the last code unit, leaving room
            // for a ';' or another item. Written as a difference so that no
            // length value can overflow the sum. The content is cut, never read.
            (void)content_position;
            if (n >= length - begin) {
                out = detail::stopped(faults.content_end, begin, begin, begin + n + 1);
                return false;
            }
            at = begin + n;
            if (!sink.item(begin, at)) {
                out = detail::stopped(faults.item_sink, begin, begin);
                return false;
            }
            return true;
        } else {
            const simd::Count counted = simd::count_utf16(data, begin, length, n);
            if (counted.ran_out) {
                // Each code point still wanted is at most two units.
                out = detail::stopped(faults.content_end, begin, content_position,
                                      counted.idx + (n - counted.units + 1) / 2 + 1);
                return false;
            }
            // One unit too many means the length ended between the two halves
            // of an astral code point; its low surrogate is the offending
            // token. This comes before the test for a missing terminator on purpose.
            if (counted.units > n) {
                const std::uint32_t low_surrogate_code =
                    (data[counted.idx - 1] & format::low_ten_bits) | format::low_surrogate_base;
                out = detail::token_stop(faults.split_astral, begin, content_position + n,
                                         low_surrogate_code);
                return false;
            }
            // Something must follow the content.
            if (counted.idx >= length) {
                out = detail::stopped(faults.no_terminator, begin, content_position, length + 1);
                return false;
            }
            at = counted.idx;
            if (!sink.item(begin, at, counted.bits)) {
                out = detail::stopped(faults.item_sink, begin, content_position);
                return false;
            }
            return true;
        }
    }
};

/// Reads a whole document: the empty-input test, the table and its first
/// row, then the loop. The sink owns whatever it built.
template <ContentPolicy In, TableSink S> Stopped read_document(const In in, S& sink) {
    if (in.length == 0) {
        return detail::stopped(Fault::empty_input, 0, 0, 1);
    }
    if (!sink.start_table()) {
        return detail::stopped(Fault::table_sink, 0, 0);
    }
    if (!sink.start_row()) {
        return detail::stopped(Fault::first_row_sink, 0, 0);
    }
    return read_rows(in, sink);
}

/// A whole document of `length` code units of a str at its own width.
template <format::CodeUnit U, TableSink S>
Result parse_document(const U* data, std::int64_t length, S& sink) {
    return read_document(StrUnits<U>{data, length}, sink).result;
}

} // namespace dwex::codec

#endif
