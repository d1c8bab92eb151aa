// fuzz_parse.cpp: libFuzzer target for the reader's loops and the writer's
// buffer, with no interpreter. The input bytes become code-unit arrays of each
// width and their UTF-8 bytes (lone surrogates as Python's "surrogatepass"
// writes them); the loop at every width and over the bytes is checked against
// a plain statement of the format written here, the widths against each
// other where the format says they agree, every
// sink failure against the run without one, and tables derived from the input
// are written into the growing output buffer and read back.
#include "core/decimal.hpp"
#include "core/format.hpp"
#include "core/output.hpp"
#include "core/parse.hpp"
#include "core/parse_utf8.hpp"
#include "inputs.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace {

using dwex::codec::Fault;
using dwex::codec::FaultKind;
using dwex::codec::Result;

[[noreturn]] void fail(const char* what, std::size_t where = 0) {
    std::fprintf(stderr, "fuzz_parse: %s (%zu)\n", what, where);
    std::abort();
}

void check(bool ok, const char* what, std::size_t where = 0) {
    if (!ok) {
        fail(what, where);
    }
}

// ------------------------------------------------------------------ events

/// What the reader reported, in order: 'T' table, 'R' row started, 'E' row
/// ended, 'I' item [b, e).
struct Event {
    char what;
    std::int64_t b = 0;
    std::int64_t e = 0;
    friend bool operator==(const Event&, const Event&) = default;
};

/// Records every report; refuses call number `fail_at` (from 0), if given.
class Sink {
  public:
    explicit Sink(std::optional<std::size_t> fail_at = std::nullopt) : fail_at_(fail_at) {}
    bool start_table() { return take({'T'}); }
    bool start_row() { return take({'R'}); }
    bool end_row() { return take({'E'}); }
    bool item(std::int64_t b, std::int64_t e, std::uint32_t = 0) { return take({'I', b, e}); }
    std::vector<Event> events;

  private:
    bool take(Event ev) {
        if (fail_at_ && events.size() == *fail_at_) {
            refused = ev.what;
            return false;
        }
        events.push_back(ev);
        return true;
    }
    std::optional<std::size_t> fail_at_;

  public:
    char refused = 0;
};

struct Run {
    Result result;
    std::vector<Event> events;
};

template <typename U> Run run(const std::vector<U>& units) {
    Sink sink;
    const Result r =
        dwex::codec::parse_document(units.data(), static_cast<std::int64_t>(units.size()), sink);
    return {r, sink.events};
}

// ------------------------------------------------------------------ reference

/// The format read straight from its definition, over code points, with the
/// narrow reader's test of the length digits (`wide` false) or the wide one's.
/// Its result uses the first fault of each kind for its kind alone.
Run reference(const std::vector<std::uint32_t>& t, bool wide) {
    const std::size_t n = t.size();
    std::vector<std::int64_t> u16(n + 1, 0); // UTF-16 position of each code point
    for (std::size_t k = 0; k < n; ++k) {
        u16[k + 1] = u16[k] + (t[k] > 0xFFFF ? 2 : 1);
    }
    Run out;
    auto end = [&] {
        out.result = Result{Fault::empty_input, 0, 0};
        return out;
    };
    auto token = [&](std::uint32_t cp, std::int64_t pos) {
        out.result = Result{Fault::narrow_width_digit, pos, cp};
        return out;
    };
    auto hex = [](std::uint32_t c) -> int {
        if (c >= '0' && c <= '9')
            return static_cast<int>(c - '0');
        if (c >= 'a' && c <= 'f')
            return static_cast<int>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F')
            return static_cast<int>(c - 'A' + 10);
        return -1;
    };
    if (n == 0) {
        return end();
    }
    out.events = {{'T'}, {'R'}};
    std::size_t k = 0;
    for (;;) {
        if (t[k] == ';') {
            out.events.push_back({'E'});
            if (++k == n) {
                return out;
            }
            out.events.push_back({'R'});
            continue;
        }
        const int h = hex(t[k]);
        if (h < 0) {
            return token(t[k], u16[k]);
        }
        const std::size_t start = k + static_cast<std::size_t>(h) + 2;
        if (start > n || (start == n && !wide)) {
            return end();
        }
        std::int64_t value = 0;
        for (std::size_t d = k + 1; d < start; ++d) {
            if (t[d] < '0' || t[d] > '9') {
                return token(t[d], u16[d]);
            }
            value = value * 10 + (t[d] - '0');
        }
        const std::int64_t target = u16[start] + value;
        if (target > u16[n]) {
            return end();
        }
        const std::size_t stop = static_cast<std::size_t>(
            std::lower_bound(u16.begin() + static_cast<std::ptrdiff_t>(start), u16.end(), target) -
            u16.begin());
        if (u16[stop] != target) {
            return token(0xDC00 | (t[stop - 1] & 0x3FF), target);
        }
        if (stop == n) {
            return end();
        }
        out.events.push_back(
            {'I', static_cast<std::int64_t>(start), static_cast<std::int64_t>(stop)});
        k = stop;
    }
}

/// The module's result matches the reference: the same kind of fault, the
/// same token and position, the same reports before it.
void check_against_reference(const Run& got, const Run& want, const char* width) {
    const FaultKind got_kind = dwex::codec::fault_kind(got.result.fault);
    const FaultKind want_kind = want.result.fault == Fault::none ? FaultKind::none
                                : want.result.fault == Fault::empty_input
                                    ? FaultKind::end_of_input
                                    : FaultKind::unexpected_token;
    if (got_kind != want_kind || got.result.pos != want.result.pos ||
        got.result.code_point != want.result.code_point || got.events != want.events) {
        std::fprintf(stderr, "%s loop: fault %d pos %lld cp %u; reference kind %d pos %lld cp %u\n",
                     width, static_cast<int>(got.result.fault),
                     static_cast<long long>(got.result.pos), got.result.code_point,
                     static_cast<int>(want_kind), static_cast<long long>(want.result.pos),
                     want.result.code_point);
        fail("disagrees with the reference");
    }
}

// ------------------------------------------------------------------ widths

/// The wide fault that a narrow one corresponds to.
Fault as_wide(Fault f) {
    switch (f) {
    case Fault::narrow_row_end_sink:
        return Fault::wide_row_end_sink;
    case Fault::narrow_row_sink:
        return Fault::wide_row_sink;
    case Fault::narrow_width_digit:
        return Fault::wide_width_digit;
    case Fault::narrow_length_end:
        return Fault::wide_length_end;
    case Fault::narrow_length_digit:
        return Fault::wide_length_digit;
    case Fault::narrow_item_sink:
        return Fault::wide_item_sink;
    default:
        return f;
    }
}

/// The same BMP code points read by a narrow loop and by the wide loop agree,
/// except where the length digits end on the last code point: the narrow
/// loop stops before reading them, the wide one reads them and may report a
/// non-digit among them, or run out of input after them.
void check_narrow_against_wide(const Run& narrow, const Run& wide) {
    check(narrow.events == wide.events, "narrow and wide reports differ");
    const Fault n = narrow.result.fault;
    const Fault w = wide.result.fault;
    if (n == Fault::narrow_length_end && w != Fault::wide_length_end) {
        check(w == Fault::wide_length_digit || w == Fault::wide_content_end ||
                  w == Fault::wide_no_terminator,
              "wide loop after digits at the end");
        return;
    }
    if (n == Fault::narrow_content_end) {
        check(w == Fault::wide_content_end || w == Fault::wide_no_terminator, "content end");
        return;
    }
    check(as_wide(n) == w && narrow.result.pos == wide.result.pos &&
              narrow.result.code_point == wide.result.code_point,
          "narrow and wide results differ");
}

template <typename Out> std::vector<Out> narrowed(const std::vector<std::uint32_t>& cps) {
    return std::vector<Out>(cps.begin(), cps.end());
}

/// Every sink failure stops the loop at once with the fault of that call, and
/// what was reported before it is what the full run reported.
template <typename U> void check_sink_failures(const std::vector<U>& units, const Run& full) {
    const bool wide = sizeof(U) == 4;
    const std::size_t calls = full.events.size();
    const std::size_t step = calls > 64 ? calls / 32 : 1;
    for (std::size_t k = 0; k < calls; k += step) {
        Sink sink(k);
        const Result r = dwex::codec::parse_document(units.data(),
                                                     static_cast<std::int64_t>(units.size()), sink);
        check(sink.events.size() == k &&
                  std::equal(sink.events.begin(), sink.events.end(), full.events.begin()),
              "reports before a sink failure", k);
        Fault expected = Fault::none;
        switch (sink.refused) {
        case 'T':
            expected = Fault::table_sink;
            break;
        case 'R':
            expected = k == 1 ? Fault::first_row_sink
                       : wide ? Fault::wide_row_sink
                              : Fault::narrow_row_sink;
            break;
        case 'E':
            expected = wide ? Fault::wide_row_end_sink : Fault::narrow_row_end_sink;
            break;
        case 'I':
            expected = wide ? Fault::wide_item_sink : Fault::narrow_item_sink;
            break;
        default:
            fail("no call refused", k);
        }
        check(r.fault == expected && r.pos == 0 && r.code_point == 0, "sink failure fault", k);
    }
}

// ------------------------------------------------------------------ inputs

using dwex::fuzz::special;

/// The UTF-8 bytes of the code points read by the loop's UTF-8 policy, with
/// the narrow rule at the end where no code point is astral, as a file reader
/// reads them; items are reported as code-point indices, to compare.
Run run_utf8(const std::vector<std::uint32_t>& cps, bool astral) {
    struct Utf8Sink : Sink {
        using Sink::item;
        const std::vector<std::int64_t>* index_at = nullptr;
        bool item(std::int64_t b, std::int64_t e, dwex::codec::Utf8Leaf) {
            return Sink::item((*index_at)[static_cast<std::size_t>(b)],
                              (*index_at)[static_cast<std::size_t>(e)]);
        }
    };
    const dwex::fuzz::Encoded encoded = dwex::fuzz::encode(cps);
    Utf8Sink sink;
    sink.index_at = &encoded.index_at;
    const dwex::codec::Utf8Bytes in{reinterpret_cast<const std::uint8_t*>(encoded.bytes.data()),
                                    static_cast<std::int64_t>(encoded.bytes.size()), true, !astral};
    const Result r = dwex::codec::read_document(in, sink).result;
    check(dwex::codec::fault_kind(r.fault) != FaultKind::invalid_input, "valid UTF-8 refused");
    return {r, sink.events};
}

void check_all_widths(const std::vector<std::uint32_t>& cps) {
    const bool has_astral =
        std::any_of(cps.begin(), cps.end(), [](std::uint32_t c) { return c > 0xFFFF; });
    const Run wide = run(cps);
    check_against_reference(wide, reference(cps, true), "wide");
    check_against_reference(run_utf8(cps, has_astral), reference(cps, has_astral), "UTF-8");
    check_sink_failures(cps, wide);
    if (has_astral) {
        return;
    }
    const auto units16 = narrowed<std::uint16_t>(cps);
    const Run narrow16 = run(units16);
    check_against_reference(narrow16, reference(cps, false), "16-bit");
    check_narrow_against_wide(narrow16, wide);
    check_sink_failures(units16, narrow16);
    if (std::all_of(cps.begin(), cps.end(), [](std::uint32_t c) { return c < 0x100; })) {
        const auto units8 = narrowed<std::uint8_t>(cps);
        const Run narrow8 = run(units8);
        check(narrow8.result == narrow16.result && narrow8.events == narrow16.events,
              "8-bit and 16-bit differ");
        check_sink_failures(units8, narrow8);
    }
}

// ------------------------------------------------------------------ round trip

// The C library's heap: the fuzzer runs without the interpreter.
struct HeapAllocator {
    static void* allocate(std::size_t n) noexcept { return std::malloc(n); }
    static void* reallocate(void* p, std::size_t n) noexcept { return std::realloc(p, n); }
    static void release(void* p) noexcept { std::free(p); }
};
using Output = dwex::codec::Output<HeapAllocator>;

template <typename U> void put(Output& out, std::uint32_t c) {
    U* at = out.cursor<U>();
    *at = static_cast<U>(c);
    out.advance_to(at + 1);
}

void put_any(Output& out, std::uint32_t c) {
    const int width = c < 0x100 ? 1 : c < 0x10000 ? 2 : 4;
    check(out.reserve(1, width), "reserve");
    switch (out.width()) {
    case 1:
        put<std::uint8_t>(out, c);
        break;
    case 2:
        put<std::uint16_t>(out, c);
        break;
    default:
        put<std::uint32_t>(out, c);
        break;
    }
}

/// Splits the code points into a table (0xFE ends an item, 0xFF a row), writes
/// it into the output buffer at the narrowest width, and reads it back at that
/// width and at 32 bits.
void check_round_trip(const std::uint8_t* data, std::size_t size) {
    std::vector<std::vector<std::vector<std::uint32_t>>> table(1);
    table.back().emplace_back();
    for (std::size_t k = 0; k < size; ++k) {
        if (data[k] == 0xFF) {
            table.emplace_back();
            table.back().emplace_back();
        } else if (data[k] == 0xFE) {
            table.back().emplace_back();
        } else {
            table.back().back().push_back(special(data[k]));
        }
    }
    Output out;
    std::vector<std::uint32_t> written;
    for (const auto& row : table) {
        for (const auto& leaf : row) {
            const std::size_t units = dwex::format::utf16_length(leaf.data(), leaf.size());
            const int count = dwex::format::decimal_digit_count(units);
            std::vector<std::uint32_t> item(1 + static_cast<std::size_t>(count));
            item[0] = static_cast<std::uint32_t>("0123456789abcdef"[count - 1]);
            dwex::format::write_digits(units, count, item.data() + 1);
            item.insert(item.end(), leaf.begin(), leaf.end());
            for (std::uint32_t c : item) {
                put_any(out, c);
            }
            written.insert(written.end(), item.begin(), item.end());
        }
        put_any(out, ';');
        written.push_back(';');
    }
    check(out.size() == written.size(), "buffer size");
    for (std::size_t k = 0; k < written.size(); ++k) {
        std::uint32_t c = 0;
        switch (out.width()) {
        case 1:
            c = static_cast<const std::uint8_t*>(out.data())[k];
            break;
        case 2:
            c = static_cast<const std::uint16_t*>(out.data())[k];
            break;
        default:
            c = static_cast<const std::uint32_t*>(out.data())[k];
            break;
        }
        check(c == written[k], "buffer content", k);
    }
    Run back = run(written);
    check(back.result.ok(), "written table does not read back");
    std::size_t at = 2; // after the table and its first row
    for (std::size_t r = 0; r < table.size(); ++r) {
        for (const auto& leaf : table[r]) {
            check(at < back.events.size() && back.events[at].what == 'I', "item missing", at);
            const Event& ev = back.events[at];
            ++at;
            check(std::equal(leaf.begin(), leaf.end(), written.begin() + ev.b,
                             written.begin() + ev.e) &&
                      static_cast<std::size_t>(ev.e - ev.b) == leaf.size(),
                  "item content", at);
        }
        check(at < back.events.size() && back.events[at].what == 'E', "row end missing", at);
        ++at;
        if (r + 1 < table.size()) {
            check(back.events[at].what == 'R', "row start missing", at);
            ++at;
        }
    }
    check(at == back.events.size(), "extra reports");
    if (out.width() < 4) {
        const auto narrow = narrowed<std::uint16_t>(written);
        check(run(narrow).events == back.events, "narrow read of the written table");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The bytes as code points of their own value (all widths agree on them).
    check_all_widths(std::vector<std::uint32_t>(data, data + size));
    // Byte pairs as 16-bit code units: every BMP code point, lone surrogates too.
    std::vector<std::uint32_t> pairs;
    for (std::size_t k = 0; k + 1 < size; k += 2) {
        pairs.push_back(static_cast<std::uint32_t>(data[k] | data[k + 1] << 8));
    }
    check_all_widths(pairs);
    // Bytes as ASCII or as one of the code points that matter, astral ones included.
    std::vector<std::uint32_t> mapped;
    for (std::size_t k = 0; k < size; ++k) {
        mapped.push_back(special(data[k]));
    }
    check_all_widths(mapped);
    check_round_trip(data, size);
    return 0;
}
