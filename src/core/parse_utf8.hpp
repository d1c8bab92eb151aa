// parse_utf8.hpp: the reader's loop (parse.hpp) over a document's UTF-8
// bytes, header-only and free of the interpreter. The loop is the str
// reader's own; the content policy here measures an item's content in UTF-16
// units without decoding it, and keeps UTF-16 positions beside byte offsets,
// so faults and positions are those of the decoded text. read_row() reads one
// row at a time, so that a streaming caller can stop at any row boundary and
// re-read a row that its buffer holds only part of.
#ifndef DWEX_CODEC_PARSE_UTF8_HPP
#define DWEX_CODEC_PARSE_UTF8_HPP

#include "core/format.hpp"
#include "core/parse.hpp"
#include "core/simd.hpp"
#include "core/utf8.hpp"

#include <cstdint>
#include <vector>

namespace dwex::codec {

/// What the walk over a leaf's bytes learnt beside where they end.
struct Utf8Leaf {
    bool astral = false;    ///< it holds a code point above U+FFFF
    bool surrogate = false; ///< it holds a lone surrogate
};

namespace detail {

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

/// The content policy of UTF-8 bytes `data[0, length)`. `at_eof` says that the
/// bytes end where the document does: otherwise every end of input asks for
/// more bytes (its `want`), and a character cut by the end of the bytes is
/// one too. `narrow_end` says that the document holds no code point above
/// U+FFFF, so that length digits that end on the last character are not read
/// (the narrow statement's rule), which matters only with `at_eof`. Items go
/// to the sink as byte offsets, with a Utf8Leaf.
struct Utf8Bytes {
    const std::uint8_t* data;
    std::int64_t length;
    bool at_eof;
    bool narrow_end;

    static constexpr bool index_is_position = false;
    static constexpr LoopFaults faults = wide_faults;

    std::uint32_t unit(std::int64_t i) const noexcept { return data[i]; }
    bool reads_final_field() const noexcept { return at_eof && !narrow_end; }

    /// The character at `i` as an unexpected token, decoded to be quoted.
    Stopped token(Fault f, std::int64_t i, std::int64_t pos) const noexcept {
        const utf8::Decoded d = utf8::decode(data + i, data + length);
        if (d.length == 0 || (d.length < 0 && at_eof)) {
            return detail::stopped(Fault::invalid_utf8, i, pos);
        }
        if (d.length < 0) {
            return detail::stopped(faults.content_end, i, pos, length + 1);
        }
        return detail::token_stop(f, i, pos, d.code_point);
    }

    /// A non-digit among the length digits: the field's characters (not its
    /// bytes) decide whether it runs past the end or ends on the last one.
    Stopped bad_digit(const LoopFaults& f, std::int64_t j, std::int64_t pos,
                      std::int64_t field_end) const noexcept {
        const std::uint8_t* const end = data + length;
        const std::uint8_t* const after = detail::skip_code_points(data + j, end, field_end - j);
        if (after > end || (after == end && !reads_final_field())) {
            const std::int64_t reach = after - data;
            return detail::stopped(f.length_end, j, pos,
                                   (reach > field_end ? reach : field_end) + 1);
        }
        return token(f.length_digit, j, pos);
    }

    template <typename S>
    bool take(S& sink, std::int64_t begin, std::int64_t content_position, std::int64_t n,
              std::int64_t& at, Stopped& out) const {
        const std::uint8_t* const content = data + begin;
        const std::uint8_t* const end = data + length;
#if DWEX_SIMD
        // Most leaves are short: up to a vector's bytes of ASCII are n units
        // and n bytes, told by one load where a vector and one more byte are there.
        if (n <= utf8::block_bytes && end - content > utf8::block_bytes) {
            const std::uint32_t high = simd::mask8(simd::load(content));
            if ((high & ((1u << n) - 1)) == 0) {
                at = begin + n;
                if (!sink.item(begin, at, Utf8Leaf{})) {
                    out = detail::stopped(faults.item_sink, begin, content_position);
                    return false;
                }
                return true;
            }
        }
#endif
        // The content's n units take at least n bytes, and one byte follows:
        // short of those, a walk would only be repeated with more bytes.
        if (end - content <= n && !at_eof) {
            out = detail::stopped(faults.content_end, begin, content_position, begin + n + 1);
            return false;
        }
        const utf8::Walk w = utf8::walk(content, end, n);
        const std::int64_t stop = w.at - data;
        switch (w.stop) {
        case utf8::Stop::ok:
            break;
        case utf8::Stop::ran_out:
            // Each unit still wanted is at least one byte.
            out = detail::stopped(faults.content_end, begin, content_position,
                                  stop + (n - w.units) + 1);
            return false;
        case utf8::Stop::truncated:
            if (!at_eof) {
                out = detail::stopped(faults.content_end, begin, content_position, length + 1);
                return false;
            }
            [[fallthrough]];
        case utf8::Stop::invalid:
            out = detail::stopped(Fault::invalid_utf8, stop, content_position);
            return false;
        case utf8::Stop::overshoot:
            // The length ends inside a code point above U+FFFF: its low
            // surrogate is the token, before the test for what follows.
            out = detail::token_stop(faults.split_astral, stop, content_position + n,
                                     (w.last & format::low_ten_bits) | format::low_surrogate_base);
            return false;
        }
        if (stop == length) {
            out = detail::stopped(faults.no_terminator, begin, content_position, length + 1);
            return false;
        }
        at = stop;
        if (!sink.item(begin, at, Utf8Leaf{w.astral, w.surrogate})) {
            out = detail::stopped(faults.item_sink, begin, content_position);
            return false;
        }
        return true;
    }
};

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

/// Takes the leaves of one row as spans and stops the loop at its ';', or at
/// a leaf holding a lone surrogate, which an Arrow string cannot hold.
class OneRow {
  public:
    explicit OneRow(std::vector<Span>& leaves) noexcept : leaves_(leaves) {}
    bool start_row() const noexcept { return true; }
    bool end_row() const noexcept { return false; }
    bool item(std::int64_t begin, std::int64_t end, Utf8Leaf leaf) {
        leaves_.push_back(Span{begin, end});
        // Stored only when set: the common leaf, plain ASCII, then leaves
        // the row's state alone.
        if (leaf.astral) {
            astral = true;
        }
        if (leaf.surrogate) {
            surrogate = true;
            return false;
        }
        return true;
    }
    bool astral = false;
    bool surrogate = false;

  private:
    std::vector<Span>& leaves_;
};

} // namespace detail

/// Reads the row at `start`, whose bytes run to `end`, appending the spans of
/// its leaves to `leaves`. `at_eof` and `narrow_end` are Utf8Bytes'.
/// The loop is inlined here, not called: rows are often a few leaves long,
/// and a call per row, with the policy and the verdict passed through
/// memory, makes a reader of short rows up to a fifth slower.
[[gnu::noinline, gnu::flatten]] inline Row read_row(const std::uint8_t* const start,
                                                    const std::uint8_t* const end, bool at_eof,
                                                    bool narrow_end, std::vector<Span>& leaves) {
    Row row;
    if (start == end) {
        row.stop = at_eof ? RowStop::end_of_input : RowStop::need_more;
        row.want = 1;
        return row;
    }
    detail::OneRow sink(leaves);
    const Stopped s = run_rows(Utf8Bytes{start, end - start, at_eof, narrow_end}, sink, 0, 0);
    row.astral = sink.astral;
    switch (fault_kind(s.result.fault)) {
    case FaultKind::none: // not reached: the sink stops the loop at the first ';'
    case FaultKind::sink:
        if (sink.surrogate) {
            row.stop = RowStop::lone_surrogate;
        } else {
            row.next = s.index;
            row.units = s.position;
        }
        break;
    case FaultKind::end_of_input:
        row.stop = at_eof ? RowStop::end_of_input : RowStop::need_more;
        row.want = s.want;
        break;
    case FaultKind::unexpected_token:
        row.stop = RowStop::token;
        row.position = s.result.pos;
        row.code_point = s.result.code_point;
        break;
    case FaultKind::invalid_input:
        row.stop = RowStop::invalid_utf8;
        row.next = s.index;
        break;
    }
    return row;
}

} // namespace dwex::codec

#endif
