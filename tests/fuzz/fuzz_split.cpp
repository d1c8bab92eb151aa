// fuzz_split.cpp: libFuzzer target for the splitter, with no interpreter.
// The first byte of an input chooses the number of stretches and the guess's
// rule; the rest is a document, taken as raw bytes (UTF-8 or not) and, mapped
// to code points that matter to the reader, as its UTF-8 encoding. Every
// split read must equal one reader going through the document, from guessed
// stretch starts and from starts taken from the input, which need not be row
// starts, and a window of it read as the threaded Arrow reader reads one
// (stopping at a wrong guess, then reading on alone); and one reader must
// equal the str reader on the decoded text.
#include "../cpp/core/split_check.hpp"
#include "core/parse.hpp"
#include "inputs.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using dwex::codec::FaultKind;
using dwex::codec::RowStop;
using dwex::split_check::Outcome;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_split: %s\n", what);
        std::abort();
    }
}

struct Counter {
    std::int64_t rows = 0;
    bool start_table() { return true; }
    bool start_row() { return true; }
    bool end_row() {
        ++rows;
        return true;
    }
    bool item(std::int64_t, std::int64_t, std::uint32_t = 0) { return true; }
};

/// One reader over the bytes agrees with the str reader over the code
/// points: the same rows, the same kind of fault at the same position. A
/// lone surrogate stops the row reader, which builds Arrow strings, so the
/// comparison ends there.
void check_against_str(const std::vector<std::uint32_t>& cps, const Outcome& alone) {
    if (alone.fault.stop == RowStop::lone_surrogate) {
        return;
    }
    Counter counter;
    const bool astral =
        std::any_of(cps.begin(), cps.end(), [](std::uint32_t c) { return c > 0xFFFF; });
    dwex::codec::Result r;
    if (astral) {
        r = dwex::codec::parse_document(cps.data(), static_cast<std::int64_t>(cps.size()), counter);
    } else {
        const std::vector<std::uint16_t> narrow(cps.begin(), cps.end());
        r = dwex::codec::parse_document(narrow.data(), static_cast<std::int64_t>(narrow.size()),
                                        counter);
    }
    const FaultKind kind = dwex::codec::fault_kind(r.fault);
    if (cps.empty()) {
        check(alone.fault.stop == RowStop::complete && alone.rows.empty(), "empty document");
        return;
    }
    switch (alone.fault.stop) {
    case RowStop::complete:
        check(kind == FaultKind::none, "bytes read, str not");
        break;
    case RowStop::end_of_input:
        check(kind == FaultKind::end_of_input, "end of input in bytes only");
        break;
    case RowStop::token:
        check(kind == FaultKind::unexpected_token && r.pos == alone.position &&
                  r.code_point == alone.fault.code_point,
              "tokens differ");
        break;
    default:
        check(false, "valid UTF-8 read as invalid");
    }
    // Each complete row of the bytes is one the str reader closed too.
    const auto read = static_cast<std::int64_t>(alone.rows.size());
    check(kind == FaultKind::none ? read == counter.rows : read <= counter.rows, "rows differ");
}

void check_splits(const std::string& doc, std::int64_t stretches, std::int64_t rows,
                  const std::uint8_t* starts, std::size_t count) {
    const Outcome alone = dwex::split_check::read_alone(doc);
    for (const std::int64_t columns : {std::int64_t{-1}, std::int64_t{2}}) {
        check(dwex::split_check::read_guessed(doc, stretches, {columns, rows}) == alone,
              "guessed stretches differ from one reader");
    }
    // Starts from the input: increasing offsets, anywhere.
    std::vector<std::int64_t> given{0};
    for (std::size_t k = 0; k < count; ++k) {
        const std::int64_t next = given.back() + 1 + starts[k] % 16;
        if (next >= static_cast<std::int64_t>(doc.size())) {
            break;
        }
        given.push_back(next);
    }
    check(dwex::split_check::read_split(doc, given) == alone, "given stretches differ");
    // As the threaded reader reads a file: a window, stopping at a wrong guess.
    const std::int64_t window = count == 0 ? 0 : given.back();
    const dwex::codec::SplitPolicy policy{{2, rows}, stretches, dwex::codec::WrongGuess::stop};
    check(dwex::split_check::read_windowed(doc, window, policy) == alone,
          "a window read with stops differs");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::int64_t stretches = 1 + (data[0] & 7);
    const std::int64_t rows = 1 + (data[0] >> 3 & 7);
    const std::uint8_t* body = data + 1;
    const std::size_t n = size - 1;
    const std::string raw(reinterpret_cast<const char*>(body), n);
    check_splits(raw, stretches, rows, body, n);
    std::vector<std::uint32_t> cps;
    for (std::size_t k = 0; k < n; ++k) {
        cps.push_back(dwex::fuzz::special(body[k]));
    }
    const std::string encoded = dwex::fuzz::encode(cps).bytes;
    check_splits(encoded, stretches, rows, body, n);
    check_against_str(cps, dwex::split_check::read_alone(encoded));
    return 0;
}
