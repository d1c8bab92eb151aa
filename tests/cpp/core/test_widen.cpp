// Widening kernels against their scalar twins: every length around the
// vector widths, every alignment of both ends, nothing written outside.
#include "core/widen.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

using dwex::simd::copy_tail_word;
using dwex::simd::tail_word_units;
using dwex::simd::widen;
using dwex::simd::widen_in_place;
using dwex::simd::widen_in_place_scalar;
using dwex::simd::widen_scalar;

// Units with every bit pattern of the top byte, so that no sign can leak in.
template <typename In> std::vector<In> patterned(std::size_t size) {
    std::vector<In> units(size);
    for (std::size_t k = 0; k < size; ++k) {
        units[k] = static_cast<In>((k * 0x9E3779B9u) >> (32 - 8 * sizeof(In)));
    }
    return units;
}

template <typename Pair> class Widen : public ::testing::Test {};
using Pairs =
    ::testing::Types<std::pair<std::uint8_t, std::uint16_t>, std::pair<std::uint8_t, std::uint32_t>,
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
                const std::vector<In> from = patterned<In>(from_at + n);
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

// In place, the units move up within one buffer: from a start that lies
// `shift` bytes below the output's (a header that grows). The kernel and its
// twin agree with a copy made aside, and nothing below the output changes.
TYPED_TEST(Widen, InPlaceMatchesACopyAtEveryLengthAndShift) {
    using In = typename TypeParam::first_type;
    using Out = typename TypeParam::second_type;
    for (std::size_t n = 0; n <= 70; ++n) {
        for (std::size_t shift = 0; shift <= 24; shift += 4) {
            const std::vector<In> units = patterned<In>(n);
            std::vector<Out> want(n);
            widen_scalar(units.data(), n, want.data());
            for (const bool kernel : {false, true}) {
                std::vector<std::uint8_t> buffer(shift + n * sizeof(Out) + 8, 0xA5);
                std::memcpy(buffer.data(), units.data(), n * sizeof(In));
                const auto* from = reinterpret_cast<const In*>(buffer.data());
                auto* to = reinterpret_cast<Out*>(buffer.data() + shift);
                if (kernel) {
                    widen_in_place(from, n, to);
                } else {
                    widen_in_place_scalar(from, n, to);
                }
                std::vector<Out> got(n);
                std::memcpy(got.data(), buffer.data() + shift, n * sizeof(Out));
                ASSERT_EQ(got, want) << "n=" << n << " shift=" << shift << " kernel=" << kernel;
                for (std::size_t k = shift + n * sizeof(Out); k < buffer.size(); ++k) {
                    ASSERT_EQ(buffer[k], 0xA5) << "wrote past the end, n=" << n;
                }
            }
        }
    }
}

// The word ends where the content ends and reaches back into what precedes
// it (a str's header): the first n units come out right at every length and
// alignment, and nothing is written past the word's units.
template <typename In, typename Out> void check_tail_word() {
    constexpr std::size_t word = tail_word_units<In>;
    constexpr Out sentinel = 0x5A;
    for (std::size_t n = 0; n <= word; ++n) {
        for (std::size_t from_at = word; from_at < word + 8; ++from_at) {
            const std::vector<In> from = patterned<In>(from_at + n);
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

TEST(TailWord, CopiesTheContentThatEndsTheWordAtEveryWidth) {
    check_tail_word<std::uint8_t, std::uint8_t>();
    check_tail_word<std::uint16_t, std::uint16_t>();
    check_tail_word<std::uint32_t, std::uint32_t>();
    check_tail_word<std::uint8_t, std::uint16_t>();
    check_tail_word<std::uint8_t, std::uint32_t>();
    check_tail_word<std::uint16_t, std::uint32_t>();
}

} // namespace
