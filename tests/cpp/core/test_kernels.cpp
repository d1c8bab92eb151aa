// The vector kernels of the reader against their plain twins, on the same
// inputs at every alignment and at lengths around the vector widths: the
// widest-class scan, the narrowing copies and the UTF-16 count.
#include "core/narrowing.hpp"
#include "core/utf16_count.hpp"
#include "core/widest.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using dwex::simd::ascii_max;
using dwex::simd::bmp_max;
using dwex::simd::latin1_max;

constexpr std::size_t max_offset = 16;   // every alignment of a 16-byte load
constexpr std::size_t max_length = 40;   // past two vectors of every width
constexpr std::size_t scan_length = 150; // past two 64-byte steps of the scan, and a tail

/// One unit of a run: mostly small, with one larger unit placed at `at`.
template <typename U> U unit(std::size_t k, std::size_t at, std::uint32_t big) {
    return static_cast<U>(k == at ? big : 'a' + k % 26);
}

template <typename U> class Kernels : public ::testing::Test {};
using Widths = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(Kernels, Widths);

TYPED_TEST(Kernels, WidestClassAgreesWithThePlainScan) {
    using U = TypeParam;
    std::vector<std::uint32_t> bigs = {'z', 0x80, latin1_max};
    if constexpr (sizeof(U) > 1) {
        bigs.insert(bigs.end(), {0x100, 0x7FF, bmp_max});
    }
    if constexpr (sizeof(U) > 2) {
        bigs.insert(bigs.end(), {0x10000, 0x10FFFF});
    }
    std::vector<U> buffer(max_offset + scan_length + 1);
    for (std::uint32_t big : bigs) {
        for (std::size_t offset = 0; offset < max_offset; ++offset) {
            for (std::size_t n = 0; n <= scan_length; ++n) {
                for (std::size_t at = 0; at <= n; ++at) { // at == n: no large unit
                    for (std::size_t k = 0; k < n; ++k) {
                        buffer[offset + k] = unit<U>(k, at, big);
                    }
                    buffer[offset + n] = static_cast<U>(big); // just past the run
                    const U* p = buffer.data() + offset;
                    ASSERT_EQ(dwex::simd::widest_class(p, n), dwex::simd::widest_class_plain(p, n))
                        << "big=" << big << " offset=" << offset << " n=" << n << " at=" << at;
                }
            }
        }
    }
    EXPECT_EQ(dwex::simd::widest_class_plain(buffer.data(), 0), ascii_max);
}

TYPED_TEST(Kernels, NarrowingCopiesExactlyTheUnits) {
    using In = TypeParam;
    if constexpr (sizeof(In) > 1) {
        const auto check = [](auto out_tag, std::uint32_t top) {
            using Out = decltype(out_tag);
            std::vector<In> from(max_offset + max_length);
            for (std::size_t k = 0; k < from.size(); ++k) {
                // Both ends of the output range, and what lies between.
                from[k] = static_cast<In>(k % 3 == 0 ? top : k % 3 == 1 ? 0 : (k * 37) % top);
            }
            for (std::size_t offset = 0; offset < max_offset; ++offset) {
                for (std::size_t n = 0; n <= max_length; ++n) {
                    std::vector<Out> plain(n + 4, Out{0x2A});
                    std::vector<Out> fast(n + 4, Out{0x2A});
                    dwex::codec::copy_units(from.data() + offset, n, plain.data());
                    ASSERT_EQ(dwex::simd::narrow_copy(from.data() + offset, n, fast.data()),
                              fast.data() + n);
                    ASSERT_EQ(fast, plain) << "offset=" << offset << " n=" << n;
                }
            }
        };
        check(std::uint8_t{}, latin1_max);
        if constexpr (sizeof(In) == 4) {
            check(std::uint16_t{}, bmp_max);
        }
    }
}

TYPED_TEST(Kernels, AsciiPrefixCopyAgreesWithThePlainCopy) {
    using U = TypeParam;
    if constexpr (sizeof(U) < 4) {
        std::vector<std::uint32_t> bigs = {0x80, latin1_max};
        if constexpr (sizeof(U) > 1) {
            bigs.insert(bigs.end(), {0x100, bmp_max});
        }
        std::vector<U> from(max_offset + scan_length + 1);
        for (std::uint32_t big : bigs) {
            for (std::size_t offset = 0; offset < max_offset; ++offset) {
                for (std::size_t n = 0; n <= scan_length; ++n) {
                    for (std::size_t at = 0; at <= n; ++at) { // at == n: all ASCII
                        for (std::size_t k = 0; k < n; ++k) {
                            from[offset + k] = unit<U>(k, at, big);
                        }
                        from[offset + n] = static_cast<U>(big); // just past the run
                        std::vector<std::uint8_t> plain(n + 1, 0x2A);
                        std::vector<std::uint8_t> fast(n + 1, 0x2A);
                        const U* p = from.data() + offset;
                        const std::size_t want =
                            dwex::simd::copy_ascii_prefix_plain(p, n, plain.data());
                        ASSERT_EQ(want, at);
                        ASSERT_EQ(dwex::simd::copy_ascii_prefix(p, n, fast.data()), want)
                            << "big=" << big << " offset=" << offset << " n=" << n;
                        ASSERT_TRUE(std::equal(plain.begin(), plain.begin() + want, fast.begin()));
                        ASSERT_EQ(fast[n], 0x2A); // nothing written past the run
                    }
                }
            }
        }
    }
}

TYPED_TEST(Kernels, Utf16CountAgreesWithThePlainWalk) {
    using U = TypeParam;
    if constexpr (sizeof(U) == 4) {
        // Astral code points at a few densities, including none and all.
        for (std::size_t every : {0, 1, 2, 3, 5}) {
            std::vector<std::uint32_t> buf(max_offset + max_length);
            for (std::size_t k = 0; k < buf.size(); ++k) {
                buf[k] = every != 0 && k % every == 0 ? 0x1F600 + static_cast<std::uint32_t>(k)
                                                      : 0x4E00 + static_cast<std::uint32_t>(k);
            }
            const auto length = static_cast<std::int64_t>(buf.size());
            for (std::int64_t idx = 0; idx < static_cast<std::int64_t>(max_offset); ++idx) {
                for (std::int64_t target = 0; target <= 2 * length; ++target) {
                    ASSERT_EQ(dwex::simd::count_utf16(buf.data(), idx, length, target),
                              dwex::simd::count_utf16_plain(buf.data(), idx, length, target))
                        << "every=" << every << " idx=" << idx << " target=" << target;
                }
            }
        }
    }
}

} // namespace
