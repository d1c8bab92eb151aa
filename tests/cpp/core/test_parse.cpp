// test_parse.cpp: the reader's loops on plain code-point arrays, at each of the
// three storage widths: tables read, faults with their positions, the one
// difference between the narrow and the wide loop, and failing sinks.
#include "core/parse.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using dwex::codec::Fault;
using dwex::codec::Result;
using Table = std::vector<std::vector<std::u32string>>;

/// Records the table the reader reports; optionally fails its `fail_call`-th call
/// (counting every call from 0), to check that the reader stops right there.
template <typename U> class RecordingSink {
  public:
    RecordingSink(const U* data, std::optional<int> fail_call = std::nullopt)
        : data_(data), fail_call_(fail_call) {}

    bool start_table() { return next_call(); }
    bool start_row() {
        if (!next_call()) {
            return false;
        }
        row_.clear();
        row_open_ = true;
        return true;
    }
    bool end_row() {
        if (!next_call()) {
            return false;
        }
        EXPECT_TRUE(row_open_) << "a row closed twice";
        table_.push_back(row_);
        row_open_ = false;
        return true;
    }
    // The wide loop passes the OR of the content's code points, which it read.
    bool item(std::int64_t begin, std::int64_t end, std::uint32_t widest = 0) {
        if (!next_call()) {
            return false;
        }
        EXPECT_TRUE(row_open_) << "an item outside a row";
        EXPECT_LE(begin, end);
        std::u32string content;
        std::uint32_t bits = 0;
        for (std::int64_t k = begin; k < end; ++k) {
            content.push_back(static_cast<char32_t>(data_[k]));
            bits |= data_[k];
        }
        if constexpr (sizeof(U) == 4) {
            EXPECT_EQ(widest, bits);
        }
        row_.push_back(content);
        return true;
    }

    const Table& table() const { return table_; }
    int calls() const { return calls_; }

  private:
    bool next_call() {
        const int k = calls_++;
        return !(fail_call_ && k == *fail_call_);
    }

    const U* data_;
    std::optional<int> fail_call_;
    int calls_ = 0;
    bool row_open_ = false;
    std::vector<std::u32string> row_;
    Table table_;
};

template <typename U> std::vector<U> units_of(std::u32string_view text) {
    std::vector<U> out;
    for (char32_t c : text) {
        out.push_back(static_cast<U>(c));
    }
    return out;
}

/// Whether every code point of `text` fits a unit of type U.
template <typename U> bool fits(std::u32string_view text) {
    const std::uint32_t top = sizeof(U) == 1 ? 0xFF : sizeof(U) == 2 ? 0xFFFF : 0x10FFFF;
    for (char32_t c : text) {
        if (static_cast<std::uint32_t>(c) > top) {
            return false;
        }
    }
    return true;
}

template <typename U> struct Outcome {
    Result result;
    Table table;
};

template <typename U> Outcome<U> read(std::u32string_view text) {
    const std::vector<U> data = units_of<U>(text);
    RecordingSink<U> sink(data.data());
    const Result result =
        dwex::codec::parse_document(data.data(), static_cast<std::int64_t>(data.size()), sink);
    return {result, sink.table()};
}

template <typename U> class ParseTest : public testing::Test {
  protected:
    static constexpr bool wide = sizeof(U) == 4;
};
using CodeUnits = testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(ParseTest, CodeUnits);

// ---------------------------------------------------------------- tables read

struct TableCase {
    std::u32string_view document;
    Table table;
};

const std::vector<TableCase>& table_cases() {
    static const std::vector<TableCase> cases{
        {U";", {{}}},
        {U";;", {{}, {}}},
        {U"00;", {{U""}}},
        {U"00;;00;", {{U""}, {}, {U""}}},
        {U"01a02bc;01d;", {{U"a", U"bc"}, {U"d"}}},
        {U"111hello world;", {{U"hello world"}}},
        {U"02;;;", {{U";;"}}},
        {U"03;;;;", {{U";;;"}}},
        {U"A00000000003abc;", {{U"abc"}}},
        {U"a00000000003abc;", {{U"abc"}}},
        {U"2007abcdefg;", {{U"abcdefg"}}},
        {U"f0000000000000001a;", {{U"a"}}},
        {U"F"
         U"00000000"
         U"00000000"
         U";",
         {{U""}}},                // sixteen length digits
        {U"0000;", {{U"", U""}}}, // "00" twice: two empty items
        {U"012;", {{U"2"}}},
        {U"110abcdefghij;", {{U"abcdefghij"}}},
        {U"03\u00e9\u00ff\u0080;", {{U"\u00e9\u00ff\u0080"}}},
        {U"01\u0100;02\u4e2d\uffff;", {{U"\u0100"}, {U"\u4e2d\uffff"}}},
        {U"02\xD83D\xDE00;", {{U"\xD83D\xDE00"}}}, // lone surrogates count one each
        {U"01\xDC00;", {{U"\xDC00"}}},
        {U"02\U0001F600;", {{U"\U0001F600"}}},
        {U"04a\U0001F600b;", {{U"a\U0001F600b"}}},
        {U"02\U0001F600;02\U0001F600;", {{U"\U0001F600"}, {U"\U0001F600"}}},
        {U"04\U00010000\U0010FFFF;00;", {{U"\U00010000\U0010FFFF"}, {U""}}},
        {U"03\U0001F600\xD800;", {{U"\U0001F600\xD800"}}},
    };
    return cases;
}

TYPED_TEST(ParseTest, ReadsEveryTableItsWidthCanHold) {
    int ran = 0;
    for (const TableCase& c : table_cases()) {
        if (!fits<TypeParam>(c.document)) {
            continue;
        }
        ++ran;
        const Outcome<TypeParam> o = read<TypeParam>(c.document);
        EXPECT_TRUE(o.result.ok()) << "fault " << static_cast<int>(o.result.fault);
        EXPECT_EQ(o.table, c.table);
    }
    EXPECT_GE(ran, 17);
}

TYPED_TEST(ParseTest, ContentLongerThanNineUnits) {
    const std::u32string content(100, U'a');
    const Outcome<TypeParam> o = read<TypeParam>(U"2100" + content + U";");
    ASSERT_TRUE(o.result.ok());
    EXPECT_EQ(o.table, (Table{{content}}));
}

TYPED_TEST(ParseTest, EveryDigitAndHexDigitAsContent) {
    const std::u32string content = U"0123456789abcdefABCDEF;;";
    const Outcome<TypeParam> o = read<TypeParam>(U"124" + content + U";");
    ASSERT_TRUE(o.result.ok());
    EXPECT_EQ(o.table, (Table{{content}}));
}

// --------------------------------------------------------------------- faults

// The fault each loop reports. Both loops agree on the kind of fault, the
// position and the code point, except where the length digits end on the last
// code point ("0x"): only the wide loop reads them.
struct FaultCase {
    std::u32string_view document;
    Fault narrow;
    Fault wide;
    std::int64_t pos = 0;
    char32_t code_point = 0;
};

const std::vector<FaultCase>& fault_cases() {
    static const std::vector<FaultCase> cases{
        {U"", Fault::empty_input, Fault::empty_input},
        // a complete item, then the end
        {U"01a", Fault::narrow_content_end, Fault::wide_no_terminator},
        {U"01a;01b", Fault::narrow_content_end, Fault::wide_no_terminator},
        {U"00", Fault::narrow_length_end, Fault::wide_no_terminator},
        {U"03abc", Fault::narrow_content_end, Fault::wide_no_terminator},
        // the declared length passes the end
        {U"05ab;", Fault::narrow_content_end, Fault::wide_content_end},
        {U"01", Fault::narrow_length_end, Fault::wide_content_end},
        {U"1", Fault::narrow_length_end, Fault::wide_length_end},
        {U"10", Fault::narrow_length_end, Fault::wide_length_end},
        {U"f"
         U"00000000"
         U"0000000",
         Fault::narrow_length_end, Fault::wide_length_end},
        {U"f"
         U"00000000"
         U"0000000"
         U"5ab;",
         Fault::narrow_content_end, Fault::wide_content_end},
        {U"f"
         U"99999999"
         U"99999999"
         U";",
         Fault::narrow_content_end, Fault::wide_content_end},
        // not a width digit where an item starts
        {U"g1a;", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'g'},
        {U"G1a;", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'G'},
        {U" 01a;", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U' '},
        {U"+1a;", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'+'},
        {U"-1a;", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'-'},
        {U"/", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'/'},
        {U":", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U':'},
        {U"@", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'@'},
        {U"`", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'`'},
        {std::u32string_view(U"\0", 1), Fault::narrow_width_digit, Fault::wide_width_digit, 0, 0},
        {U"01ax", Fault::narrow_width_digit, Fault::wide_width_digit, 3, U'x'},
        {U"01a;x", Fault::narrow_width_digit, Fault::wide_width_digit, 4, U'x'},
        {U";x", Fault::narrow_width_digit, Fault::wide_width_digit, 1, U'x'},
        {U"00;\u00e9", Fault::narrow_width_digit, Fault::wide_width_digit, 3, U'\u00e9'},
        {U"\uff10", Fault::narrow_width_digit, Fault::wide_width_digit, 0, U'\uff10'},
        {U"01\xD83D\xDE00;", Fault::narrow_width_digit, Fault::wide_width_digit, 3, 0xDE00},
        // not a decimal digit in the length field
        {U"0x;", Fault::narrow_length_digit, Fault::wide_length_digit, 1, U'x'},
        {U"1a5;", Fault::narrow_length_digit, Fault::wide_length_digit, 1, U'a'},
        {U"11a;", Fault::narrow_length_digit, Fault::wide_length_digit, 2, U'a'},
        {U"0;;", Fault::narrow_length_digit, Fault::wide_length_digit, 1, U';'},
        {U"0/;", Fault::narrow_length_digit, Fault::wide_length_digit, 1, U'/'},
        {U"0:;", Fault::narrow_length_digit, Fault::wide_length_digit, 1, U':'},
        {U"01a;2x000;", Fault::narrow_length_digit, Fault::wide_length_digit, 5, U'x'},
        // narrow against wide: the last code point as a length digit
        {U"0x", Fault::narrow_length_end, Fault::wide_length_digit, 1, U'x'},
        {U"02ab;0x", Fault::narrow_length_end, Fault::wide_length_digit, 6, U'x'},
        {U"1x", Fault::narrow_length_end, Fault::wide_length_end},
        {U"10x", Fault::narrow_length_end, Fault::wide_length_digit, 2, U'x'},
        {U"01a;0;", Fault::narrow_length_end, Fault::wide_length_digit, 5, U';'},
    };
    return cases;
}

// The position and code point only of unexpected tokens; the loop's own fault.
template <typename U> Result expected(const FaultCase& c) {
    const Fault f = sizeof(U) == 4 ? c.wide : c.narrow;
    if (dwex::codec::fault_kind(f) == dwex::codec::FaultKind::unexpected_token) {
        return Result{f, c.pos, static_cast<std::uint32_t>(c.code_point)};
    }
    return Result{f, 0, 0};
}

TYPED_TEST(ParseTest, ReportsTheFirstFaultOfEachLoop) {
    int ran = 0;
    for (const FaultCase& c : fault_cases()) {
        if (!fits<TypeParam>(c.document)) {
            continue;
        }
        ++ran;
        const Outcome<TypeParam> o = read<TypeParam>(c.document);
        const Result want = expected<TypeParam>(c);
        EXPECT_EQ(o.result.fault, want.fault)
            << "document of " << c.document.size() << " code points, case " << ran;
        EXPECT_EQ(o.result.pos, want.pos) << "case " << ran;
        EXPECT_EQ(o.result.code_point, want.code_point) << "case " << ran;
    }
    EXPECT_GE(ran, 38);
}

// Faults that only a wide document can hold: positions count an astral code
// point as two units, and a length may end inside one.
struct WideCase {
    std::u32string_view document;
    Fault fault;
    std::int64_t pos = 0;
    char32_t code_point = 0;
};

class WideFaultTest : public testing::TestWithParam<WideCase> {};

TEST_P(WideFaultTest, CountsUtf16Units) {
    const WideCase& c = GetParam();
    const Outcome<std::uint32_t> o = read<std::uint32_t>(c.document);
    EXPECT_EQ(o.result, (Result{c.fault, c.pos, static_cast<std::uint32_t>(c.code_point)}));
}

INSTANTIATE_TEST_SUITE_P(
    Astral, WideFaultTest,
    testing::Values(
        WideCase{U"02\U0001F600;0x", Fault::wide_length_digit, 6, U'x'},
        WideCase{U"02\U0001F600;1x5;", Fault::wide_length_digit, 6, U'x'},
        WideCase{U"02\U0001F600;g", Fault::wide_width_digit, 5, U'g'},
        WideCase{U"02\U0001F600\U0001F600", Fault::wide_width_digit, 4, U'\U0001F600'},
        WideCase{U"\U0010FFFF", Fault::wide_width_digit, 0, U'\U0010FFFF'},
        // the length ends after the high half: the low surrogate is reported,
        // before the missing ';' would be
        WideCase{U"01\U0001F600;", Fault::wide_split_astral, 3, 0xDE00},
        WideCase{U"01\U0001F600", Fault::wide_split_astral, 3, 0xDE00},
        WideCase{U"02a\U0001F600;", Fault::wide_split_astral, 4, 0xDE00},
        WideCase{U"01\U00010000;", Fault::wide_split_astral, 3, 0xDC00},
        WideCase{U"01\U0010FFFF;", Fault::wide_split_astral, 3, 0xDFFF},
        WideCase{U"02\U0001F600;03\U0001F600\U0001F600;", Fault::wide_split_astral, 10, 0xDE00},
        WideCase{U"03\U0001F600", Fault::wide_content_end},
        WideCase{U"02\U0001F600", Fault::wide_no_terminator},
        WideCase{U"02\U0001F600;01\U0001F600\U0001F600", Fault::wide_split_astral, 8, 0xDE00}));

// ------------------------------------------------------- bounds of the input

/// A copy of some code units that ends exactly at an inaccessible page, so that
/// reading one unit past the end stops the test with a fault.
template <typename U> class GuardedCopy {
  public:
    explicit GuardedCopy(const std::vector<U>& units) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t bytes = units.size() * sizeof(U);
        pages_ = (bytes + page - 1) / page * page + page;
        base_ = mmap(nullptr, pages_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base_ == MAP_FAILED) {
            throw std::bad_alloc();
        }
        char* guard = static_cast<char*>(base_) + pages_ - page;
        mprotect(guard, page, PROT_NONE);
        data_ = reinterpret_cast<U*>(guard - bytes);
        if (bytes != 0) {
            std::memcpy(data_, units.data(), bytes);
        }
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    ~GuardedCopy() { munmap(base_, pages_); }
    const U* data() const { return data_; }

  private:
    void* base_ = nullptr;
    std::size_t pages_ = 0;
    U* data_ = nullptr;
};

TYPED_TEST(ParseTest, NeverReadsPastTheLengthItIsGiven) {
    // Every prefix of every document, whether it is a document itself or not.
    for (const std::vector<std::u32string_view>& docs :
         {[] {
              std::vector<std::u32string_view> d;
              for (const TableCase& c : table_cases()) {
                  d.push_back(c.document);
              }
              return d;
          }(),
          [] {
              std::vector<std::u32string_view> d;
              for (const FaultCase& c : fault_cases()) {
                  d.push_back(c.document);
              }
              return d;
          }()}) {
        for (std::u32string_view doc : docs) {
            if (!fits<TypeParam>(doc)) {
                continue;
            }
            for (std::size_t k = 0; k <= doc.size(); ++k) {
                const std::vector<TypeParam> prefix = units_of<TypeParam>(doc.substr(0, k));
                const GuardedCopy<TypeParam> guarded(prefix);
                RecordingSink<TypeParam> sink(guarded.data());
                const Result r =
                    dwex::codec::parse_document(guarded.data(), static_cast<std::int64_t>(k), sink);
                if (!r.ok()) {
                    // A position names a unit of the input, or 0 for the empty one.
                    EXPECT_LE(r.pos, static_cast<std::int64_t>(
                                         dwex::format::utf16_length(prefix.data(), k)));
                }
            }
        }
    }
}

TYPED_TEST(ParseTest, ProperPrefixesOfOneRowAreNotDocuments) {
    const std::u32string doc = U"01a02bc111hello world2007abcdefg00;";
    for (std::size_t k = 0; k < doc.size(); ++k) {
        const Outcome<TypeParam> o = read<TypeParam>(std::u32string_view(doc).substr(0, k));
        EXPECT_FALSE(o.result.ok()) << "prefix of " << k;
        EXPECT_TRUE(o.table.empty()) << "no row closes before the ';'";
    }
}

// --------------------------------------------------------------- sink faults

TYPED_TEST(ParseTest, StopsAtTheFirstFailingSinkCall) {
    // "01a;01b;" makes seven calls: table, row, item, end, row, item, end.
    constexpr bool wide = TestFixture::wide;
    const std::vector<Fault> at_call{
        Fault::table_sink,
        Fault::first_row_sink,
        wide ? Fault::wide_item_sink : Fault::narrow_item_sink,
        wide ? Fault::wide_row_end_sink : Fault::narrow_row_end_sink,
        wide ? Fault::wide_row_sink : Fault::narrow_row_sink,
        wide ? Fault::wide_item_sink : Fault::narrow_item_sink,
        wide ? Fault::wide_row_end_sink : Fault::narrow_row_end_sink,
    };
    const std::vector<TypeParam> data = units_of<TypeParam>(U"01a;01b;");
    for (int k = 0; k <= static_cast<int>(at_call.size()); ++k) {
        RecordingSink<TypeParam> sink(data.data(), k);
        const Result r =
            dwex::codec::parse_document(data.data(), static_cast<std::int64_t>(data.size()), sink);
        if (k < static_cast<int>(at_call.size())) {
            EXPECT_EQ(r, (Result{at_call[static_cast<std::size_t>(k)], 0, 0})) << "call " << k;
            EXPECT_EQ(sink.calls(), k + 1) << "no call after the failing one";
        } else {
            EXPECT_TRUE(r.ok());
            EXPECT_EQ(sink.calls(), 7) << "no row is started after the last ';'";
        }
    }
}

TYPED_TEST(ParseTest, EmptyInputBuildsNothing) {
    RecordingSink<TypeParam> sink(nullptr);
    const TypeParam none[1] = {};
    EXPECT_EQ(dwex::codec::parse_document(none, 0, sink), (Result{Fault::empty_input, 0, 0}));
    EXPECT_EQ(sink.calls(), 0);
}

} // namespace
