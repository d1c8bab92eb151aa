// The vector operations that the kernels are written in (SSE2 on x86-64,
// NEON on aarch64), each against its lane-by-lane statement, on lanes at the edges where a signed
// or saturating instruction would differ from it (0x7F/0x80, 0xFF/0x100, 0x7FFF/0x8000).
#include "core/simd.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

// The architectures the wheels are built for have vector code.
#if defined(__x86_64__) || defined(__aarch64__)
static_assert(dwex::simd::enabled);
#endif

#if DWEX_SIMD

namespace {

using namespace dwex::simd;

using Bytes = std::array<std::uint8_t, vector_bytes>;

/// Vectors whose lanes of every width sit on and around those edges.
std::vector<Bytes> edge_vectors() {
    constexpr std::uint32_t edges[] = {0x0,      0x1,        0x7F,      0x80,   0xFF,
                                       0x100,    0x7FFF,     0x8000,    0xFFFF, 0x10000,
                                       0x10FFFF, 0x7FFFFFFF, 0x80000000};
    std::vector<Bytes> out;
    for (std::size_t shift = 0; shift < std::size(edges); ++shift) {
        Bytes b{};
        for (std::size_t lane = 0; lane < 4; ++lane) {
            const std::uint32_t v = edges[(shift + lane * 5) % std::size(edges)];
            std::memcpy(b.data() + 4 * lane, &v, 4);
        }
        out.push_back(b);
        for (std::size_t k = 0; k < b.size(); ++k) { // the same, byte-wise
            b[k] = static_cast<std::uint8_t>(edges[(shift + k) % std::size(edges)]);
        }
        out.push_back(b);
    }
    return out;
}

template <typename L> L lane(const Bytes& b, std::size_t k) {
    L v;
    std::memcpy(&v, b.data() + k * sizeof(L), sizeof(L));
    return v;
}

Bytes bytes_of(Vec v) {
    Bytes b;
    store(b.data(), v);
    return b;
}

TEST(Simd, MasksTakeTheTopBitOfEachLane) {
    for (const Bytes& b : edge_vectors()) {
        std::uint32_t want8 = 0, want32 = 0;
        for (std::size_t k = 0; k < 16; ++k) {
            want8 |= static_cast<std::uint32_t>(b[k] >> 7) << k;
        }
        for (std::size_t k = 0; k < 4; ++k) {
            want32 |= (lane<std::uint32_t>(b, k) >> 31) << k;
        }
        const Vec v = load(b.data());
        EXPECT_EQ(mask8(v), want8);
        EXPECT_EQ(mask32(v), want32);
        EXPECT_EQ(any_top_bit8(v), want8 != 0);
        bool zero16 = true;
        std::uint32_t ors = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            zero16 &= lane<std::uint16_t>(b, k) == 0;
        }
        for (std::size_t k = 0; k < 4; ++k) {
            ors |= lane<std::uint32_t>(b, k);
        }
        EXPECT_EQ(all_zero16(v), zero16);
        EXPECT_EQ(or_lanes32(v), ors);
    }
    EXPECT_TRUE(all_zero16(zero()));
}

TEST(Simd, PacksNarrowLanesThatFitUnchanged) {
    for (const Bytes& a : edge_vectors()) {
        for (const Bytes& b : edge_vectors()) {
            const Bytes packed8 = bytes_of(pack16_to8(load(a.data()), load(b.data())));
            const Bytes packed16 = bytes_of(pack32_to16_signed(load(a.data()), load(b.data())));
            for (std::size_t k = 0; k < 16; ++k) {
                const auto in =
                    static_cast<std::int16_t>(lane<std::uint16_t>(k < 8 ? a : b, k % 8));
                const int want = in < 0 ? 0 : in > 0xFF ? 0xFF : in; // unsigned saturation
                ASSERT_EQ(packed8[k], want) << "lane " << k << " of " << in;
            }
            for (std::size_t k = 0; k < 8; ++k) {
                const auto in =
                    static_cast<std::int32_t>(lane<std::uint32_t>(k < 4 ? a : b, k % 4));
                const std::int32_t want = in < -0x8000 ? -0x8000 : in > 0x7FFF ? 0x7FFF : in;
                ASSERT_EQ(static_cast<std::int16_t>(lane<std::uint16_t>(packed16, k)), want)
                    << "lane " << k << " of " << in;
            }
        }
    }
}

TEST(Simd, WideningZeroExtendsEachHalf) {
    for (const Bytes& b : edge_vectors()) {
        const Vec v = load(b.data());
        const Bytes lo8 = bytes_of(widen_low8(v)), hi8 = bytes_of(widen_high8(v));
        const Bytes lo16 = bytes_of(widen_low16(v)), hi16 = bytes_of(widen_high16(v));
        for (std::size_t k = 0; k < 8; ++k) {
            EXPECT_EQ(lane<std::uint16_t>(lo8, k), b[k]);
            EXPECT_EQ(lane<std::uint16_t>(hi8, k), b[8 + k]);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(lane<std::uint32_t>(lo16, k), lane<std::uint16_t>(b, k));
            EXPECT_EQ(lane<std::uint32_t>(hi16, k), lane<std::uint16_t>(b, 4 + k));
        }
    }
}

/// Each lane compare against its signed or unsigned statement, on every pair
/// of edge vectors: all ones where it holds, zeros elsewhere.
TEST(Simd, ComparesAndArithmeticGoLaneByLane) {
    const auto ones = [](bool holds, std::uint64_t all) { return holds ? all : 0; };
    for (const Bytes& a : edge_vectors()) {
        for (const Bytes& b : edge_vectors()) {
            const Vec va = load(a.data()), vb = load(b.data());
            const Bytes eq8 = bytes_of(equal8(va, vb)), lt8 = bytes_of(less8(va, vb));
            const Bytes gt8 = bytes_of(greater8(va, vb)), eq16 = bytes_of(equal16(va, vb));
            const Bytes gt32 = bytes_of(greater32(va, vb)), diff32 = bytes_of(sub32(va, vb));
            const Bytes ors = bytes_of(bit_or(va, vb)), ands = bytes_of(bit_and(va, vb));
            const Bytes xors = bytes_of(bit_xor(va, vb));
            const Bytes sums8 = bytes_of(add8(va, vb)), diffs8 = bytes_of(sub8(va, vb));
            std::uint32_t lane_sum = 0;
            for (std::size_t k = 0; k < 16; ++k) {
                lane_sum += a[k];
                ASSERT_EQ(sums8[k], static_cast<std::uint8_t>(a[k] + b[k])); // wraps
                ASSERT_EQ(diffs8[k], static_cast<std::uint8_t>(a[k] - b[k]));
                const auto x = static_cast<std::int8_t>(a[k]), y = static_cast<std::int8_t>(b[k]);
                ASSERT_EQ(eq8[k], ones(x == y, 0xFF)) << "lane " << k;
                ASSERT_EQ(lt8[k], ones(x < y, 0xFF)) << "lane " << k << ": " << +x << " < " << +y;
                ASSERT_EQ(gt8[k], ones(x > y, 0xFF)) << "lane " << k << ": " << +x << " > " << +y;
                ASSERT_EQ(ors[k], a[k] | b[k]);
                ASSERT_EQ(ands[k], a[k] & b[k]);
                ASSERT_EQ(xors[k], a[k] ^ b[k]);
            }
            ASSERT_EQ(sum8(va), lane_sum); // unsigned lanes, no wrap
            for (std::size_t k = 0; k < 8; ++k) {
                ASSERT_EQ(lane<std::uint16_t>(eq16, k),
                          ones(lane<std::uint16_t>(a, k) == lane<std::uint16_t>(b, k), 0xFFFF));
            }
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint32_t x = lane<std::uint32_t>(a, k), y = lane<std::uint32_t>(b, k);
                ASSERT_EQ(
                    lane<std::uint32_t>(gt32, k),
                    ones(static_cast<std::int32_t>(x) > static_cast<std::int32_t>(y), 0xFFFFFFFF))
                    << "lane " << k << ": " << x << " > " << y << " signed";
                ASSERT_EQ(lane<std::uint32_t>(diff32, k), x - y); // wraps
            }
        }
    }
}

TEST(Simd, SplatsFillEveryLaneAndShiftsMoveWholeBytes) {
    for (const std::uint32_t v :
         {0x0u, 0x7Fu, 0x80u, 0xFFu, 0x7FFFu, 0x8000u, 0xFFFFu, 0x80000000u}) {
        const Bytes s8 = bytes_of(splat8(static_cast<std::int8_t>(v)));
        const Bytes s16 = bytes_of(splat16(static_cast<std::uint16_t>(v)));
        const Bytes s32 = bytes_of(splat32(v));
        for (std::size_t k = 0; k < 16; ++k) {
            EXPECT_EQ(s8[k], static_cast<std::uint8_t>(v));
        }
        for (std::size_t k = 0; k < 8; ++k) {
            EXPECT_EQ(lane<std::uint16_t>(s16, k), static_cast<std::uint16_t>(v));
        }
        for (std::size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(lane<std::uint32_t>(s32, k), v);
        }
    }
    for (const Bytes& b : edge_vectors()) {
        const Vec v = load(b.data());
        const Bytes by4 = bytes_of(shift_down<4>(v)), by8 = bytes_of(shift_down<8>(v));
        for (std::size_t k = 0; k < 16; ++k) {
            EXPECT_EQ(by4[k], k + 4 < 16 ? b[k + 4] : 0) << "byte " << k;
            EXPECT_EQ(by8[k], k + 8 < 16 ? b[k + 8] : 0) << "byte " << k;
        }
        EXPECT_EQ(low_lane32(v), lane<std::uint32_t>(b, 0));
    }
}

/// A partial load reads only its bytes and zeroes the rest; a partial store
/// writes only its bytes.
TEST(Simd, PartialLoadsAndStoresTouchOnlyTheirBytes) {
    Bytes src;
    for (std::size_t k = 0; k < 16; ++k) {
        src[k] = static_cast<std::uint8_t>(0xA0 + k);
    }
    const struct {
        std::size_t size;
        Vec (*load)(const void*);
        void (*store)(void*, Vec);
    } cases[] = {{8, load_low8, store_low8}, {4, load_low4, store_low4}};
    for (const auto& c : cases) {
        const Bytes got = bytes_of(c.load(src.data()));
        Bytes stored;
        stored.fill(0x2A);
        c.store(stored.data(), load(src.data()));
        for (std::size_t k = 0; k < 16; ++k) {
            EXPECT_EQ(got[k], k < c.size ? src[k] : 0) << c.size << " byte " << k;
            EXPECT_EQ(stored[k], k < c.size ? src[k] : 0x2A) << c.size << " byte " << k;
        }
    }
    std::uint64_t word;
    std::memcpy(&word, src.data(), 8);
    EXPECT_EQ(bytes_of(from_word(word)), bytes_of(load_low8(src.data())));
}

} // namespace

#endif
