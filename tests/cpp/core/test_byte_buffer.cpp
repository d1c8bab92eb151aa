// The byte buffer: growth and cuts keep the bytes, a failed allocation
// leaves the buffer as it was, and a move leaves its source empty.
#include "core/byte_buffer.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

/// Fails every allocation once `fail` is set.
struct Failing {
    static inline bool fail = false;
    static void* allocate(std::size_t n) noexcept { return fail ? nullptr : std::malloc(n); }
    static void* reallocate(void* p, std::size_t n) noexcept {
        return fail ? nullptr : std::realloc(p, n);
    }
    static void release(void* p) noexcept { std::free(p); }
};

using Buffer = dwex::codec::ByteBuffer<Failing>;

void fill(Buffer& b, std::size_t n) {
    ASSERT_TRUE(b.reserve(n));
    for (std::size_t k = 0; k < n; ++k) {
        b.data()[k] = static_cast<std::uint8_t>(k * 7);
    }
    b.resize(n);
}

bool holds(const Buffer& b, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
        if (b.data()[k] != static_cast<std::uint8_t>(k * 7)) {
            return false;
        }
    }
    return b.size() == n;
}

struct Step {
    std::size_t filled;
    std::size_t asked; // reserve() of this many, or exact() of them where cut
    bool cut;
    std::size_t kept; // the bytes still held afterwards
};

class Steps : public testing::TestWithParam<Step> {};

TEST_P(Steps, KeepTheBytesThatFitAndFailWithoutLosingAny) {
    const Step s = GetParam();
    Failing::fail = false;
    Buffer b;
    fill(b, s.filled);
    ASSERT_TRUE(s.cut ? b.exact(s.asked) : b.reserve(s.asked));
    EXPECT_TRUE(holds(b, s.kept));
    EXPECT_GE(b.capacity(), std::max<std::size_t>(s.asked, 1));
    const std::size_t capacity = b.capacity();
    const std::uint8_t* data = b.data();
    Failing::fail = true;
    EXPECT_FALSE(b.exact(capacity + 1));
    EXPECT_FALSE(b.reserve(capacity + 1));
    Failing::fail = false;
    EXPECT_EQ(b.data(), data);
    EXPECT_EQ(b.capacity(), capacity);
    EXPECT_TRUE(holds(b, s.kept));
}

INSTANTIATE_TEST_SUITE_P(ByteBuffer, Steps,
                         testing::Values(Step{0, 1, false, 0}, Step{10, 300, false, 10},
                                         Step{300, 301, false, 300},
                                         Step{5000, 100000, false, 5000}, Step{300, 20, true, 20},
                                         Step{300, 0, true, 0}, Step{20, 4000, true, 20}));

TEST(ByteBuffer, GrowsAtLeastDoublingAndNeverToANullBuffer) {
    Failing::fail = false;
    Buffer b;
    ASSERT_TRUE(b.exact(0));
    EXPECT_NE(b.data(), nullptr);
    ASSERT_TRUE(b.reserve(2));
    EXPECT_EQ(b.capacity(), Buffer::least_capacity);
    ASSERT_TRUE(b.reserve(Buffer::least_capacity + 1));
    EXPECT_EQ(b.capacity(), 2 * Buffer::least_capacity);
}

TEST(ByteBuffer, AMoveTakesTheBytesAndLeavesItsSourceEmpty) {
    Failing::fail = false;
    Buffer a;
    fill(a, 40);
    Buffer b;
    fill(b, 3);
    b = std::move(a);
    EXPECT_TRUE(holds(b, 40));
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_EQ(a.capacity(), 0u);
    Buffer c(std::move(b));
    EXPECT_TRUE(holds(c, 40));
    EXPECT_EQ(b.data(), nullptr);
}

} // namespace
