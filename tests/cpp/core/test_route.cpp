// The writer that stringify picks for a table of exact lists of ASCII str, at
// and around each of the planner's thresholds, and the size of the one-pass
// document: never below the smallest document the table can have, never
// more than the spare room a leaf allows beyond it.
#include "core/route_plan.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

namespace {

using dwex::route::OnePassPlan;
using dwex::route::plan_one_pass;
using dwex::route::Route;
using dwex::route::Sample;
namespace route = dwex::route;

constexpr std::size_t slack = 32;
constexpr std::size_t min_leaves = route::one_pass_min_leaves;
constexpr int min_counts = route::one_pass_min_digit_counts;

struct StepCase {
    const char* name;
    std::ptrdiff_t rows;
    std::ptrdiff_t step;
};

class SampleStep : public ::testing::TestWithParam<StepCase> {};

TEST_P(SampleStep, SpreadsTheSampleOverTheTable) {
    EXPECT_EQ(route::sample_step(GetParam().rows), GetParam().step);
}

constexpr std::ptrdiff_t spread = route::sampled_rows * route::least_sample_step;
INSTANTIATE_TEST_SUITE_P(
    Rows, SampleStep,
    ::testing::Values(StepCase{"empty", 0, route::least_sample_step},
                      StepCase{"one_row", 1, route::least_sample_step},
                      StepCase{"below_the_spread", spread - 1, route::least_sample_step},
                      StepCase{"at_the_spread", spread, route::least_sample_step},
                      StepCase{"one_step_more", spread + route::sampled_rows,
                               route::least_sample_step + 1},
                      StepCase{"large", route::sampled_rows * 1000, 1000}),
    [](const ::testing::TestParamInfo<StepCase>& p) { return std::string(p.param.name); });

struct RouteCase {
    const char* name;
    std::size_t leaves;
    int digit_counts;
    Route route;
};

class OnePassThresholds : public ::testing::TestWithParam<RouteCase> {};

TEST_P(OnePassThresholds, PicksTheWriter) {
    const RouteCase& c = GetParam();
    const Sample sample{3 * 10 + 1, 1, 10}; // one row of ten 3-character items
    const OnePassPlan plan = plan_one_pass(c.leaves / 10, c.leaves, c.digit_counts, sample, slack);
    EXPECT_EQ(plan.route, c.route);
    if (plan.route == Route::two_passes) {
        EXPECT_EQ(plan.capacity, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, OnePassThresholds,
    ::testing::Values(RouteCase{"no_leaves", 0, min_counts, Route::two_passes},
                      RouteCase{"one_leaf_too_few", min_leaves - 1, min_counts, Route::two_passes},
                      RouteCase{"just_enough_leaves", min_leaves, min_counts, Route::one_pass},
                      RouteCase{"many_leaves", 1000 * min_leaves, min_counts, Route::one_pass},
                      RouteCase{"no_ascii_width_digit", min_leaves, 0, Route::two_passes},
                      RouteCase{"one_digit_count_short", min_leaves, min_counts - 1,
                                Route::two_passes},
                      RouteCase{"every_digit_count", min_leaves, 16, Route::one_pass}),
    [](const ::testing::TestParamInfo<RouteCase>& p) { return std::string(p.param.name); });

/// A table of `rows` rows of `width` leaves of `length` characters each (so
/// an item of 2 + length characters while length < 10), of which the sample
/// saw `sampled_rows` rows.
struct SizeCase {
    const char* name;
    std::size_t rows;
    std::size_t width;
    std::size_t sampled_rows;
    std::size_t sampled_length; // the sample's leaves' length
    std::size_t length;         // every other leaf's length
};

class OnePassCapacity : public ::testing::TestWithParam<SizeCase> {};

TEST_P(OnePassCapacity, StaysWithinItsBounds) {
    const SizeCase& c = GetParam();
    const std::size_t leaves = c.rows * c.width;
    const std::size_t sampled_leaves = c.sampled_rows * c.width;
    const Sample sample{c.sampled_rows * (1 + c.width * (2 + c.sampled_length)), c.sampled_rows,
                        sampled_leaves};
    const OnePassPlan plan = plan_one_pass(c.rows, leaves, min_counts, sample, slack);
    ASSERT_EQ(plan.route, Route::one_pass);

    const std::size_t least = c.rows + 2 * leaves;
    const std::size_t most = least + route::spare_units_per_leaf * leaves;
    EXPECT_GE(plan.capacity, least + slack);
    EXPECT_LE(plan.capacity, most);
    const double estimate =
        sampled_leaves == 0
            ? static_cast<double>(least)
            : static_cast<double>(c.rows) + static_cast<double>(sample.units - sample.rows) *
                                                static_cast<double>(leaves) /
                                                static_cast<double>(sampled_leaves);
    const double wanted = estimate * route::estimate_margin + static_cast<double>(slack);
    if (wanted > static_cast<double>(least + slack) && wanted < static_cast<double>(most)) {
        EXPECT_EQ(plan.capacity, static_cast<std::size_t>(wanted));
    }
    // A table like its sample fits the document with the margin to spare.
    if (c.length == c.sampled_length && c.sampled_length <= route::spare_units_per_leaf - 2) {
        EXPECT_GE(plan.capacity, c.rows * (1 + c.width * (2 + c.length)) + slack);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, OnePassCapacity,
    ::testing::Values(
        // Empty leaves: the estimate is the smallest document, plus the margin.
        SizeCase{"empty_leaves", 100, 3, 13, 0, 0}, SizeCase{"like_the_sample", 1000, 4, 32, 5, 5},
        SizeCase{"shorter_than_the_sample", 1000, 4, 32, 6, 1},
        // Long sampled leaves: capped at the spare room a leaf allows.
        SizeCase{"capped_by_the_spare_room", 1000, 4, 32, 9, 9},
        SizeCase{"rows_of_no_leaves_sampled", 300, 1, 0, 0, 3},
        SizeCase{"one_wide_row", 1, min_leaves, 1, 4, 4}),
    [](const ::testing::TestParamInfo<SizeCase>& p) { return std::string(p.param.name); });

} // namespace
