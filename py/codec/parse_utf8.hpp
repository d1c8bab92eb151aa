// parse_utf8.hpp: the reader's loop over a document's UTF-8 bytes, one row at
// a time, header-only and free of the interpreter. It reaches the verdict of
// the narrow and the wide loop (parse.hpp) on the decoded text, error kind and
// UTF-16 position included, without decoding it: structure is ASCII, and
// each item's content is walked only to find where its n UTF-16 units end.
// Rows are its unit of work so that a streaming caller can stop at any row
// boundary, and re-read a row that its buffer holds only part of.
#ifndef DWEX_CODEC_PARSE_UTF8_HPP
#define DWEX_CODEC_PARSE_UTF8_HPP

#include "format.hpp"
#include "simd.hpp"
#include "utf8.hpp"

#include <cstdint>
#include <vector>

namespace dwex::codec {

/// A leaf's content as byte offsets from the row's first byte.
struct Span {
    std::int64_t begin;
    std::int64_t end;
};

enum class RowStop : std::uint8_t {
    complete,       ///< the row ended with ';' at `next` - 1
    need_more,      ///< the bytes end before the verdict does; `want` says how many are needed
    end_of_input,   ///< the document ends inside the row
    token,          ///< an unexpected token: `position` (UTF-16, from the row) and `code_point`
    invalid_utf8,   ///< the bytes at `next` are not UTF-8
    lone_surrogate, ///< the last span holds a lone surrogate
};

struct Row {
    RowStop stop = RowStop::complete;
    std::int64_t next = 0;  ///< complete: bytes of the row; invalid_utf8: where the bad bytes start
    std::int64_t units = 0; ///< complete: UTF-16 units of the row
    std::int64_t position = 0; ///< token: UTF-16 position from the row's start
    std::uint32_t code_point = 0;
    std::int64_t want = 0; ///< need_more: the bytes from the row's start to read at least
    bool astral = false;   ///< the row holds a code point above U+FFFF
};

namespace detail {

/// The code point at `p` as an unexpected token at `position`.
inline Row token_at(const std::uint8_t* p, const std::uint8_t* start, const std::uint8_t* end,
                    bool at_eof, std::int64_t position) noexcept {
    const utf8::Decoded d = utf8::decode(p, end);
    Row row;
    if (d.length == 0 || (d.length < 0 && at_eof)) {
        row.stop = RowStop::invalid_utf8;
        row.next = p - start;
    } else if (d.length < 0) {
        row.stop = RowStop::need_more;
        row.want = (end - start) + 1;
    } else {
        row.stop = RowStop::token;
        row.position = position;
        row.code_point = d.code_point;
    }
    return row;
}

/// The bytes of `count` code points from `p`, by their lead bytes (a byte
/// that leads nothing counts as one); may pass `end`.
inline const std::uint8_t* skip_code_points(const std::uint8_t* p, const std::uint8_t* end,
                                            std::int64_t count) noexcept {
    for (; count > 0 && p < end; --count) {
        const std::uint8_t b = *p;
        p += b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    }
    return count > 0 ? end + 1 : p;
}

/// A row that the bytes end inside: `want` bytes from its start are needed,
/// or, at the document's end, the input ends there.
inline Row short_of(bool at_eof, std::int64_t want) noexcept {
    Row r;
    r.stop = at_eof ? RowStop::end_of_input : RowStop::need_more;
    r.want = want;
    return r;
}

/// Reads the `digit_value + 1` digits of the length field at `field` into
/// `n`. False, with the row's verdict in `verdict`, where they are not all
/// there or one is not a decimal digit; `units` is the UTF-16 position of the
/// width digit from the row's start.
[[gnu::always_inline]] inline bool read_length(const std::uint8_t* const field, int digit_value,
                                               const std::uint8_t* const start,
                                               const std::uint8_t* const end, bool at_eof,
                                               bool narrow_end, std::int64_t units, std::int64_t& n,
                                               Row& verdict) noexcept {
    n = 0;
    for (int k = 0; k <= digit_value; ++k) {
        if (field + k >= end) {
            verdict = short_of(at_eof, (field + k - start) + 1);
            return false;
        }
        const std::uint8_t d = field[k];
        if (!format::is_decimal_digit(d)) {
            // Both loops first make sure that the whole field is there,
            // and the narrow one that something follows it.
            const std::uint8_t* const after = skip_code_points(field + k, end, digit_value + 1 - k);
            if (after > end || (after == end && !at_eof)) {
                verdict = short_of(at_eof, (field + digit_value + 2 - start) + 1);
            } else if (after == end && narrow_end) {
                verdict = short_of(at_eof, 0);
            } else {
                verdict = token_at(field + k, start, end, at_eof, units + 1 + k);
            }
            return false;
        }
        n = n * 10 + static_cast<std::int64_t>(d - format::digit_zero);
    }
    return true;
}

/// Whether the walk `w` over an item's content stopped before taking its `n`
/// units; if so, the row's verdict is in `row`. `content_position` is the
/// UTF-16 position of the content from the row's start.
inline bool walk_stopped(const utf8::Walk& w, std::int64_t n, const std::uint8_t* const start,
                         const std::uint8_t* const end, bool at_eof, std::int64_t content_position,
                         Row& row) noexcept {
    switch (w.stop) {
    case utf8::Stop::ok:
        return false;
    case utf8::Stop::ran_out:
        row = short_of(at_eof, (w.at - start) + (n - w.units) + 1);
        return true;
    case utf8::Stop::truncated:
        if (!at_eof) {
            row = short_of(at_eof, (end - start) + 1);
            return true;
        }
        [[fallthrough]];
    case utf8::Stop::invalid:
        row.stop = RowStop::invalid_utf8;
        row.next = w.at - start;
        return true;
    case utf8::Stop::overshoot:
        row.stop = RowStop::token;
        row.position = content_position + n;
        row.code_point = (w.last & format::low_ten_bits) | format::low_surrogate_base;
        return true;
    }
    return false;
}

} // namespace detail

/// Reads the row at `start`, whose bytes run to `end`, appending the spans of
/// its leaves to `leaves`. `at_eof` says that `end` is the document's end;
/// `narrow_end` that the document holds no code point above U+FFFF, so that
/// the narrow loop's rule for a length field at the last code point applies
/// (there it is an end of input; the wide loop reads the digits first). Away
/// from the end the two loops agree, so `narrow_end` matters only with `at_eof`.
inline Row read_row(const std::uint8_t* const start, const std::uint8_t* const end, bool at_eof,
                    bool narrow_end, std::vector<Span>& leaves) {
    const std::uint8_t* p = start;
    std::int64_t units = 0; // the UTF-16 position of p from the row's start
    Row row;
    const auto short_of = [at_eof](std::int64_t want) { return detail::short_of(at_eof, want); };
    for (;;) {
        if (p == end) {
            return short_of((end - start) + 1);
        }
        const std::uint8_t c = *p;
        if (c == format::row_terminator) {
            row.next = (p - start) + 1;
            row.units = units + 1;
            return row;
        }
        std::int64_t n;
        const std::uint8_t* content;
        if (c == format::digit_zero && end - p > 2 && format::is_decimal_digit(p[1])) {
            // Width digit '0', one length digit: the common case.
            n = p[1] - format::digit_zero;
            content = p + 2;
        } else {
            const int digit_value = format::width_digit_value(c);
            if (digit_value < 0) {
                return detail::token_at(p, start, end, at_eof, units);
            }
            if (!detail::read_length(p + 1, digit_value, start, end, at_eof, narrow_end, units, n,
                                     row)) {
                return row;
            }
            content = p + 1 + digit_value + 1;
        }
        // The width digit and the length field are ASCII: a byte a unit.
        const std::int64_t content_position = units + (content - p);
#if DWEX_SIMD
        // Most leaves are short: up to a vector's bytes of ASCII are n units
        // and n bytes, told by one load where a vector and one more byte are there.
        if (n <= utf8::block_bytes && end - content > utf8::block_bytes) {
            const std::uint32_t high = simd::mask8(simd::load(content));
            if ((high & ((1u << n) - 1)) == 0) {
                leaves.push_back(Span{content - start, content + n - start});
                units = content_position + n;
                p = content + n;
                continue;
            }
        }
#endif
        // The content's n units take at least n bytes, and one byte follows.
        if (end - content <= n) {
            if (!at_eof) {
                return short_of((content - start) + n + 1);
            }
        }
        const utf8::Walk w = utf8::walk(content, end, n);
        if (detail::walk_stopped(w, n, start, end, at_eof, content_position, row)) {
            return row;
        }
        if (w.at == end) {
            return short_of((end - start) + 1);
        }
        leaves.push_back(Span{content - start, w.at - start});
        row.astral |= w.astral;
        if (w.surrogate) {
            row.stop = RowStop::lone_surrogate;
            return row;
        }
        units = content_position + n;
        p = w.at;
    }
}

} // namespace dwex::codec

#endif
