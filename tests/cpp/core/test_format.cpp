// test_format.cpp: the format rules shared by the writer and the reader, at
// every storage width where they take code units.
#include "core/decimal.hpp"
#include "core/format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace dwex::format;

// The hexadecimal alphabet in both cases, spelled out so that the folding trick
// of width_digit_value is checked against the plain definition.
int reference_width_digit(std::uint32_t c) {
    const std::u32string_view lower = U"0123456789abcdef";
    const std::u32string_view upper = U"0123456789ABCDEF";
    for (std::size_t k = 0; k < lower.size(); ++k) {
        if (c == lower[k] || c == upper[k]) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

TEST(WidthDigit, MatchesTheAlphabetOverEveryCodePoint) {
    for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
        ASSERT_EQ(width_digit_value(c), reference_width_digit(c)) << "code point " << c;
    }
}

TEST(WidthDigit, RejectsValuesBeyondUnicode) {
    // A 32-bit unit can hold anything; clearing bit 0x20 must not fold these in.
    for (std::uint32_t c : {0x110000u, 0x10041u, 0x10061u, 0x10030u, 0xFFFFFFFFu, 0x80000030u,
                            0x80000041u, 0xFFFFFFC1u}) {
        EXPECT_EQ(width_digit_value(c), reference_width_digit(c)) << "value " << c;
    }
}

TEST(DecimalDigit, OnlyZeroToNine) {
    for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
        ASSERT_EQ(is_decimal_digit(c), c >= U'0' && c <= U'9') << "code point " << c;
    }
    EXPECT_FALSE(is_decimal_digit(0xFFFFFFFFu));
    EXPECT_FALSE(is_decimal_digit(0x80000035u));
}

struct LengthCase {
    std::uint64_t n;
    std::string_view text;
};

class LengthFieldTest : public testing::TestWithParam<LengthCase> {};

/// The text that the length field's writer gives for `n`.
std::string written_digits(std::uint64_t n) {
    std::vector<std::uint8_t> text(24, '#');
    const std::uint8_t* end = write_digits(n, decimal_digit_count(n), text.data());
    return std::string(text.begin(), text.begin() + (end - text.data()));
}

TEST_P(LengthFieldTest, ShortestDecimalTextAndWidthIndex) {
    const LengthCase& c = GetParam();
    EXPECT_EQ(written_digits(c.n), c.text);
    EXPECT_EQ(decimal_digit_count(c.n), static_cast<int>(c.text.size()));
}

INSTANTIATE_TEST_SUITE_P(Lengths, LengthFieldTest,
                         testing::Values(LengthCase{0, "0"}, LengthCase{1, "1"}, LengthCase{9, "9"},
                                         LengthCase{10, "10"}, LengthCase{11, "11"},
                                         LengthCase{99, "99"}, LengthCase{100, "100"},
                                         LengthCase{1000000, "1000000"},
                                         LengthCase{999999999999999, "999999999999999"},
                                         LengthCase{1000000000000000, "1000000000000000"},
                                         LengthCase{9999999999999999, "9999999999999999"}));

TEST(LengthField, DigitCountStepsAtEveryPowerOfTen) {
    std::uint64_t power = 1;
    for (int digits = 1; digits <= max_length_digits; ++digits, power *= 10) {
        EXPECT_EQ(decimal_digit_count(power), digits);
        EXPECT_EQ(decimal_digit_count(power * 10 - 1), digits);
        if (power > 1) {
            EXPECT_EQ(decimal_digit_count(power - 1), digits - 1);
        }
    }
}

template <typename U> class Utf16LengthTest : public testing::Test {};
using CodeUnits = testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(Utf16LengthTest, CodeUnits);

template <typename U> std::vector<U> units_of(std::u32string_view text) {
    std::vector<U> out;
    for (char32_t c : text) {
        out.push_back(static_cast<U>(c));
    }
    return out;
}

TYPED_TEST(Utf16LengthTest, EveryUnitCountsOneUpToTheWidthsLimit) {
    using U = TypeParam;
    // The largest value of each width, one below U+10000 at most.
    const std::uint32_t top = sizeof(U) == 1 ? 0xFF : 0xFFFF;
    const std::vector<U> text =
        units_of<U>(std::u32string{U'a', U'\0', static_cast<char32_t>(top), U';'});
    EXPECT_EQ(utf16_length(text.data(), text.size()), 4u);
    EXPECT_EQ(utf16_length(text.data(), 0), 0u);
}

TEST(Utf16Length, SurrogatesCountOneAtBothWidthsThatHoldThem) {
    const std::vector<std::uint16_t> narrow = units_of<std::uint16_t>(U"\xD83D\xDE00\xD800");
    const std::vector<std::uint32_t> wide = units_of<std::uint32_t>(U"\xD83D\xDE00\xD800");
    EXPECT_EQ(utf16_length(narrow.data(), narrow.size()), 3u);
    EXPECT_EQ(utf16_length(wide.data(), wide.size()), 3u);
}

TEST(Utf16Length, AstralCodePointsCountTwo) {
    const std::vector<std::uint32_t> text{0x1F600, U'a', 0x10000, 0xFFFF, 0x10FFFF, 0xDC00};
    EXPECT_EQ(utf16_length(text.data(), text.size()), 9u);
    EXPECT_EQ(utf16_length(text.data(), 1), 2u);
}

TEST(Utf16Length, LongArraysCountEveryAstralCodePoint) {
    // Longer than any vector width, with astral code points at both ends.
    std::vector<std::uint32_t> text(1001, U'x');
    text.front() = 0x1F600;
    text.back() = 0x10FFFF;
    text[500] = 0x10000;
    EXPECT_EQ(utf16_length(text.data(), text.size()), 1004u);
}

} // namespace
