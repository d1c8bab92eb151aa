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
#include "utf8.hpp"

#include <cstdint>
#include <vector>

namespace dwex::codec {

/// A cell's content as byte offsets from the row's first byte.
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

} // namespace detail

/// Reads the row at `start`, whose bytes run to `end`, appending the spans of
/// its cells to `cells`. `at_eof` says that `end` is the document's end;
/// `narrow_end` that the document holds no code point above U+FFFF, so that
/// the narrow loop's rule for a length field at the last code point applies
/// (there it is an end of input; the wide loop reads the digits first). Away
/// from the end the two loops agree, so `narrow_end` matters only with `at_eof`.
inline Row read_row(const std::uint8_t* const start, const std::uint8_t* const end, bool at_eof,
                    bool narrow_end, std::vector<Span>& cells) {
    const std::uint8_t* p = start;
    std::int64_t units = 0; // the UTF-16 position of p from the row's start
    Row row;
    auto short_of = [&](std::int64_t want) {
        Row r;
        r.stop = at_eof ? RowStop::end_of_input : RowStop::need_more;
        r.want = want;
        return r;
    };
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
            const int h = format::width_digit_value(c);
            if (h < 0) {
                return detail::token_at(p, start, end, at_eof, units);
            }
            const std::uint8_t* const field = p + 1;
            n = 0;
            for (int k = 0; k <= h; ++k) {
                if (field + k >= end) {
                    return short_of((field + k - start) + 1);
                }
                const std::uint8_t d = field[k];
                if (!format::is_decimal_digit(d)) {
                    // Both loops first make sure that the whole field is there,
                    // and the narrow one that something follows it.
                    const std::uint8_t* const after =
                        detail::skip_code_points(field + k, end, h + 1 - k);
                    if (after > end || (after == end && !at_eof)) {
                        return short_of((field + h + 2 - start) + 1);
                    }
                    if (after == end && narrow_end) {
                        return short_of(0);
                    }
                    return detail::token_at(field + k, start, end, at_eof, units + 1 + k);
                }
                n = n * 10 + static_cast<std::int64_t>(d - format::digit_zero);
            }
            content = field + h + 1;
        }
        // The width digit and the length field are ASCII: a byte a unit.
        const std::int64_t content_position = units + (content - p);
#if defined(__SSE2__)
        // Most leaves are short: up to a vector's bytes of ASCII are n units
        // and n bytes, told by one load where a vector and one more byte are there.
        if (n <= utf8::block_bytes && end - content > utf8::block_bytes) {
            const std::uint32_t high = simd::mask8(simd::load(content));
            if ((high & ((1u << n) - 1)) == 0) {
                cells.push_back(Span{content - start, content + n - start});
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
        switch (w.stop) {
        case utf8::Stop::ok:
            break;
        case utf8::Stop::ran_out:
            return short_of((w.at - start) + (n - w.units) + 1);
        case utf8::Stop::truncated:
            if (!at_eof) {
                return short_of((end - start) + 1);
            }
            [[fallthrough]];
        case utf8::Stop::invalid:
            row.stop = RowStop::invalid_utf8;
            row.next = w.at - start;
            return row;
        case utf8::Stop::overshoot:
            row.stop = RowStop::token;
            row.position = content_position + n;
            row.code_point = (w.last & format::low_ten_bits) | format::low_surrogate_base;
            return row;
        }
        if (w.at == end) {
            return short_of((end - start) + 1);
        }
        cells.push_back(Span{content - start, w.at - start});
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
