// route.cpp: the one place that decides how stringify writes a table, and why.
//
//   general     Any table or row that is not an exact list or tuple, and any
//               leaf that is not a str: iterating them or calling str() runs
//               Python code, whose effects must come in order, leaf by leaf,
//               so the general writer (serializer.cpp) walks the table once,
//               observably, into a growing buffer.
//   two passes  A table of exact lists or tuples of str whose sample is not
//               all ASCII, or that is small, or every table on the
//               free-threaded build: walking it runs no code, so a measure
//               of every leaf cannot be observed; the document is then made
//               once at its exact size and storage width and written once
//               (two_pass.cpp). On the free-threaded build the write
//               recounts, since another thread may change a list between
//               the passes, and leaves a changed table to the general writer.
//   one pass    A large table whose sampled rows are ASCII, with the GIL
//               held: each leaf is read once into a document sized from the
//               sample (one_pass.cpp), the rows from the first leaf that does
//               not fit on measured and written after it, in place.
//
// No table is written twice: a route either writes all of it or hands the
// general writer the rows it has not written.
#include "codec/route.hpp"

#include "codec/leaf_writer.hpp"
#include "codec/table_shape.hpp"
#include "codec/two_pass.hpp"
#include "threads.hpp"

#include <algorithm>

namespace dwex {
namespace {

enum class Route : std::uint8_t { general, two_passes, one_pass };

struct Plan {
    Route route = Route::general;
    WidthDigits digits{};     // for the one pass
    std::size_t capacity = 0; // the one pass's document, in characters
};

// The rows measured to size a one-pass document, spread evenly over the
// table; in a small table, one row in 8 at most.
constexpr Py_ssize_t sampled_rows = 32;
constexpr Py_ssize_t least_sample_step = 8;
// Below this many leaves the two passes run within the cache: one pass gains
// nothing there, and would pay a resize.
constexpr std::size_t one_pass_min_leaves = 256;
// What the one pass's document holds beyond the sample's estimate: a share,
// and room for the fixed moves of its last leaf. Either way it is never more
// than this many characters a leaf beyond the smallest document that such a
// table can have (a leaf takes two characters or more).
constexpr double estimate_margin = 1.03;
constexpr std::size_t spare_units_per_leaf = 8;

Plan plan_route(PyObject* lists) noexcept {
    if (!is_exact_sequence(lists)) {
        return {Route::general};
    }
    if constexpr (free_threaded_paths) {
        return {Route::two_passes};
    }
    PyObject* const* rows = PySequence_Fast_ITEMS(lists);
    const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(lists);
    // The sample comes first, so that a table that is not ASCII costs little.
    Shape sample;
    std::size_t sampled_leaves = 0;
    const Py_ssize_t step = std::max(least_sample_step, row_count / sampled_rows);
    for (Py_ssize_t r = 0; r < row_count; r += step) {
        if (!measure_row(sample, rows[r])) {
            return {Route::general};
        }
        sampled_leaves += static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows[r]));
    }
    if (sample.non_ascii() != 0 || sample.kinds() > PyUnicode_1BYTE_KIND) {
        return {Route::two_passes};
    }
    std::size_t leaves = 0;
    for (Py_ssize_t r = 0; r < row_count; ++r) {
        if (!is_exact_sequence(rows[r])) {
            return {Route::general};
        }
        leaves += static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows[r]));
    }
    if (leaves < one_pass_min_leaves) {
        return {Route::two_passes};
    }
    Plan plan{Route::one_pass, ascii_width_digits(), 0};
    if (plan.digits.counts < 2) { // a short length field takes up to two digits
        return {Route::two_passes};
    }
    const auto row_units = static_cast<double>(row_count);
    const double least = row_units + 2.0 * static_cast<double>(leaves);
    const double most = least + static_cast<double>(spare_units_per_leaf * leaves);
    double estimate = least;
    if (sampled_leaves != 0) {
        estimate = row_units + static_cast<double>(sample.units - sample.rows) *
                                   static_cast<double>(leaves) /
                                   static_cast<double>(sampled_leaves);
    }
    constexpr auto slack = static_cast<double>(leaf_slack);
    plan.capacity = static_cast<std::size_t>(
        std::clamp(estimate * estimate_margin + slack, least + slack, most));
    return plan;
}

} // namespace

PyObject* stringify_exact(PyObject* lists, GeneralFrom& rest) noexcept {
    Plan plan = plan_route(lists);
    switch (plan.route) {
    case Route::one_pass:
        return write_one_pass(lists, plan.digits, plan.capacity, rest);
    case Route::two_passes:
        return write_two_passes(lists);
    case Route::general:
        break;
    }
    return nullptr;
}

} // namespace dwex
