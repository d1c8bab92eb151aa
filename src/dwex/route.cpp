// route.cpp: the one place that decides how stringify writes a table, and why
// (the thresholds and the decisions made from them are in route_plan.hpp).
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
// general writer the rows it has not written. The body of stringify, which
// the binding enters, is here.
#include "dwex/codec.hpp"
#include "dwex/serializer.hpp"

#include "core/route_plan.hpp"
#include "dwex/leaf_writer.hpp"
#include "dwex/table_shape.hpp"
#include "dwex/threads.hpp"
#include "dwex/two_pass.hpp"

namespace dwex {
namespace {

using route::Route;

struct Plan {
    Route route = Route::general;
    WidthDigits digits{};     // for the one pass
    std::size_t capacity = 0; // the one pass's document, in characters
};

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
    const Py_ssize_t step = route::sample_step(row_count);
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
    if (leaves < route::one_pass_min_leaves) {
        return {Route::two_passes}; // without looking HEX up
    }
    Plan plan{Route::one_pass, ascii_width_digits(), 0};
    const route::OnePassPlan one_pass =
        route::plan_one_pass(static_cast<std::size_t>(row_count), leaves, plan.digits.counts,
                             {sample.units, sample.rows, sampled_leaves}, leaf_slack);
    plan.route = one_pass.route;
    plan.capacity = one_pass.capacity;
    return plan;
}

} // namespace

PyObject* stringify_body(PyObject* lists) noexcept {
    GeneralFrom rest;
    const Plan plan = plan_route(lists);
    switch (plan.route) {
    case Route::one_pass:
        if (PyObject* document = write_one_pass(lists, plan.digits, plan.capacity, rest)) {
            return document;
        }
        break;
    case Route::two_passes:
        if (PyObject* document = write_two_passes(lists)) {
            return document;
        }
        break;
    case Route::general:
        break;
    }
    return write_general(lists, rest);
}

} // namespace dwex
