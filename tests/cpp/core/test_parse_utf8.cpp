// The UTF-8 row reader: leaves cut by their UTF-16 length, the verdicts of the
// narrow and the wide loop at the document's end, and asking for more bytes
// wherever the verdict lies beyond them.
#include "core/parse_utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using dwex::codec::read_row;
using dwex::codec::Row;
using dwex::codec::RowStop;
using dwex::codec::Span;

struct Read {
    Row row;
    std::vector<std::string> cells;
};

Read read(const std::string& text, bool at_eof, bool narrow_end = true) {
    const auto* start = reinterpret_cast<const std::uint8_t*>(text.data());
    std::vector<Span> spans;
    Read r{read_row(start, start + text.size(), at_eof, narrow_end, spans), {}};
    for (const Span& s : spans) {
        r.cells.emplace_back(text.substr(static_cast<std::size_t>(s.begin),
                                         static_cast<std::size_t>(s.end - s.begin)));
    }
    return r;
}

TEST(ReadRow, CutsLeavesByTheirUtf16Length) {
    // "é" is one unit in two bytes, U+1F600 two units in four; ';' inside a leaf is content.
    const Read r = read("01\xc3\xa9"
                        "02\xf0\x9f\x98\x80"
                        "03;;;"
                        "a00000000001x;rest",
                        false);
    ASSERT_EQ(r.row.stop, RowStop::complete);
    EXPECT_EQ(r.cells, (std::vector<std::string>{"\xc3\xa9", "\xf0\x9f\x98\x80", ";;;", "x"}));
    EXPECT_EQ(r.row.units, 2 + 1 + 2 + 2 + 2 + 3 + 13 + 1);
    EXPECT_TRUE(r.row.astral);
    EXPECT_EQ(r.row.next, 29);
}

TEST(ReadRow, AsksForMoreUntilTheVerdictIsInTheBytes) {
    for (const char* part : {"", "0", "01", "01a", "1", "10", "105abc", "01\xc3", "0x"}) {
        const Read r = read(part, false);
        EXPECT_EQ(r.row.stop, RowStop::need_more) << part;
        EXPECT_GT(r.row.want, static_cast<std::int64_t>(std::string(part).size())) << part;
    }
    EXPECT_EQ(read("105abc", false).row.want, 9); // past the content, and one byte more
}

TEST(ReadRow, EndsAsTheNarrowOrTheWideLoopEnds) {
    // A length field at the last code point: the narrow loop ends the input
    // there, the wide loop reads the bad digit first.
    EXPECT_EQ(read("0x", true, true).row.stop, RowStop::end_of_input);
    const Row wide = read("0x", true, false).row;
    EXPECT_EQ(wide.stop, RowStop::token);
    EXPECT_EQ(wide.position, 1);
    EXPECT_EQ(wide.code_point, U'x');
    // Away from the end the two agree.
    EXPECT_EQ(read("0x;", true, true).row.stop, RowStop::token);
    EXPECT_EQ(read("1x", true, false).row.stop, RowStop::end_of_input);
    EXPECT_EQ(read("01a", true).row.stop, RowStop::end_of_input);
    // A length that ends inside U+1F600 names its low surrogate.
    const Row split = read("01\xf0\x9f\x98\x80;", true, false).row;
    EXPECT_EQ(split.stop, RowStop::token);
    EXPECT_EQ(split.position, 3);
    EXPECT_EQ(split.code_point, 0xDE00u);
    // Positions count UTF-16 units: the 'g' follows five of them.
    const Row token = read("02\xc3\xa9\xc3\xa9g", true).row;
    EXPECT_EQ(token.position, 4);
    EXPECT_EQ(token.code_point, U'g');
}

TEST(ReadRow, ReportsLoneSurrogatesAndBrokenBytes) {
    const Read surrogate = read("01a01\xed\xa0\x80;", true);
    EXPECT_EQ(surrogate.row.stop, RowStop::lone_surrogate);
    EXPECT_EQ(surrogate.cells.size(), 2u);
    const Row broken = read("01a01\xff;", true).row;
    EXPECT_EQ(broken.stop, RowStop::invalid_utf8);
    EXPECT_EQ(broken.next, 5);
    EXPECT_EQ(read("01\xe4\xb8", true).row.stop, RowStop::invalid_utf8);
}

} // namespace
