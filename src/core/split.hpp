// split.hpp: cutting a UTF-8 document into stretches at exact row boundaries,
// so that each stretch can be read on a thread of its own, header-only and
// free of the interpreter. The format cannot be entered at an arbitrary byte:
// a leaf may hold anything, DWEX text included. So each stretch guesses a row
// start (a ';' followed by rows that read, with the table's column count),
// reads from it to the first row boundary at or past the next stretch's
// guess, and counts only if its guess is the boundary where the previous
// stretch, itself counted, stopped. A stretch that guessed wrong is read
// again from the true boundary, or ends the read there, as the caller's
// policy says; either way rows, faults and positions are those of one reader
// going through the whole document.
//
// Every reader that splits runs this one sequence:
//   stretch_starts()  a guessed row start in each stretch of a window;
//   read_stretches()  every stretch read (on threads, or in_turn), then the
//                     chain checked in order by chain(), each wrong guess read
//                     again or the end of the read, as WrongGuess says.
// A document in memory is read with read_again; the threaded Arrow reader
// (dwexio/arrow/window_reader.cpp) reads a window of a file at a time with
// stop, and reads on alone from where the counted stretches end. A planner
// that cuts a large file into parts (dwexio.dask, through
// dwexio/arrow/plan.cpp) reads only a window around each cut for
// guess_row_start(), which answers as the whole file would or asks for a
// wider window; each part is read elsewhere with read_stretch() from its
// guess to the first boundary at or past the next cut, and chain() checks
// the parts, reading a wrong one again through the planner.
#ifndef DWEX_CODEC_SPLIT_HPP
#define DWEX_CODEC_SPLIT_HPP

#include "core/parse.hpp"
#include "core/parse_utf8.hpp"
#include "core/read_sizes.hpp"

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
    std::int64_t rows = sizes::guess_rows;
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
    std::int64_t begin = 0; ///< the stretch's start; -1: it has none
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

/// What a split read does with a stretch that does not begin where the
/// counted one before it ended.
enum class WrongGuess : std::uint8_t {
    read_again, ///< reads it again from that boundary, and goes on
    stop,       ///< ends the read there: the caller reads on alone
};

/// How a document is split: `stretches` guesses (the first is the window's
/// start), each checked by `rule`, and what a wrong one costs.
struct SplitPolicy {
    GuessRule rule;
    std::int64_t stretches = 1;
    WrongGuess wrong = WrongGuess::read_again;
};

/// The bytes a split read sees, `data[0, length)`, of which it reads from the
/// row start `begin` on. `at_eof` says that they end where the document does.
/// `narrow_end` is false where the document is known to hold a code point
/// above U+FFFF (the wide rule reads length digits at its end); true, a fault
/// at the document's end looks through the counted stretches and the bytes
/// after them for one, and is read again under the wide rule if found.
struct Window {
    const std::uint8_t* data = nullptr;
    std::int64_t length = 0;
    std::int64_t begin = 0;
    bool at_eof = true;
    bool narrow_end = true;
};

/// The start of each of the policy's stretches of `window`: its `begin`,
/// then a guess at or after each k / stretches of the bytes from there,
/// without repeats. The guesses are independent: `run(count, job)` may call
/// job(k) for each k in [0, count) on threads of its own. Throws
/// std::bad_alloc, and nothing else.
template <typename Run>
std::vector<std::int64_t> stretch_starts(const Window& w, const SplitPolicy& policy, Run&& run) {
    const std::int64_t count = std::max<std::int64_t>(policy.stretches, 1);
    std::vector<std::int64_t> guesses(static_cast<std::size_t>(count), -1);
    guesses[0] = w.begin;
    run(count - 1, [&](std::int64_t k) noexcept {
        const std::int64_t from = w.begin + (w.length - w.begin) * (k + 1) / count;
        guesses[static_cast<std::size_t>(k + 1)] =
            guess_row_start(w.data, w.length, from, w.at_eof, policy.rule).at;
    });
    std::vector<std::int64_t> starts;
    for (const std::int64_t g : guesses) {
        if (g >= 0 && (starts.empty() || g > starts.back())) {
            starts.push_back(g);
        }
    }
    return starts;
}

/// Where chain() ended: `counted` stretches count, the last ending at `end`
/// (`from` if none); `wrong_guess`: it stopped at a stretch that guessed wrong.
struct Chained {
    std::size_t counted = 0;
    std::int64_t end = 0;
    bool wrong_guess = false;
};

/// Checks stretches read from their guesses, `reaches`, in order from the
/// boundary `from`: a stretch counts where it begins at the boundary that
/// the counted one before it ended at. One that does not ends the chain
/// (WrongGuess::stop), or is read again from that boundary as
/// `reread(k, boundary)` returns it, while bytes are left before `length`
/// (WrongGuess::read_again). A stretch without a start (begin -1) ends the
/// chain. `accept(k, reach)` sees each stretch about to count, may settle its
/// fault, and may refuse it, which ends the chain; the chain ends after the
/// first counted stretch that is not ok(). Throws what `reread` throws.
template <typename Reread, typename Accept>
Chained chain(std::vector<Reach>& reaches, std::int64_t from, std::int64_t length, WrongGuess wrong,
              Reread&& reread, Accept&& accept) {
    Chained out{0, from, false};
    for (std::size_t k = 0; k < reaches.size(); ++k) {
        Reach& reach = reaches[k];
        if (reach.begin < 0) {
            break;
        }
        if (reach.begin != out.end) {
            if (wrong == WrongGuess::stop) {
                out.wrong_guess = true;
                break;
            }
            if (out.end >= length) {
                break;
            }
            reach = reread(k, out.end);
        }
        if (!accept(k, reach)) {
            break;
        }
        ++out.counted;
        out.end = reach.end;
        if (!reach.ok()) {
            break;
        }
    }
    return out;
}

/// The stretches counted by read_stretches(), in order, each starting where
/// the one before ended; the first with a fault is the last, and its fault
/// the document's (or the window's: need_more where it ends inside a row).
/// `rows` and `units` count their complete rows; `end` is where the last
/// ends; `wrong_guess` is chain()'s.
struct SplitRead {
    std::vector<Reach> parts;
    std::int64_t rows = 0;
    std::int64_t units = 0;
    std::int64_t end = 0;
    bool wrong_guess = false;
    bool ok() const noexcept { return parts.empty() || parts.back().ok(); }
};

/// Counts every stretch that chain() offers.
inline constexpr auto count_all = [](std::size_t, const Reach&) noexcept { return true; };

namespace detail {

/// A stretch that ends the document unfinished under the narrow rule is read
/// again under the wide one where the document holds a code point above
/// U+FFFF (`astral`: in the stretches counted so far): length digits at its
/// end are read first then. Only a fault pays for the look.
inline void settle_end(const Window& w, Reach& reach, bool astral) noexcept {
    if (reach.fault.stop != RowStop::end_of_input || !w.narrow_end) {
        return;
    }
    const std::uint8_t* const rest = w.data + reach.end;
    if (!astral &&
        std::none_of(rest, w.data + w.length, [](std::uint8_t b) { return b >= 0xF0; })) {
        return;
    }
    try {
        std::vector<Span> cells;
        reach.fault = read_row(rest, w.data + w.length, true, false, cells);
    } catch (const std::bad_alloc&) {
        reach.no_memory = true;
    }
}

} // namespace detail

/// Reads `window` in stretches from `starts` (stretch_starts'), stretch k
/// into sinks[k] (a vector or deque of StretchSink): first every stretch at
/// once through `run`, each to the first boundary at or past the next start,
/// then chain() with `wrong`, a stretch read again into its sink reset.
/// `accept(k, reach)` sees each stretch as it counts, in order, and may
/// refuse it (noexcept: it must note why). The sinks of the stretches that do
/// not count are left as they are. Throws std::bad_alloc, and nothing else.
template <typename Sinks, typename Run, typename Accept>
    requires StretchSink<typename Sinks::value_type>
SplitRead read_stretches(const Window& w, const std::vector<std::int64_t>& starts, Sinks& sinks,
                         WrongGuess wrong, Run&& run, Accept&& accept) {
    const std::size_t count = starts.size();
    const auto until = [&](std::size_t k) { return k + 1 < count ? starts[k + 1] : w.length; };
    std::vector<Reach> reaches(count);
    run(static_cast<std::int64_t>(count), [&](std::int64_t k) noexcept {
        const auto at = static_cast<std::size_t>(k);
        reaches[at] = read_stretch(w.data, w.length, starts[at], until(at), w.at_eof, w.narrow_end,
                                   sinks[at]);
    });
    SplitRead out;
    out.parts.reserve(count); // nothing allocates once stretches count
    bool astral = false;
    const Chained chained = chain(
        reaches, w.begin, w.length, wrong,
        [&](std::size_t k, std::int64_t boundary) noexcept {
            sinks[k].reset();
            return read_stretch(w.data, w.length, boundary, until(k), w.at_eof, w.narrow_end,
                                sinks[k]);
        },
        [&](std::size_t k, Reach& reach) noexcept {
            astral |= reach.astral;
            detail::settle_end(w, reach, astral);
            if (!accept(k, static_cast<const Reach&>(reach))) {
                return false;
            }
            out.parts.push_back(reach);
            out.rows += reach.rows;
            out.units += reach.units;
            return true;
        });
    out.end = chained.end;
    out.wrong_guess = chained.wrong_guess;
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
