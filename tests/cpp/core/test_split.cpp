// The splitter: every way of cutting a document into stretches reads what one
// reader going through it reads, rows, fault and position alike, and a
// guess made in a window is the whole document's guess or asks for more.
#include "split_check.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

using dwex::codec::GuessRule;
using dwex::codec::RowStop;
using namespace dwex::split_check;

/// An item of fewer than ten ASCII characters.
std::string item(const std::string& leaf) { return "0" + std::to_string(leaf.size()) + leaf; }

const std::string three_rows =
    item("ab") + item("c") + ";" + item("de") + item("f") + ";" + item("gh") + item("i") + ";";

/// Every second stretch starting at every byte, ';' or not: the stretch
/// that guessed wrong is read again, and the whole agrees.
TEST(Split, EveryStartAroundEveryRowReadsAsOneReader) {
    const std::string damaged = three_rows.substr(0, 12) + "x" + three_rows.substr(13);
    const std::string dwex_leaf =
        item("a") + "111" + std::string("01x01y;01z;") + ";" + item("b") + ";";
    for (const std::string& doc :
         {three_rows, damaged, dwex_leaf, std::string(";;;"), std::string("01a;0")}) {
        const Outcome alone = read_alone(doc);
        for (std::int64_t s = 1; s < static_cast<std::int64_t>(doc.size()); ++s) {
            EXPECT_EQ(read_split(doc, {0, s}), alone) << doc << " cut at " << s;
            EXPECT_EQ(read_split(doc, {0, s, s + 1}), alone) << doc << " cut at " << s;
        }
    }
}

TEST(Split, OneToEightStretchesOnThreeRows) {
    const Outcome alone = read_alone(three_rows);
    ASSERT_EQ(alone.rows.size(), 3u);
    ASSERT_EQ(alone.fault.stop, RowStop::complete);
    for (std::int64_t stretches = 1; stretches <= 8; ++stretches) {
        for (const std::int64_t columns : {-1, 2, 3}) {
            EXPECT_EQ(read_guessed(three_rows, stretches, GuessRule{columns, 2}), alone)
                << stretches << " stretches, " << columns << " columns";
        }
    }
}

/// A leaf that holds a document of the same shape: the guess inside it reads
/// as rows, so only the check against the stretch before tells it apart.
TEST(Split, ALeafHoldingDwexTextIsReadAgain) {
    const std::string inner = item("p") + item("q") + ";" + item("r") + item("s") + ";";
    const std::string doc =
        item("a") + "1" + std::to_string(inner.size()) + inner + ";" + item("b") + item("c") + ";";
    const std::int64_t inside = 6;
    const auto guess = dwex::codec::guess_row_start(
        reinterpret_cast<const std::uint8_t*>(doc.data()), static_cast<std::int64_t>(doc.size()),
        inside, true, GuessRule{2, 1});
    ASSERT_GT(guess.at, inside);
    ASSERT_LT(guess.at, 6 + static_cast<std::int64_t>(inner.size())); // inside the leaf
    const Outcome alone = read_alone(doc);
    ASSERT_EQ(alone.rows.size(), 2u);
    EXPECT_EQ(read_split(doc, {0, guess.at}), alone);
}

TEST(Split, ARowLongerThanAStretch) {
    const std::string leaf(300, 'x');
    const std::string doc = item("a") + ";" + "2300" + leaf + item("b") + ";" + item("c") + ";";
    const Outcome alone = read_alone(doc);
    for (std::int64_t stretches = 2; stretches <= 8; ++stretches) {
        EXPECT_EQ(read_guessed(doc, stretches, GuessRule{}), alone) << stretches;
    }
}

/// The fault's position counts the UTF-16 units of every stretch before it.
TEST(Split, ADamagedRowInTheSecondStretch) {
    // Ten bytes and eight units a row: one unit in two bytes, two in four.
    const std::string row = "01\xc3\xa9"
                            "02\xf0\x9f\x98\x80;";
    std::string doc;
    for (int k = 0; k < 20; ++k) {
        doc += row;
    }
    const std::size_t damaged_row = 15;
    doc[damaged_row * row.size()] = 'g';
    const Outcome alone = read_alone(doc);
    ASSERT_EQ(alone.fault.stop, RowStop::token);
    EXPECT_EQ(alone.fault.code_point, U'g');
    EXPECT_EQ(alone.position, static_cast<std::int64_t>(damaged_row) * 8);
    EXPECT_EQ(read_guessed(doc, 2, GuessRule{2, 3}), alone);
    EXPECT_EQ(read_guessed(doc, 4, GuessRule{2, 3}), alone);
}

/// Length digits at the document's end read first when it holds an astral
/// code point anywhere, in an earlier stretch too.
TEST(Split, TheEndRuleSeesTheWholeDocument) {
    const std::string doc = "02\xf0\x9f\x98\x80;" + item("ab") + ";" + "0x";
    const Outcome alone = read_alone(doc);
    ASSERT_EQ(alone.fault.stop, RowStop::token);
    EXPECT_EQ(read_split(doc, {0, 7}), alone);
    const Outcome narrow = read_alone("01a;02ab;0x");
    EXPECT_EQ(narrow.fault.stop, RowStop::end_of_input);
    EXPECT_EQ(read_split("01a;02ab;0x", {0, 4}), narrow);
}

TEST(Split, AWindowGuessesAsTheWholeDocumentOrAsksForMore) {
    std::string doc;
    for (int k = 0; k < 12; ++k) {
        doc += item(std::string(static_cast<std::size_t>(k % 5), ';')) + item("z") + ";";
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(doc.data());
    const auto length = static_cast<std::int64_t>(doc.size());
    for (std::int64_t from = 0; from < length; from += 3) {
        const auto whole = dwex::codec::guess_row_start(data, length, from, true, GuessRule{2, 3});
        for (std::int64_t window = from; window <= length; ++window) {
            const auto part =
                dwex::codec::guess_row_start(data, window, from, window == length, GuessRule{2, 3});
            if (!part.need_more) {
                EXPECT_EQ(part.at, whole.at) << "from " << from << " window " << window;
            }
        }
    }
}

/// A window of the document split with the threaded reader's policy, which
/// stops at the first wrong guess and reads on alone, at every window end.
TEST(Split, AWindowStopsAtAWrongGuessAndReadsOnAlone) {
    const std::string inner = item("p") + item("q") + ";" + item("r") + item("s") + ";";
    const std::string doc = three_rows + item("a") + "1" + std::to_string(inner.size()) + inner +
                            ";" + three_rows + "x";
    const Outcome alone = read_alone(doc);
    ASSERT_EQ(alone.fault.stop, RowStop::token);
    for (std::int64_t stretches = 2; stretches <= 6; ++stretches) {
        for (std::int64_t window = 0; window <= static_cast<std::int64_t>(doc.size()); ++window) {
            const dwex::codec::SplitPolicy policy{GuessRule{2, 1}, stretches,
                                                  dwex::codec::WrongGuess::stop};
            EXPECT_EQ(read_windowed(doc, window, policy), alone)
                << stretches << " stretches, window " << window;
        }
    }
}

/// A part read through a window that grows when a row does not fit in it,
/// as a planner reads a file, gets the rows of one reader.
TEST(Split, AStretchReadThroughGrowingWindows) {
    const std::string doc = three_rows + "2120" + std::string(120, 'w') + ";" + three_rows;
    const auto length = static_cast<std::int64_t>(doc.size());
    for (std::int64_t window = 1; window <= 16; ++window) {
        RowsSink sink;
        std::int64_t at = 0;
        std::int64_t reach_to = window;
        while (at < length) {
            const std::int64_t end = std::min(reach_to, length);
            const auto reach =
                dwex::codec::read_stretch(bytes(doc), end, at, length, end == length, true, sink);
            ASSERT_TRUE(reach.ok() || reach.fault.stop == RowStop::need_more) << window;
            reach_to =
                reach.ok() ? reach.end + window : std::max(end + window, at + reach.fault.want);
            at = reach.end;
        }
        EXPECT_EQ(sink.rows, read_alone(doc).rows) << window;
    }
}

/// The stretches read on threads of their own give what one thread gives.
TEST(Split, StretchesOnThreads) {
    std::string doc;
    for (int k = 0; k < 500; ++k) {
        doc += item(std::to_string(k)) + "01\xe4\xb8\xad;";
    }
    const auto threads = [](std::int64_t count, auto&& job) {
        std::vector<std::thread> running;
        for (std::int64_t k = 0; k < count; ++k) {
            running.emplace_back([&job, k] { job(k); });
        }
        for (auto& t : running) {
            t.join();
        }
    };
    EXPECT_EQ(read_guessed(doc, 4, GuessRule{2, 4}, threads), read_alone(doc));
}

} // namespace
