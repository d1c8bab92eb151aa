// route_plan.hpp: the thresholds by which stringify picks its writer, and the
// decisions made from them once a table's shape is known (route.cpp reads
// the shape). Interpreter-free, so that the decisions are tested on their own.
#ifndef DWEX_CODEC_ROUTE_PLAN_HPP
#define DWEX_CODEC_ROUTE_PLAN_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace dwex::route {

enum class Route : std::uint8_t { general, two_passes, one_pass };

// The rows measured to size a one-pass document, spread evenly over the
// table; in a small table, one row in 8 at most.
inline constexpr std::ptrdiff_t sampled_rows = 32;
inline constexpr std::ptrdiff_t least_sample_step = 8;
// Below this many leaves the two passes run within the cache: one pass gains
// nothing there, and would pay a resize.
inline constexpr std::size_t one_pass_min_leaves = 256;
// A short length field takes up to two digits: the one pass writes only
// where HEX gives both width digits as ASCII.
inline constexpr int one_pass_min_digit_counts = 2;
// What the one pass's document holds beyond the sample's estimate: a share,
// and room for the fixed moves of its last leaf. Either way it is never more
// than this many characters a leaf beyond the smallest document that such a
// table can have (a leaf takes two characters or more).
inline constexpr double estimate_margin = 1.03;
inline constexpr std::size_t spare_units_per_leaf = 8;

/// The distance between sampled rows in a table of `rows` rows.
constexpr std::ptrdiff_t sample_step(std::ptrdiff_t rows) noexcept {
    return std::max(least_sample_step, rows / sampled_rows);
}

/// What the sampled rows of an ASCII sample measured.
struct Sample {
    std::size_t units = 0; // characters, row terminators included
    std::size_t rows = 0;
    std::size_t leaves = 0;
};

/// A table of exact lists or tuples whose sample is ASCII: one pass, or two.
struct OnePassPlan {
    Route route = Route::two_passes;
    std::size_t capacity = 0; // the one pass's document, in characters
};

/// The writer for such a table of `rows` rows and `leaves` leaves, where HEX
/// gives the width digits of `digit_counts` counts of length digits as
/// ASCII; `slack` is the room that the last leaf's fixed moves take.
constexpr OnePassPlan plan_one_pass(std::size_t rows, std::size_t leaves, int digit_counts,
                                    const Sample& sample, std::size_t slack) noexcept {
    if (leaves < one_pass_min_leaves || digit_counts < one_pass_min_digit_counts) {
        return {};
    }
    const auto row_units = static_cast<double>(rows);
    const double least = row_units + 2.0 * static_cast<double>(leaves);
    const double most = least + static_cast<double>(spare_units_per_leaf * leaves);
    double estimate = least;
    if (sample.leaves != 0) {
        estimate = row_units + static_cast<double>(sample.units - sample.rows) *
                                   static_cast<double>(leaves) / static_cast<double>(sample.leaves);
    }
    const auto room = static_cast<double>(slack);
    return {Route::one_pass, static_cast<std::size_t>(std::clamp(estimate * estimate_margin + room,
                                                                 least + room, most))};
}

} // namespace dwex::route

#endif
