// split.hpp: cutting a UTF-8 document into stretches at exact row boundaries,
// so that each stretch can be read on a thread of its own, header-only and
// free of the interpreter. The format cannot be entered at an arbitrary byte:
// a leaf may hold anything, DWEX text included. So each stretch guesses a row
// start (a ';' followed by rows that read, with the table's column count),
// reads from it to the first row boundary at or past the next stretch's
// guess, and counts only if its guess is the boundary where the previous
// stretch, itself counted, stopped. A stretch that guessed wrong is read
// again from the true boundary, so rows, faults and positions are those of
// one reader going through the whole document.
//
// A reader of a document in memory takes stretch_starts() and
// read_stretches(), which run their jobs through a runner of its choice (on
// threads, or in_turn). A planner that cuts a large file into parts reads
// only a window around each cut for guess_row_start(), which answers as the
// whole file would or asks for a wider window; each part is then read with
// read_stretch() from its guess to the first boundary at or past the next,
// and the parts are checked against each other as read_stretches() does.
#ifndef DWEX_CODEC_SPLIT_HPP
#define DWEX_CODEC_SPLIT_HPP

#include "core/parse.hpp"
#include "core/parse_utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace dwex::codec {

/// What makes a ';' a plausible row end: the `rows` rows after it (or all up
/// to the document's end, if fewer) read without a fault, each with `columns`
/// leaves unless `columns` is negative.
struct GuessRule {
    std::int64_t columns = -1;
    std::int64_t rows = 4;
};

/// A guessed row start: `at` is a byte offset, or -1 where no ';' from the
/// given offset on qualifies. `need_more`: the bytes end before the verdict
/// on some ';' does, and a wider window may find one (`at` is -1 then).
struct Guess {
    std::int64_t at = -1;
    bool need_more = false;
};

namespace detail {

/// Counts rows and their leaves, and stops the loop once enough rows are
/// read or a row has the wrong number of leaves. Allocates nothing.
class GuessSink {
  public:
    explicit GuessSink(const GuessRule& rule) noexcept : rule_(rule) {}
    bool start_row() noexcept {
        leaves_ = 0;
        return true;
    }
    bool end_row() noexcept {
        if (rule_.columns >= 0 && leaves_ != rule_.columns) {
            wrong_columns = true;
            return false;
        }
        return ++rows < rule_.rows;
    }
    bool item(std::int64_t, std::int64_t, Utf8Leaf) noexcept {
        ++leaves_;
        return true;
    }
    std::int64_t rows = 0;
    bool wrong_columns = false;

  private:
    const GuessRule& rule_;
    std::int64_t leaves_ = 0;
};

} // namespace detail

/// The first plausible row start after a ';' at or after byte `from` of
/// `data[0, length)`, which may be a window of a document: `at_eof` says that
/// it ends where the document does. The verdict on each ';' depends only on
/// the bytes after it, so a window that gives an answer gives the answer of
/// the whole document. A ';' that ends the document starts no row.
inline Guess guess_row_start(const std::uint8_t* data, std::int64_t length, std::int64_t from,
                             bool at_eof, const GuessRule& rule) noexcept {
    for (std::int64_t p = from; p < length;) {
        const void* found =
            std::memchr(data + p, format::row_terminator, static_cast<std::size_t>(length - p));
        if (found == nullptr) {
            break;
        }
        const std::int64_t start = static_cast<const std::uint8_t*>(found) - data + 1;
        p = start;
        if (start == length) {
            break;
        }
        detail::GuessSink sink(rule);
        const Stopped s = read_rows(Utf8Bytes{data + start, length - start, at_eof, true}, sink);
        const FaultKind kind = fault_kind(s.result.fault);
        if (kind == FaultKind::none || (kind == FaultKind::sink && !sink.wrong_columns)) {
            return Guess{start, false};
        }
        if (kind == FaultKind::end_of_input && !at_eof) {
            return Guess{-1, true};
        }
    }
    return Guess{-1, !at_eof};
}

/// Where reading one stretch stopped. Offsets are bytes of the document;
/// `units` and `rows` count what lies in [begin, end).
struct Reach {
    std::int64_t begin = 0;
    std::int64_t end = 0;   ///< the boundary reached, or the start of the row at fault
    std::int64_t units = 0; ///< UTF-16 units of the complete rows
    std::int64_t rows = 0;  ///< complete rows
    bool astral = false;    ///< a code point above U+FFFF in the complete rows
    bool refused = false;   ///< the sink refused the row at `end`
    bool no_memory = false; ///< a row's leaves found no memory
    Row fault;              ///< complete, or read_row's verdict on the row at `end`

    bool ok() const noexcept { return fault.stop == RowStop::complete && !refused && !no_memory; }
};

/// What a stretch's rows go to: `row(start, cells)` gets each complete row,
/// its first byte and its leaves as spans from there, and returns false to
/// stop the stretch (having noted why: it must not throw); `reset()` forgets
/// every row, for a stretch read again.
template <typename S>
concept StretchSink = requires(S& s, const std::uint8_t* start, const std::vector<Span>& cells) {
    { s.row(start, cells) } -> std::same_as<bool>;
    { s.reset() } -> std::same_as<void>;
};

/// Reads the rows of `data[0, length)` from the row start `begin` to the
/// first row boundary at or past `until` (or the end of the bytes).
/// `at_eof` and `narrow_end` are read_row's: a window that ends before the
/// document does stops with need_more at a row it holds only part of, and
/// can be read on from `end` once wider. Needs no interpreter, and touches
/// nothing but its arguments, so stretches may be read on threads of their own.
template <StretchSink S>
Reach read_stretch(const std::uint8_t* data, std::int64_t length, std::int64_t begin,
                   std::int64_t until, bool at_eof, bool narrow_end, S& sink) noexcept {
    Reach reach;
    reach.begin = begin;
    reach.end = begin;
    std::vector<Span> cells;
    while (reach.end < until && reach.end < length) {
        cells.clear();
        const std::uint8_t* const start = data + reach.end;
        try {
            reach.fault = read_row(start, data + length, at_eof, narrow_end, cells);
        } catch (const std::bad_alloc&) {
            reach.no_memory = true;
            return reach;
        }
        if (reach.fault.stop != RowStop::complete) {
            return reach;
        }
        if (!sink.row(start, cells)) {
            reach.refused = true;
            return reach;
        }
        reach.end += reach.fault.next;
        reach.units += reach.fault.units;
        reach.astral |= reach.fault.astral;
        ++reach.rows;
    }
    reach.fault = Row{};
    return reach;
}

/// The document read in stretches: `parts` are the counted stretches in
/// order, each starting where the one before ended; the first with a fault
/// is the last part, and its fault the document's. `rows` and `units` count
/// the complete rows before the end or the fault.
struct SplitRead {
    std::vector<Reach> parts;
    std::int64_t rows = 0;
    std::int64_t units = 0;
    bool ok() const noexcept { return parts.empty() || parts.back().ok(); }
};

/// The start of each of `stretches` stretches of `data[0, length)`: 0, then a
/// guess at or after each k * length / stretches, without repeats. The
/// guesses are independent: `run(count, job)` may call job(k) for each k in
/// [0, count) on threads of its own. Throws std::bad_alloc, and nothing else.
template <typename Run>
std::vector<std::int64_t> stretch_starts(const std::uint8_t* data, std::int64_t length,
                                         std::int64_t stretches, const GuessRule& rule, Run&& run) {
    std::vector<std::int64_t> guesses(
        static_cast<std::size_t>(std::max<std::int64_t>(stretches, 1)), -1);
    guesses[0] = 0;
    run(static_cast<std::int64_t>(guesses.size()) - 1, [&](std::int64_t k) noexcept {
        const std::int64_t from =
            static_cast<std::int64_t>(static_cast<double>(length) * static_cast<double>(k + 1) /
                                      static_cast<double>(guesses.size()));
        guesses[static_cast<std::size_t>(k + 1)] =
            guess_row_start(data, length, std::max<std::int64_t>(from, 1) - 1, true, rule).at;
    });
    std::vector<std::int64_t> starts;
    for (const std::int64_t g : guesses) {
        if (g >= 0 && (starts.empty() || g > starts.back())) {
            starts.push_back(g);
        }
    }
    return starts;
}

/// Reads the whole document `data[0, length)` in stretches from `starts`
/// (stretch_starts'), stretch k into sinks[k]: first every stretch at once
/// through `run`, then, in order, each stretch that does not begin where the
/// counted one before it ended is read again from there (its sink reset),
/// until the document's end or its first fault. The sinks of the stretches
/// past that are left as they are, and are not parts. Throws std::bad_alloc,
/// and nothing else.
template <StretchSink S, typename Run>
SplitRead read_stretches(const std::uint8_t* data, std::int64_t length,
                         const std::vector<std::int64_t>& starts, std::vector<S>& sinks,
                         Run&& run) {
    const auto count = static_cast<std::int64_t>(starts.size());
    const auto until = [&](std::int64_t k) {
        return k + 1 < count ? starts[static_cast<std::size_t>(k + 1)] : length;
    };
    std::vector<Reach> reaches(starts.size());
    run(count, [&](std::int64_t k) noexcept {
        const auto at = static_cast<std::size_t>(k);
        reaches[at] = read_stretch(data, length, starts[at], until(k), true, true, sinks[at]);
    });
    SplitRead out;
    std::int64_t boundary = 0;
    bool astral = false;
    for (std::int64_t k = 0; k < count; ++k) {
        const auto at = static_cast<std::size_t>(k);
        Reach& reach = reaches[at];
        if (reach.begin != boundary) {
            sinks[at].reset();
            reach = read_stretch(data, length, boundary, until(k), true, true, sinks[at]);
        }
        astral |= reach.astral;
        if (reach.fault.stop == RowStop::end_of_input) {
            // The last row's verdict depends on the whole document: length
            // digits at its end are read first when it holds an astral code
            // point anywhere. Only a fault pays for the look.
            const std::uint8_t* const rest = data + reach.end;
            const bool narrow = !astral && std::none_of(rest, data + length,
                                                        [](std::uint8_t b) { return b >= 0xF0; });
            if (!narrow) {
                std::vector<Span> cells;
                try {
                    reach.fault = read_row(rest, data + length, true, false, cells);
                } catch (const std::bad_alloc&) {
                    reach.no_memory = true;
                }
            }
        }
        out.parts.push_back(reach);
        out.rows += reach.rows;
        out.units += reach.units;
        if (!reach.ok()) {
            break;
        }
        boundary = reach.end;
    }
    return out;
}

/// Runs job(k) for k in [0, count) one after the other: the splitter
/// without threads.
inline constexpr auto in_turn = [](std::int64_t count, auto&& job) {
    for (std::int64_t k = 0; k < count; ++k) {
        job(k);
    }
};

} // namespace dwex::codec

#endif
