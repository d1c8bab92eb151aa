// split_check.hpp: the splitter's result in a form to compare, shared by its
// unit tests and its fuzz target: the rows read, the fault with its absolute
// UTF-16 position and row, against one reader going through the document.
#ifndef DWEX_TESTS_SPLIT_CHECK_HPP
#define DWEX_TESTS_SPLIT_CHECK_HPP

#include "core/split.hpp"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

namespace dwex::split_check {

/// Keeps each row's leaves as strings.
struct RowsSink {
    std::vector<std::vector<std::string>> rows;
    bool row(const std::uint8_t* start, const std::vector<codec::Span>& cells) {
        std::vector<std::string>& out = rows.emplace_back();
        for (const codec::Span& s : cells) {
            out.emplace_back(reinterpret_cast<const char*>(start + s.begin),
                             static_cast<std::size_t>(s.end - s.begin));
        }
        return true;
    }
    void reset() { rows.clear(); }
};

struct Outcome {
    std::vector<std::vector<std::string>> rows;
    codec::Row fault;       // only the fields that its stop gives are compared
    std::int64_t units = 0; // before the end or the fault
    std::int64_t end = 0;   // the byte where the row at fault starts
    std::int64_t position = 0;

    friend bool operator==(const Outcome& a, const Outcome& b) {
        if (a.rows != b.rows || a.fault.stop != b.fault.stop || a.units != b.units ||
            a.end != b.end || a.position != b.position) {
            return false;
        }
        switch (a.fault.stop) {
        case codec::RowStop::token:
            return a.fault.code_point == b.fault.code_point;
        case codec::RowStop::invalid_utf8:
            return a.fault.next == b.fault.next;
        default:
            return true;
        }
    }
    friend std::ostream& operator<<(std::ostream& os, const Outcome& o) {
        return os << o.rows.size() << " rows, stop " << static_cast<int>(o.fault.stop)
                  << " at byte " << o.end << ", position " << o.position << ", code point "
                  << o.fault.code_point << ", " << o.units << " units";
    }
};

inline const std::uint8_t* bytes(const std::string& doc) {
    return reinterpret_cast<const std::uint8_t*>(doc.data());
}

inline codec::Window whole(const std::string& doc) {
    return codec::Window{bytes(doc), static_cast<std::int64_t>(doc.size()), 0, true, true};
}

/// The rows of the counted stretches, and the fault of the last, after
/// `before` (an outcome read up to where this read starts).
inline Outcome joined(Outcome before, const codec::SplitRead& read,
                      const std::vector<RowsSink>& sinks) {
    for (std::size_t k = 0; k < read.parts.size(); ++k) {
        before.rows.insert(before.rows.end(), sinks[k].rows.begin(), sinks[k].rows.end());
    }
    const std::int64_t units = before.units + read.units;
    before.units = units;
    before.fault = read.parts.empty() ? codec::Row{} : read.parts.back().fault;
    before.end = read.end;
    before.position =
        before.fault.stop == codec::RowStop::token ? units + before.fault.position : 0;
    return before;
}

/// Reads the window from the stretch starts given, which need not be row
/// starts, with the policy `wrong`.
template <typename Run = std::decay_t<decltype(codec::in_turn)>>
codec::SplitRead read_from(const codec::Window& w, const std::vector<std::int64_t>& starts,
                           std::vector<RowsSink>& sinks, codec::WrongGuess wrong,
                           const Run& run = codec::in_turn) {
    sinks.assign(starts.size(), RowsSink{});
    return codec::read_stretches(w, starts, sinks, wrong, run, codec::count_all);
}

/// Reads the whole document from the stretch starts given, each wrong guess
/// read again, as a document in memory is read.
template <typename Run = std::decay_t<decltype(codec::in_turn)>>
Outcome read_split(const std::string& doc, const std::vector<std::int64_t>& starts,
                   const Run& run = codec::in_turn) {
    std::vector<RowsSink> sinks;
    const codec::SplitRead read =
        read_from(whole(doc), starts, sinks, codec::WrongGuess::read_again, run);
    return joined(Outcome{}, read, sinks);
}

/// One reader through the whole document.
inline Outcome read_alone(const std::string& doc) { return read_split(doc, {0}); }

/// Reads from guessed stretch starts.
template <typename Run = std::decay_t<decltype(codec::in_turn)>>
Outcome read_guessed(const std::string& doc, std::int64_t stretches, const codec::GuessRule& rule,
                     const Run& run = codec::in_turn) {
    const codec::SplitPolicy policy{rule, stretches, codec::WrongGuess::read_again};
    return read_split(doc, codec::stretch_starts(whole(doc), policy, run), run);
}

/// As the threaded Arrow reader reads a file: the window of its first
/// `window` bytes (a window that ends before the document does not know
/// its end) split from guesses, stopping at the first wrong one, then one
/// reader from where the counted stretches end.
inline Outcome read_windowed(const std::string& doc, std::int64_t window,
                             const codec::SplitPolicy& policy) {
    const auto size = static_cast<std::int64_t>(doc.size());
    const std::int64_t length = std::min(std::max<std::int64_t>(window, 0), size);
    const codec::Window first{bytes(doc), length, 0, length == size, true};
    std::vector<RowsSink> sinks;
    const codec::SplitRead read =
        read_from(first, codec::stretch_starts(first, policy, codec::in_turn), sinks,
                  codec::WrongGuess::stop);
    Outcome before = joined(Outcome{}, read, sinks);
    if (!read.ok() || read.end < size) {
        codec::Window rest = whole(doc);
        rest.begin = read.end;
        // The reader knows what it has read: a code point above U+FFFF there
        // puts the document's end under the wide rule.
        rest.narrow_end = std::none_of(read.parts.begin(), read.parts.end(),
                                       [](const codec::Reach& part) { return part.astral; });
        const codec::SplitRead after = read_from(rest, {read.end}, sinks, codec::WrongGuess::stop);
        before = joined(std::move(before), after, sinks);
    }
    return before;
}

} // namespace dwex::split_check

#endif
