// split_check.hpp: the splitter's result in a form to compare, shared by its
// unit tests and its fuzz target: the rows read, the fault with its absolute
// UTF-16 position and row, against one reader going through the document.
#ifndef DWEX_TESTS_SPLIT_CHECK_HPP
#define DWEX_TESTS_SPLIT_CHECK_HPP

#include "core/split.hpp"

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

/// Reads from the stretch starts given, which need not be row starts.
template <typename Run = std::decay_t<decltype(codec::in_turn)>>
Outcome read_split(const std::string& doc, const std::vector<std::int64_t>& starts,
                   const Run& run = codec::in_turn) {
    std::vector<RowsSink> sinks(starts.size());
    const codec::SplitRead read = codec::read_stretches(
        bytes(doc), static_cast<std::int64_t>(doc.size()), starts, sinks, run);
    Outcome out;
    for (std::size_t k = 0; k < read.parts.size(); ++k) {
        out.rows.insert(out.rows.end(), sinks[k].rows.begin(), sinks[k].rows.end());
    }
    out.units = read.units;
    if (!read.parts.empty()) {
        out.fault = read.parts.back().fault;
        out.end = read.parts.back().end;
    }
    out.position = out.fault.stop == codec::RowStop::token ? read.units + out.fault.position : 0;
    return out;
}

/// One reader through the whole document.
inline Outcome read_alone(const std::string& doc) { return read_split(doc, {0}); }

/// Reads from guessed stretch starts.
template <typename Run = std::decay_t<decltype(codec::in_turn)>>
Outcome read_guessed(const std::string& doc, std::int64_t stretches, const codec::GuessRule& rule,
                     const Run& run = codec::in_turn) {
    return read_split(doc,
                      codec::stretch_starts(bytes(doc), static_cast<std::int64_t>(doc.size()),
                                            stretches, rule, run),
                      run);
}

} // namespace dwex::split_check

#endif
