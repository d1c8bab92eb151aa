// The UTF-8 walk's block path agrees with its plain twin on every input, and
// both read what Python's "surrogatepass" UTF-8 reads.
#include "core/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using dwex::utf8::Stop;
using dwex::utf8::walk;
using dwex::utf8::walk_plain;

std::vector<std::uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Utf8Walk, CountsUnitsAndStopsWhereTheTargetIs) {
    const auto text = bytes("a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80z"); // a é 中 😀 z
    const auto* p = text.data();
    const auto* end = p + text.size();
    EXPECT_EQ(walk(p, end, 3).at, p + 6);
    EXPECT_EQ(walk(p, end, 5).stop, Stop::ok);
    EXPECT_EQ(walk(p, end, 4).stop, Stop::overshoot);
    EXPECT_EQ(walk(p, end, 4).last, 0x1F600u);
    EXPECT_EQ(walk(p, end, 7).stop, Stop::ran_out);
    EXPECT_EQ(walk(p, end - 2, 5).stop, Stop::truncated);
    const auto surrogate = bytes("\xed\xa0\x80");
    EXPECT_TRUE(walk(surrogate.data(), surrogate.data() + 3, 1).surrogate);
    for (const char* bad : {"\xc0\x80", "\xe0\x80\x80", "\xf4\x90\x80\x80", "\x80", "\xff"}) {
        const auto b = bytes(bad);
        EXPECT_EQ(walk(b.data(), b.data() + b.size(), 1).stop, Stop::invalid) << bad;
    }
}

TEST(Utf8Walk, BlocksAgreeWithThePlainSteps) {
    // Runs of ASCII, two-, three- and four-byte text, surrogates and broken
    // bytes, walked to every target.
    const std::vector<std::string> pieces = {"a",
                                             "bcdefgh",
                                             "\xc3\xa9",
                                             "\xe4\xb8\xad",
                                             "\xed\x9f\xbf",
                                             "\xed\xa0\x80",
                                             "\xe0\xa0\x80",
                                             "\xf0\x9f\x98\x80",
                                             "\x80",
                                             "\xe4\xb8",
                                             ";"};
    std::mt19937 random(20);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int count = static_cast<int>(random() % 40);
        const bool clean = random() % 2;
        for (int k = 0; k < count; ++k) {
            text += pieces[random() % (clean ? 5 : pieces.size())];
        }
        const auto b = bytes(text);
        const auto* end = b.data() + b.size();
        for (std::int64_t target = 0; target <= static_cast<std::int64_t>(b.size()) + 2; ++target) {
            ASSERT_EQ(walk(b.data(), end, target), walk_plain(b.data(), end, target))
                << text << " " << target;
        }
    }
}

TEST(Utf8Units, CountsValidText) {
    const auto text =
        bytes("a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80zzzzzzzzzzzzzzzzzzzz\xe4\xb8\xad");
    EXPECT_EQ(dwex::utf8::units(text.data(), text.size()), 26);
    EXPECT_EQ(dwex::utf8::units_plain(text.data(), text.size()), 26);
    // Every length across a few vectors, vector blocks mixing ASCII runs and
    // each lead: the vector count equals the plain one.
    std::string mixed;
    for (int k = 0; mixed.size() < 80; ++k) {
        mixed += k % 5 == 0   ? "\xf0\x9f\x98\x80"
                 : k % 3 == 0 ? "\xe4\xb8\xad"
                 : k % 7 == 0 ? "\xc3\xa9"
                              : "ab";
    }
    const auto b = bytes(mixed);
    for (std::size_t n = 0; n <= b.size(); ++n) {
        ASSERT_EQ(dwex::utf8::units(b.data(), n), dwex::utf8::units_plain(b.data(), n)) << n;
    }
}

// A short string counted by whole vectors, its bytes past the end masked off:
// every length up to two vectors, each piece at every place, with the bytes
// after the string (loaded, never counted) continuation bytes and four-byte
// leads, the bytes it must not count.
TEST(Utf8Units, ShortStringsInVectorsAgreeWithThePlainCount) {
#if DWEX_SIMD
    const std::vector<std::string> pieces = {"a", "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x98\x80"};
    for (const auto& piece : pieces) {
        for (std::size_t before = 0; before + piece.size() <= 32; ++before) {
            auto b = bytes(std::string(before, 'x') + piece);
            const std::size_t n = b.size();
            b.resize(n + 40, 0xF0);
            std::fill(b.begin() + static_cast<std::ptrdiff_t>(n),
                      b.begin() + static_cast<std::ptrdiff_t>(n) + 20, 0x80);
            const auto low = dwex::simd::load(b.data());
            const auto high = dwex::simd::load(b.data() + dwex::simd::vector_bytes);
            ASSERT_EQ(dwex::utf8::units_of(low, high, n), dwex::utf8::units_plain(b.data(), n))
                << before << " " << piece.size();
        }
    }
#endif
}
} // namespace
