// Copying code units between widths: every short length, both directions.
#include "core/units.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using dwex::codec::copy_units;

TEST(Units, ShortByteRunsCopyExactlyAndNothingMore) {
    std::array<std::uint8_t, 17> from{};
    for (std::size_t k = 0; k < from.size(); ++k) {
        from[k] = static_cast<std::uint8_t>('a' + k);
    }
    for (std::size_t n = 0; n <= 16; ++n) {
        std::array<std::uint8_t, 20> to{};
        to.fill('#');
        EXPECT_EQ(copy_units(from.data(), n, to.data()), to.data() + n);
        for (std::size_t k = 0; k < to.size(); ++k) {
            EXPECT_EQ(to[k], k < n ? from[k] : '#') << "n=" << n << " k=" << k;
        }
    }
}

TEST(Units, WidensAndNarrowsWhereTheCodePointsFit) {
    const std::vector<std::uint8_t> narrow = {'x', 0xE9, ';', 0xFF};
    std::vector<std::uint32_t> wide(narrow.size());
    copy_units(narrow.data(), narrow.size(), wide.data());
    EXPECT_EQ(wide, (std::vector<std::uint32_t>{'x', 0xE9, ';', 0xFF}));
    std::vector<std::uint8_t> back(wide.size());
    copy_units(wide.data(), wide.size(), back.data());
    EXPECT_EQ(back, narrow);
}

TEST(Units, LongRunsOfEqualWidthCopyWhole) {
    std::vector<std::uint16_t> from(100);
    for (std::size_t k = 0; k < from.size(); ++k) {
        from[k] = static_cast<std::uint16_t>(0x4E00 + k);
    }
    std::vector<std::uint16_t> to(from.size());
    copy_units(from.data(), from.size(), to.data());
    EXPECT_EQ(to, from);
}

} // namespace
