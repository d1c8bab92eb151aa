// The length prefix as written into a document: width digit, then the
// shortest decimal text, at every width and around every power of ten.
#include "codec/decimal.hpp"
#include "codec/format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
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
        const LengthField field = length_field(n);
        const int count = decimal_digit_count(n);
        ASSERT_EQ(count, field.count) << n;
        std::vector<U> out(24, U{'#'});
        U* end = write_length_prefix(U{'w'}, n, count, out.data() + 1);
        ASSERT_EQ(end, out.data() + 2 + count) << n;
        EXPECT_EQ(out[0], U{'#'});
        EXPECT_EQ(out[1], U{'w'});
        for (int k = 0; k < count; ++k) {
            ASSERT_EQ(out[static_cast<std::size_t>(2 + k)],
                      static_cast<U>(field.digits[static_cast<std::size_t>(k)]))
                << n;
        }
        for (std::size_t k = static_cast<std::size_t>(2 + count); k < out.size(); ++k) {
            ASSERT_EQ(out[k], U{'#'}) << n;
        }
    }
}

} // namespace
