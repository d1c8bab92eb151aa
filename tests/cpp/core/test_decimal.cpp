// The length prefix as written into a document: width digit, then the
// shortest decimal text, at every width and around every power of ten; and
// the table of short prefixes, which must hold exactly what the writer writes.
#include "core/decimal.hpp"
#include "core/format.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace dwex::format;

template <typename U> class LengthPrefix : public ::testing::Test {};
using CodeUnits = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(LengthPrefix, CodeUnits);

std::vector<std::uint64_t> lengths() {
    std::vector<std::uint64_t> out;
    for (std::uint64_t n = 0; n <= 1000; ++n) {
        out.push_back(n);
    }
    for (std::uint64_t power = 1000; power <= 10000000000000000000u / 10; power *= 10) {
        out.insert(out.end(), {power * 10 - 1, power * 10, power * 10 + 1, power * 7 + 3});
    }
    out.push_back(~std::uint64_t{0});
    return out;
}

TYPED_TEST(LengthPrefix, WidthDigitThenShortestDecimalText) {
    using U = TypeParam;
    for (const std::uint64_t n : lengths()) {
        const std::string text = std::to_string(n);
        const int count = decimal_digit_count(n);
        ASSERT_EQ(static_cast<std::size_t>(count), text.size()) << n;
        std::vector<U> out(24, U{'#'});
        U* end = write_length_prefix(U{'w'}, n, count, out.data() + 1);
        ASSERT_EQ(end, out.data() + 2 + count) << n;
        EXPECT_EQ(out[0], U{'#'});
        EXPECT_EQ(out[1], U{'w'});
        for (std::size_t k = 0; k < text.size(); ++k) {
            ASSERT_EQ(out[2 + k], static_cast<U>(text[k])) << n;
        }
        for (std::size_t k = 2 + text.size(); k < out.size(); ++k) {
            ASSERT_EQ(out[k], U{'#'}) << n;
        }
    }
}

/// Width digits for 1 to `counts` length digits, as the writers take them.
struct Digits {
    std::array<std::uint32_t, max_length_digits + 1> of_count{0, 'x', 0x101, 0x10000};
    int counts;
};

TYPED_TEST(LengthPrefix, ShortPrefixesHoldWhatTheWriterWrites) {
    using U = TypeParam;
    for (const int counts : {0, 1, 2, 3}) {
        const ShortPrefixes<U> table{Digits{.counts = counts}};
        for (std::uint64_t n = 0; n < ShortPrefixes<U>::lengths; ++n) {
            const int count = decimal_digit_count(n);
            if (count > counts) {
                ASSERT_EQ(table.size[n], 0) << "counts=" << counts << " n=" << n;
                continue;
            }
            std::array<U, ShortPrefixes<U>::slot_units> want{};
            const auto digit = static_cast<U>(Digits{}.of_count[static_cast<std::size_t>(count)]);
            const U* end = write_length_prefix(digit, n, count, want.data());
            ASSERT_EQ(table.size[n], end - want.data()) << "counts=" << counts << " n=" << n;
            ASSERT_EQ(table.units[n], want) << "counts=" << counts << " n=" << n;
        }
    }
}

} // namespace
