// presized.cpp: stringify's fast path for the common table, an exact list or
// tuple of exact lists or tuples of str, with HEX an exact str in the module
// dict. Walking such a table runs no Python code, so a first pass that only
// reads lengths and storage widths cannot be observed; the document is then
// allocated once at its exact size and width, and a second pass writes each
// item straight into it. Where the GIL keeps other threads out, a table whose
// sampled rows are ASCII is instead written in one pass, each leaf read once
// while its header is in the cache, into a document sized from the sample;
// the rows from the first leaf that does not fit that plan on are measured
// and written by the two passes. Any other table leaves this path before
// anything observable has happened, and the general writer runs.
#include "codec/presized.hpp"

#include "codec/decimal.hpp"
#include "codec/rules.hpp"
#include "codec/units.hpp"
#include "codec/widen.hpp"
#include "hex_cache.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "threads.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

namespace dwex {
namespace {

bool is_exact_sequence(PyObject* seq) noexcept {
    return PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
}

// Hands each element of `seq`, an exact list or tuple, to `visit` (which
// returns false to stop); false if the walk stopped. Where other threads can
// run beside this one, a list that another thread can reach is read with a
// checked fetch that holds each element for its visit, as the general writer
// reads it; a fetch that fails (the list shrank) stops the walk without an
// exception.
template <typename Visit>
[[gnu::always_inline]] inline bool each_element(PyObject* seq, Visit&& visit) noexcept {
    if constexpr (free_threaded_paths) {
        if (PyList_CheckExact(seq)) {
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(seq); ++k) {
                Ref element = PyUnstable_Object_IsUniquelyReferenced(seq)
                                  ? Ref::borrow(PyList_GET_ITEM(seq, k))
                                  : Ref::steal(PyList_GetItemRef(seq, k));
                if (!element) {
                    PyErr_Clear();
                    return false;
                }
                if (!visit(element.get())) {
                    return false;
                }
            }
            return true;
        }
    }
    // With the GIL held, or for a tuple, the storage stays as it is: no code runs.
    PyObject* const* items = PySequence_Fast_ITEMS(seq);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    for (Py_ssize_t k = 0; k < n; ++k) {
        if (!visit(items[k])) {
            return false;
        }
    }
    return true;
}

/// Where a str's storage width and ASCII flag sit in its state word. The
/// layout of those bit-fields is the compiler's, so the masks come from a word
/// written through the fields themselves.
struct StateBits {
    std::uint32_t kind_one; // the word of a str of kind 1: kind k gives k times it
    std::uint32_t kinds;    // every bit of the kind field
    std::uint32_t ascii;
    std::uint32_t compact;

    static StateBits find() noexcept {
        static_assert(sizeof(PyASCIIObject::state) == sizeof(std::uint32_t));
        PyASCIIObject probe{};
        const auto word = [&probe] {
            std::uint32_t w;
            std::memcpy(&w, &probe.state, sizeof w);
            return w;
        };
        StateBits bits{};
        probe.state.kind = 1;
        bits.kind_one = word();
        probe.state.kind = 7;
        bits.kinds = word();
        probe.state.kind = 0;
        probe.state.ascii = 1;
        bits.ascii = word();
        probe.state.ascii = 0;
        probe.state.compact = 1;
        bits.compact = word();
        return bits;
    }
};
const StateBits state_bits = StateBits::find();

// A leaf's state word. With the GIL held it is read whole: no other thread
// can be writing its fields. On the free-threaded build another thread may
// set the interned field beside them at any time, so the word is put
// together from the two fields that matter.
std::uint32_t state_word(PyObject* leaf) noexcept {
    if constexpr (free_threaded_paths) {
        return static_cast<std::uint32_t>(PyUnicode_KIND(leaf)) * state_bits.kind_one |
               (PyUnicode_IS_ASCII(leaf) ? state_bits.ascii : 0);
    } else {
        std::uint32_t w;
        std::memcpy(&w, &reinterpret_cast<PyASCIIObject*>(leaf)->state, sizeof w);
        return w;
    }
}

/// What the first pass learns: enough to size the document exactly and to
/// pick its storage width. The second pass on the free-threaded build counts
/// the same again and compares, since another thread may have changed a list
/// in between.
struct Shape {
    std::size_t units = 0; // characters of the document
    std::size_t rows = 0;
    std::uint32_t any_state = 0;    // the leaves' state words, or-ed together
    std::uint32_t all_states = ~0U; // and and-ed together
    std::size_t longest = 0;        // the largest UTF-16 length of a leaf
    bool operator==(const Shape&) const noexcept = default;

    // The storage widths of the leaves, or-ed together.
    int kinds() const noexcept {
        return static_cast<int>((any_state & state_bits.kinds) / state_bits.kind_one);
    }
    // 1 once a leaf holds a character above U+007F.
    int non_ascii() const noexcept { return (all_states & state_bits.ascii) == 0 ? 1 : 0; }
};

// Adds one leaf to `shape`; false for a leaf that is not a str.
bool measure_leaf(Shape& shape, PyObject* leaf) noexcept {
    // A str subclass is written as it is, with no call, like a str.
    if (!PyUnicode_CheckExact(leaf)) [[unlikely]] {
        if (!PyUnicode_Check(leaf)) {
            return false;
        }
    }
    const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(leaf));
    // Or-ing and and-ing whole state words gathers the storage widths and
    // whether every leaf is ASCII in two instructions a leaf.
    const std::uint32_t state = state_word(leaf);
    shape.any_state |= state;
    shape.all_states &= state;
    std::size_t u16_len = n;
    if ((state & (PyUnicode_4BYTE_KIND * state_bits.kind_one)) != 0) [[unlikely]] {
        u16_len = rules::utf16_length(static_cast<const std::uint32_t*>(PyUnicode_DATA(leaf)), n);
    }
    // The width digit and one or two length digits; more only past 99.
    shape.units += 2 + n + (u16_len >= 10);
    if (u16_len >= 100) [[unlikely]] {
        shape.units += static_cast<std::size_t>(rules::decimal_digit_count(u16_len)) - 2;
    }
    shape.longest = u16_len > shape.longest ? u16_len : shape.longest;
    return true;
}

// Adds one row to `shape`; false for a row that is not an exact list or
// tuple of str. Inlined, as the first pass's inner loop.
[[gnu::always_inline]] inline bool measure_row(Shape& shape, PyObject* row) noexcept {
    if (!is_exact_sequence(row)) {
        return false;
    }
    shape.units += 1; // the row terminator
    shape.rows += 1;
    return each_element(row,
                        [&shape](PyObject* leaf) noexcept { return measure_leaf(shape, leaf); });
}

// The first pass, and on the free-threaded build the recount of the second.
bool measure_table(PyObject* lists, Shape& shape) noexcept {
    if (!is_exact_sequence(lists)) {
        return false;
    }
    return each_element(lists,
                        [&shape](PyObject* row) noexcept { return measure_row(shape, row); });
}

/// The width digit for each count of length digits that the table uses.
struct WidthDigits {
    std::array<Py_UCS4, rules::max_length_digits + 1> of_count{}; // index 1 to `counts`
    int counts = 0;
};

// The widest character that a str of `kinds` (or-ed storage widths, of
// strings that are all ASCII unless `non_ascii`) can hold: the result's
// storage follows from it alone.
Py_UCS4 widest_of(int kinds, int non_ascii) noexcept {
    return kinds & PyUnicode_4BYTE_KIND   ? 0x10FFFF
           : kinds & PyUnicode_2BYTE_KIND ? 0xFFFF
           : non_ascii != 0               ? 0xFF
                                          : 0x7F;
}

// The current HEX, read from the module dict without running any code (a
// lookup of an interned str key), and held in `hex_held` where the cache did
// not have it; null, with no exception, where it is not an exact str there.
PyObject* current_hex(Ref& hex_held) noexcept {
    PyObject* hex = hex_cache_peek();
    if (hex == nullptr) {
        PyObject* found = nullptr;
        const int status = PyDict_GetItemRef(state.ns.get(), state.str(S::HEX), &found);
        hex_held = Ref::steal(found);
        if (status <= 0 || !PyUnicode_CheckExact(found)) {
            PyErr_Clear();
            return nullptr;
        }
        hex = found;
        hex_cache_remember(hex);
    }
    return hex;
}

// Takes from the current HEX the width digit of every count of length digits
// up to the table's longest. False, with no exception, where HEX is not an
// exact str, is too short, or holds a width digit wider than the leaves
// (whether it is used decides the result's storage): the general writer then
// looks it up again and does what it finds, in order.
bool take_width_digits(const Shape& shape, Ref& hex_held, WidthDigits& digits) noexcept {
    PyObject* hex = current_hex(hex_held);
    if (hex == nullptr) {
        return false;
    }
    const int counts = rules::decimal_digit_count(shape.longest);
    if (counts > PyUnicode_GET_LENGTH(hex) || counts > rules::max_length_digits) {
        return false;
    }
    const Py_UCS4 widest = widest_of(shape.kinds(), shape.non_ascii());
    for (int count = 1; count <= counts; ++count) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(hex, count - 1);
        if (widest_of(ch > 0xFFFF ? 4 : ch > 0xFF ? 2 : 1, ch > 0x7F) > widest) {
            return false;
        }
        digits.of_count[static_cast<std::size_t>(count)] = ch;
    }
    digits.counts = counts;
    return true;
}

// Copies bytes that hold whole code units: short runs with fixed-size moves,
// which cost less than a call.
inline void copy_bytes(const std::uint8_t* from, std::size_t size, std::uint8_t* to) noexcept {
    if (size <= 16) {
        rules::copy_short_bytes(from, size, to);
    } else if (size <= 32) {
        std::memcpy(to, from, 16);
        std::memcpy(to + size - 16, from + size - 16, 16);
    } else {
        std::memcpy(to, from, size);
    }
}

template <rules::CodeUnit Out, rules::CodeUnit In>
Out* copy_content(const void* data, std::size_t n, Out* to) noexcept {
    const In* from = static_cast<const In*>(data);
    if constexpr (sizeof(In) == sizeof(Out)) {
        copy_bytes(reinterpret_cast<const std::uint8_t*>(from), n * sizeof(Out),
                   reinterpret_cast<std::uint8_t*>(to));
        return to + n;
    } else {
        return rules::widen(from, n, to);
    }
}

/// The length field, with its width digit, of every length below 100 that
/// the table's width digits cover, as the first units of four, and how many
/// of those units it takes: one fixed move writes it.
template <rules::CodeUnit Out> struct ShortPrefixes {
    std::array<std::array<Out, 4>, 100> units{};
    std::array<std::uint8_t, 100> size{};

    explicit ShortPrefixes(const WidthDigits& digits) noexcept {
        for (std::size_t n = 0; n < units.size(); ++n) {
            const int count = rules::decimal_digit_count(n);
            if (count > digits.counts) {
                break;
            }
            size[n] = static_cast<std::uint8_t>(1 + count);
            rules::write_length_prefix(
                static_cast<Out>(digits.of_count[static_cast<std::size_t>(count)]), n, count,
                units[n].data());
        }
    }
};

/// The second pass at the document's storage width `Out`: every item and row
/// terminator, in order. The write position travels as an argument and a
/// return value, never through memory, so that the compiler keeps it in a
/// register: a store through a byte pointer could alias anything in memory.
/// On the free-threaded build the pass also recounts the table into `seen`,
/// and a leaf returns null instead of writing past `end` or a leaf wider
/// than the document.
template <rules::CodeUnit Out> struct WritePass {
    const WidthDigits& digits;
    const ShortPrefixes<Out>& prefixes;
    Out* const end; // the document's end, with its terminating unit after it
    Shape seen;

    // Room before `end` (plus the terminating unit, restored afterwards) that
    // the fixed moves of a short leaf need: a 4-unit length field and a word
    // widened to at most 32 bytes.
    static constexpr std::ptrdiff_t slack = 32;

    template <rules::CodeUnit In> Out* leaf_at(PyObject* v, std::size_t n, Out* to) noexcept {
        const In* data = static_cast<const In*>(PyUnicode_DATA(v));
        const std::size_t u16_len = sizeof(In) == 4 ? rules::utf16_length(data, n) : n;
        if (u16_len < prefixes.size.size() && end - to >= slack) [[likely]] {
            if constexpr (free_threaded_paths) {
                if (prefixes.size[u16_len] == 0) {
                    return nullptr; // longer than the table measured
                }
            }
            std::memcpy(to, prefixes.units[u16_len].data(), sizeof(prefixes.units[u16_len]));
            to += prefixes.size[u16_len];
            // A compact str's content follows its header, so the word that
            // ends with a short content lies inside the object. Only on the
            // GIL build: elsewhere that word holds fields that another thread
            // may be writing.
            if (!free_threaded_paths && n <= rules::tail_word_units<In> && PyUnicode_IS_COMPACT(v))
                [[likely]] {
                return rules::copy_tail_word(data, n, to);
            }
        } else {
            const int count = rules::decimal_digit_count(u16_len);
            if constexpr (free_threaded_paths) {
                if (count > digits.counts ||
                    static_cast<std::size_t>(end - to) < 1 + static_cast<std::size_t>(count) + n) {
                    return nullptr;
                }
            }
            to = rules::write_length_prefix(
                static_cast<Out>(digits.of_count[static_cast<std::size_t>(count)]), u16_len, count,
                to);
        }
        if constexpr (free_threaded_paths) {
            if (static_cast<std::size_t>(end - to) < n) {
                return nullptr;
            }
        }
        return copy_content<Out, In>(data, n, to);
    }

    Out* leaf(PyObject* v, Out* to) noexcept {
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        const int kind = PyUnicode_KIND(v);
        if constexpr (free_threaded_paths) {
            // The first pass saw other lists: only what fits is written.
            if (!measure_leaf(seen, v) || kind > static_cast<int>(sizeof(Out))) {
                return nullptr;
            }
        }
        if constexpr (sizeof(Out) == 1) {
            return leaf_at<std::uint8_t>(v, n, to);
        } else if constexpr (sizeof(Out) == 2) {
            return kind == PyUnicode_1BYTE_KIND ? leaf_at<std::uint8_t>(v, n, to)
                                                : leaf_at<std::uint16_t>(v, n, to);
        } else {
            return kind == PyUnicode_1BYTE_KIND   ? leaf_at<std::uint8_t>(v, n, to)
                   : kind == PyUnicode_2BYTE_KIND ? leaf_at<std::uint16_t>(v, n, to)
                                                  : leaf_at<std::uint32_t>(v, n, to);
        }
    }

    // Writes the whole table from `to` on; null where the free-threaded
    // recount found a row that no longer fits.
    Out* table(PyObject* lists, Out* to) noexcept {
        if constexpr (free_threaded_paths) {
            const bool walked = each_element(lists, [this, &to](PyObject* row) noexcept {
                if (!is_exact_sequence(row)) {
                    return false;
                }
                seen.units += 1;
                seen.rows += 1;
                const bool whole = each_element(row, [this, &to](PyObject* v) noexcept {
                    to = leaf(v, to);
                    return to != nullptr;
                });
                if (!whole || to == end) {
                    return false;
                }
                *to++ = static_cast<Out>(rules::row_terminator);
                return true;
            });
            return walked ? to : nullptr;
        } else {
            return rows_from(lists, 0, to);
        }
    }

    // Writes the rows from `first` on. Only with the GIL held, when no code
    // runs: the storage of every list stays as it is. Inlined, as the second
    // pass's loop.
    [[gnu::always_inline]] Out* rows_from(PyObject* lists, Py_ssize_t first, Out* to) noexcept {
        PyObject* const* rows = PySequence_Fast_ITEMS(lists);
        const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(lists);
        for (Py_ssize_t r = first; r < row_count; ++r) {
            PyObject* const* items = PySequence_Fast_ITEMS(rows[r]);
            const Py_ssize_t item_count = PySequence_Fast_GET_SIZE(rows[r]);
            for (Py_ssize_t k = 0; k < item_count; ++k) {
                to = leaf(items[k], to);
            }
            *to++ = static_cast<Out>(rules::row_terminator);
        }
        return to;
    }
};

// Writes the table into `document` (made for `shape`); false where the
// free-threaded recount found a table other than the one measured. Out of
// line, so that the first pass and this one each get the registers to
// themselves.
template <rules::CodeUnit Out>
[[gnu::noinline]] bool write_table(PyObject* lists, const Shape& shape, const WidthDigits& digits,
                                   PyObject* document) noexcept {
    Out* const start = static_cast<Out*>(PyUnicode_DATA(document));
    const ShortPrefixes<Out> prefixes(digits);
    WritePass<Out> pass{digits, prefixes, start + shape.units, Shape{}};
    Out* const written = pass.table(lists, start);
    // The fixed moves may have written over the terminating unit.
    start[shape.units] = 0;
    if constexpr (free_threaded_paths) {
        return written == pass.end && pass.seen == shape;
    } else {
        return written == pass.end;
    }
}

// Writes the rows from `first` on after the `done` units that `document`
// already holds; the document was sized for them. Only with the GIL held.
template <rules::CodeUnit Out>
void write_rows_from(PyObject* lists, Py_ssize_t first, const WidthDigits& digits,
                     PyObject* document, std::size_t done) noexcept {
    Out* const start = static_cast<Out*>(PyUnicode_DATA(document));
    const auto units = static_cast<std::size_t>(PyUnicode_GET_LENGTH(document));
    const ShortPrefixes<Out> prefixes(digits);
    WritePass<Out> pass{digits, prefixes, start + units, Shape{}};
    pass.rows_from(lists, first, start + done);
    start[units] = 0; // the fixed moves may have written over it
}

/// What the one pass does with a table: write it, leave it to the two
/// passes, or leave it to the general writer (a row that is not an exact
/// list or tuple, or a leaf that is not a str).
enum class Route : std::uint8_t { written, two_passes, general };

// The rows measured to size a one-pass document, spread evenly over the
// table; in a small table, one row in 8 at most.
constexpr Py_ssize_t sampled_rows = 32;
constexpr Py_ssize_t least_sample_step = 8;
// Below this many leaves the two passes run within the cache: one pass gains
// nothing there, and would pay a resize.
constexpr std::size_t one_pass_min_leaves = 256;

/// The width digits that HEX gives as ASCII characters: each count of length
/// digits up to its first character that is not ASCII.
WidthDigits ascii_width_digits(PyObject* hex) noexcept {
    WidthDigits digits;
    const Py_ssize_t n = std::min<Py_ssize_t>(PyUnicode_GET_LENGTH(hex), rules::max_length_digits);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(hex, k);
        if (ch > 0x7F) {
            break;
        }
        digits.of_count[static_cast<std::size_t>(k + 1)] = ch;
        digits.counts = static_cast<int>(k + 1);
    }
    return digits;
}

/// Sets `document` to `units` characters in place (it is new and only ours);
/// false, with no exception, if the allocator refuses.
bool resize_document(Ref& document, std::size_t units) noexcept {
    PyObject* raw = document.release();
    const bool resized = PyUnicode_Resize(&raw, static_cast<Py_ssize_t>(units)) == 0;
    document = Ref::steal(raw); // on failure still the old, whole str
    if (!resized) {
        PyErr_Clear();
    }
    return resized;
}

/// The one pass over a table that looks ASCII, with the GIL held: no code
/// runs, so nothing it reads can change under it.
class AsciiPass {
  public:
    explicit AsciiPass(PyObject* lists) noexcept
        : lists_(lists), rows_(PySequence_Fast_ITEMS(lists)),
          row_count_(PySequence_Fast_GET_SIZE(lists)) {}

    // Kept out of line: the two passes that follow it are the caller's hot code.
    [[gnu::noinline]] Route run(PyObject*& result) noexcept {
        std::size_t capacity = 0;
        const Route planned = plan(capacity);
        if (planned != Route::written) {
            return planned;
        }
        document_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity), 0x7F));
        if (!document_) {
            PyErr_Clear(); // the general writer meets the shortage and reports it where it does
            return Route::general;
        }
        auto* const start = static_cast<std::uint8_t*>(PyUnicode_DATA(document_.get()));
        const ShortPrefixes<std::uint8_t> prefixes(digits_);
        std::uint8_t* const end = start + capacity;
        std::uint8_t* to = start;
        for (Py_ssize_t r = 0; r < row_count_; ++r) {
            std::uint8_t* const row_start = to;
            // Room for a row terminator and the fixed moves of a short leaf.
            if (end - to < slack) [[unlikely]] {
                return finish_exact(r, static_cast<std::size_t>(row_start - start), result);
            }
            PyObject* const* items = PySequence_Fast_ITEMS(rows_[r]);
            const Py_ssize_t item_count = PySequence_Fast_GET_SIZE(rows_[r]);
            for (Py_ssize_t k = 0; k < item_count; ++k) {
                to = leaf(items[k], prefixes, to, end);
                if (to == nullptr) [[unlikely]] {
                    if (!PyUnicode_Check(items[k])) {
                        return Route::general;
                    }
                    return finish_exact(r, static_cast<std::size_t>(row_start - start), result);
                }
            }
            *to++ = static_cast<std::uint8_t>(rules::row_terminator);
        }
        const auto units = static_cast<std::size_t>(to - start);
        *to = 0; // where the fixed moves left other bytes
        if (!resize_document(document_, units)) {
            return Route::general;
        }
        result = document_.release();
        return Route::written;
    }

  private:
    // Room that a short leaf needs past its own units: the fixed moves write
    // a 4-unit length field and an 8-unit word. It also holds a row terminator.
    static constexpr std::ptrdiff_t slack = 32;

    // Decides from a sample of the rows, then from all of them, and sizes
    // the document: the leaves of the sampled rows times the leaves of the
    // table over those sampled, with a little to spare. It never exceeds the
    // smallest document such a table can have by more than 8 units a leaf.
    // The sample comes first, so that a table that is not ASCII costs little.
    Route plan(std::size_t& capacity) noexcept {
        Shape sample;
        std::size_t sampled_leaves = 0;
        const Py_ssize_t step = std::max(least_sample_step, row_count_ / sampled_rows);
        for (Py_ssize_t r = 0; r < row_count_; r += step) {
            if (!measure_row(sample, rows_[r])) {
                return Route::general;
            }
            sampled_leaves += static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows_[r]));
        }
        if (sample.non_ascii() != 0 || sample.kinds() > PyUnicode_1BYTE_KIND) {
            return Route::two_passes;
        }
        std::size_t leaves = 0;
        for (Py_ssize_t r = 0; r < row_count_; ++r) {
            if (!is_exact_sequence(rows_[r])) {
                return Route::general;
            }
            leaves += static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows_[r]));
        }
        if (leaves < one_pass_min_leaves) {
            return Route::two_passes;
        }
        leaves_ = leaves;
        Ref hex_held;
        PyObject* hex = current_hex(hex_held);
        if (hex == nullptr) {
            return Route::two_passes;
        }
        digits_ = ascii_width_digits(hex);
        if (digits_.counts < 2) { // a short length field takes up to two digits
            return Route::two_passes;
        }
        const auto rows = static_cast<std::size_t>(row_count_);
        const double least =
            static_cast<double>(rows + 2 * leaves); // a leaf takes two units or more
        const double most = least + 8.0 * static_cast<double>(leaves);
        double estimate = least;
        if (sampled_leaves != 0) {
            estimate = static_cast<double>(rows) + static_cast<double>(sample.units - sample.rows) *
                                                       static_cast<double>(leaves) /
                                                       static_cast<double>(sampled_leaves);
        }
        estimate = std::clamp(estimate * 1.03 + slack, least + slack, most);
        capacity = static_cast<std::size_t>(estimate);
        return Route::written;
    }

    // Writes one leaf at `to`: the end of what it wrote, or null for a leaf
    // that is not compact ASCII, needs a width digit that HEX does not give
    // as ASCII, or does not fit before `end`. The same moves as the write
    // pass's leaf_at, written out here: calling that one reads its end and
    // tables through a struct that every byte store may alias, and cost 7
    // instructions a leaf (47.6 against 55.0).
    std::uint8_t* leaf(PyObject* v, const ShortPrefixes<std::uint8_t>& prefixes, std::uint8_t* to,
                       const std::uint8_t* end) const noexcept {
        // A str subclass (which keeps its characters apart) and every other
        // object take the exact route: a compact ASCII str is what this writes.
        const std::uint32_t wanted = state_bits.kind_one | state_bits.ascii | state_bits.compact;
        if (!PyUnicode_CheckExact(v) ||
            (state_word(v) & (state_bits.kinds | state_bits.ascii | state_bits.compact)) != wanted)
            [[unlikely]] {
            return nullptr;
        }
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        const auto* data = static_cast<const std::uint8_t*>(PyUnicode_DATA(v));
        const auto room = static_cast<std::size_t>(end - to);
        if (n < prefixes.size.size() && room >= n + slack) [[likely]] {
            std::memcpy(to, prefixes.units[n].data(), sizeof(prefixes.units[n]));
            to += prefixes.size[n];
            if (n <= rules::tail_word_units<std::uint8_t>) {
                return rules::copy_tail_word(data, n, to);
            }
            copy_bytes(data, n, to);
            return to + n;
        }
        const int count = rules::decimal_digit_count(n);
        if (count > digits_.counts || room < n + slack + static_cast<std::size_t>(count)) {
            return nullptr;
        }
        to = rules::write_length_prefix(
            static_cast<std::uint8_t>(digits_.of_count[static_cast<std::size_t>(count)]), n, count,
            to);
        copy_bytes(data, n, to);
        return to + n;
    }

    // Measures the rows from `first` on, where the one pass stopped after
    // `done` units, and writes them by the two passes: into the same
    // document, resized, if they are ASCII too, or else into a new one of
    // their width, which takes the units already written first. Leaves the
    // whole table to the two passes where that copy would cost too much memory.
    Route finish_exact(Py_ssize_t first, std::size_t done, PyObject*& result) noexcept {
        Shape rest;
        for (Py_ssize_t r = first; r < row_count_; ++r) {
            if (!measure_row(rest, rows_[r])) {
                return Route::general;
            }
        }
        Ref hex_held;
        WidthDigits digits;
        const bool has_leaves = rest.units != rest.rows;
        if (has_leaves && !take_width_digits(rest, hex_held, digits)) {
            return Route::general;
        }
        const std::size_t units = done + rest.units;
        const Py_UCS4 widest = widest_of(rest.kinds(), rest.non_ascii());
        if (widest <= 0x7F) {
            if (!resize_document(document_, units)) {
                return Route::general;
            }
            write_rows_from<std::uint8_t>(lists_, first, digits, document_.get(), done);
            result = document_.release();
            return Route::written;
        }
        // What was written lives beside the wider document until it is
        // copied. Where it is more than 8 bytes a leaf, the two passes start
        // over instead (the caller frees it first), so that no call holds
        // more than that beyond its document.
        if (done > 8 * leaves_) {
            return Route::two_passes;
        }
        // Cut to what was written before a second document exists beside it.
        (void)resize_document(document_, done);
        Ref wider = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(units), widest));
        if (!wider) {
            PyErr_Clear();
            return Route::general;
        }
        // A copy into a new str of a wide enough kind cannot fail.
        (void)PyUnicode_CopyCharacters(wider.get(), 0, document_.get(), 0,
                                       static_cast<Py_ssize_t>(done));
        switch (PyUnicode_KIND(wider.get())) {
        case PyUnicode_1BYTE_KIND:
            write_rows_from<std::uint8_t>(lists_, first, digits, wider.get(), done);
            break;
        case PyUnicode_2BYTE_KIND:
            write_rows_from<std::uint16_t>(lists_, first, digits, wider.get(), done);
            break;
        default:
            write_rows_from<std::uint32_t>(lists_, first, digits, wider.get(), done);
            break;
        }
        result = wider.release();
        return Route::written;
    }

    PyObject* lists_;
    PyObject* const* rows_;
    Py_ssize_t row_count_;
    WidthDigits digits_;
    std::size_t leaves_ = 0;
    Ref document_;
};

} // namespace

PyObject* stringify_presized(PyObject* lists) noexcept {
    if constexpr (!free_threaded_paths) {
        if (!is_exact_sequence(lists)) {
            return nullptr;
        }
        PyObject* document = nullptr;
        switch (AsciiPass(lists).run(document)) {
        case Route::written:
            return document;
        case Route::general:
            return nullptr;
        case Route::two_passes:
            break;
        }
    }
    Shape shape;
    if (!measure_table(lists, shape)) {
        return nullptr;
    }
    if (shape.units == 0) {
        return Py_NewRef(state.str(S::empty));
    }
    Ref hex_held;
    WidthDigits digits;
    // A table of empty rows writes no width digit and never looks HEX up.
    const bool has_leaves = shape.units != shape.rows;
    if (has_leaves && !take_width_digits(shape, hex_held, digits)) {
        return nullptr;
    }
    Ref document = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.units),
                                            widest_of(shape.kinds(), shape.non_ascii())));
    if (!document) {
        PyErr_Clear(); // the general writer meets the shortage and reports it where it does
        return nullptr;
    }
    bool written = false;
    switch (PyUnicode_KIND(document.get())) {
    case PyUnicode_1BYTE_KIND:
        written = write_table<std::uint8_t>(lists, shape, digits, document.get());
        break;
    case PyUnicode_2BYTE_KIND:
        written = write_table<std::uint16_t>(lists, shape, digits, document.get());
        break;
    default:
        written = write_table<std::uint32_t>(lists, shape, digits, document.get());
        break;
    }
    return written ? document.release() : nullptr;
}

} // namespace dwex
