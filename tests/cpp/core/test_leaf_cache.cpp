// The leaf cache's rules: when it starts, when it switches off, and which
// leaves go through it.
#include "core/leaf_cache.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace dwex::codec {
/// The tests' view of the cache's state, which nothing else reads.
struct CacheInspector {
    template <typename Cache> static auto state(const Cache& cache) { return cache.state_; }
};
} // namespace dwex::codec

namespace {

using Cache = dwex::codec::LeafCache<std::uint8_t, int>;
using State = Cache::State;

/// A run of candidate leaves, of which one in `hit_every` repeats an earlier
/// leaf (0: none does), then the state the cache is left in.
struct CacheCase {
    const char* name;
    std::uint32_t leaves;
    std::uint32_t hit_every;
    State state;
    bool some_hits;
};

class CacheRules : public ::testing::TestWithParam<CacheCase> {};

TEST_P(CacheRules, SwitchesOnAndOffByItsRules) {
    const CacheCase& c = GetParam();
    constexpr auto warm_up = dwex::codec::CacheRules::warm_up;
    // Distinct 4-byte leaves, each its own place in the document; a repeat is
    // a copy, elsewhere, of the first leaf looked up after the warm-up.
    std::vector<std::uint8_t> doc(static_cast<std::size_t>(c.leaves) * 4);
    for (std::uint32_t k = 0; k < c.leaves; ++k) {
        const bool repeat = c.hit_every != 0 && k > warm_up && k % c.hit_every == 0;
        const std::uint32_t v = repeat ? warm_up : k;
        for (int b = 0; b < 4; ++b) {
            doc[k * 4 + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(v >> (8 * b));
        }
    }
    Cache cache(static_cast<std::int64_t>(doc.size()));
    std::uint32_t hits = 0;
    int next = 0;
    for (std::uint32_t k = 0; k < c.leaves; ++k) {
        const std::uint8_t* p = doc.data() + k * 4;
        ASSERT_TRUE(Cache::candidate(4));
        const Cache::Probe probe = cache.lookup(p, 4);
        if (k < warm_up) {
            ASSERT_EQ(probe.slot, nullptr) << "looked up while warming, k=" << k;
        }
        if (probe.hit != 0) {
            ++hits;
        } else if (probe.slot != nullptr) {
            (void)cache.fill(probe.slot, p, 4, ++next);
        }
    }
    EXPECT_EQ(dwex::codec::CacheInspector::state(cache), c.state);
    EXPECT_EQ(hits > 0, c.some_hits);
    int held = 0;
    cache.for_each_value([&held](int) { ++held; });
    EXPECT_EQ(held > 0, c.state != State::warming);
}

// The cache starts at the first candidate after the warm-up; at the end of
// each window of lookups the hit rate decides whether it goes on.
constexpr std::uint32_t warm = dwex::codec::CacheRules::warm_up;
constexpr std::uint32_t window = dwex::codec::CacheRules::window;
INSTANTIATE_TEST_SUITE_P(
    Leaves, CacheRules,
    ::testing::Values(CacheCase{"small_document_never_starts", warm, 2, State::warming, false},
                      CacheCase{"starts_after_the_warm_up", warm + 10, 0, State::on, false},
                      CacheCase{"no_repeats_switch_off", warm + window + 2, 0, State::off, false},
                      CacheCase{"one_in_four_stays_on", warm + 3 * window, 4, State::on, true},
                      CacheCase{"one_in_five_stays_on", warm + 3 * window, 5, State::on, true},
                      CacheCase{"one_in_nine_switches_off", warm + 3 * window, 9, State::off,
                                true}),
    [](const ::testing::TestParamInfo<CacheCase>& p) { return std::string(p.param.name); });

TEST(CacheRules, CandidatesAreShortLeavesOfTwoBytesOrMore) {
    using Wide = dwex::codec::LeafCache<std::uint16_t, int>;
    EXPECT_FALSE(Cache::candidate(1)); // a byte: the interpreter's own str
    EXPECT_TRUE(Cache::candidate(2));
    EXPECT_TRUE(Cache::candidate(16));
    EXPECT_FALSE(Cache::candidate(17));
    EXPECT_TRUE(Wide::candidate(1));
    EXPECT_TRUE(Wide::candidate(16));
    EXPECT_FALSE(Wide::candidate(17));
    EXPECT_EQ(dwex::codec::cache_slots(0), dwex::codec::CacheRules::min_slots);
    EXPECT_EQ(dwex::codec::cache_slots(std::int64_t{1} << 40), dwex::codec::CacheRules::max_slots);
    EXPECT_EQ(dwex::codec::cache_slots(256 * 1000), 1024u);
}

} // namespace
