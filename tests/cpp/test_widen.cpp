// Widening kernels against their scalar twins: every length around the
// vector widths, every alignment of both ends, nothing written outside.
#include "codec/widen.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using dwex::rules::copy_tail_word;
using dwex::rules::tail_word_units;
using dwex::rules::widen;
using dwex::rules::widen_scalar;

template <typename Pair> class Widen : public ::testing::Test {};
using Pairs = ::testing::Types<std::pair<std::uint8_t, std::uint16_t>,
                               std::pair<std::uint8_t, std::uint32_t>,
                               std::pair<std::uint16_t, std::uint32_t>>;
TYPED_TEST_SUITE(Widen, Pairs);

TYPED_TEST(Widen, MatchesTheScalarTwinAtEveryLengthAndAlignment) {
    using In = typename TypeParam::first_type;
    using Out = typename TypeParam::second_type;
    constexpr std::size_t pad = 16;
    constexpr Out sentinel = 0x5A5A;
    for (std::size_t n = 0; n <= 70; ++n) {
        for (std::size_t from_at = 0; from_at < 16; ++from_at) {
            for (std::size_t to_at = 0; to_at < 4; ++to_at) {
                std::vector<In> from(from_at + n);
                for (std::size_t k = 0; k < from.size(); ++k) {
                    // Every bit pattern of the top byte, so no sign can leak in.
                    from[k] = static_cast<In>((k * 0x9E3779B9u) >> (32 - 8 * sizeof(In)));
                }
                std::vector<Out> want(pad + n + pad, sentinel);
                std::vector<Out> got(pad + to_at + n + pad, sentinel);
                widen_scalar(from.data() + from_at, n, want.data() + pad);
                Out* end = widen(from.data() + from_at, n, got.data() + pad + to_at);
                ASSERT_EQ(end, got.data() + pad + to_at + n);
                for (std::size_t k = 0; k < pad + to_at; ++k) {
                    ASSERT_EQ(got[k], sentinel) << "wrote before, n=" << n;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    ASSERT_EQ(got[pad + to_at + k], want[pad + k]) << "n=" << n << " k=" << k;
                }
                for (std::size_t k = pad + to_at + n; k < got.size(); ++k) {
                    ASSERT_EQ(got[k], sentinel) << "wrote after, n=" << n;
                }
            }
        }
    }
}

template <typename Pair> class TailWord : public ::testing::Test {};
using TailPairs = ::testing::Types<std::pair<std::uint8_t, std::uint8_t>,
                                   std::pair<std::uint16_t, std::uint16_t>,
                                   std::pair<std::uint32_t, std::uint32_t>,
                                   std::pair<std::uint8_t, std::uint16_t>,
                                   std::pair<std::uint8_t, std::uint32_t>,
                                   std::pair<std::uint16_t, std::uint32_t>>;
TYPED_TEST_SUITE(TailWord, TailPairs);

// The word ends where the content ends and reaches back into what precedes
// it (a str's header): the first n units come out right at every length and
// alignment, and nothing is written past the word's units.
TYPED_TEST(TailWord, CopiesTheContentThatEndsTheWord) {
    using In = typename TypeParam::first_type;
    using Out = typename TypeParam::second_type;
    constexpr std::size_t word = tail_word_units<In>;
    constexpr Out sentinel = 0x5A;
    for (std::size_t n = 0; n <= word; ++n) {
        for (std::size_t from_at = word; from_at < word + 8; ++from_at) {
            std::vector<In> from(from_at + n);
            for (std::size_t k = 0; k < from.size(); ++k) {
                from[k] = static_cast<In>((k * 0x9E3779B9u) >> (32 - 8 * sizeof(In)));
            }
            for (std::size_t to_at = 0; to_at < 4; ++to_at) {
                std::vector<Out> got(to_at + word + 8, sentinel);
                Out* end = copy_tail_word(from.data() + from_at, n, got.data() + to_at);
                ASSERT_EQ(end, got.data() + to_at + n);
                for (std::size_t k = 0; k < to_at; ++k) {
                    ASSERT_EQ(got[k], sentinel) << "wrote before, n=" << n;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    ASSERT_EQ(got[to_at + k], static_cast<Out>(from[from_at + k])) << "n=" << n;
                }
                for (std::size_t k = to_at + word; k < got.size(); ++k) {
                    ASSERT_EQ(got[k], sentinel) << "wrote past the word, n=" << n;
                }
            }
        }
    }
}

} // namespace
