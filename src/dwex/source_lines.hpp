// source_lines.hpp: every source line that the module's traceback entries
// report, and the statement lines that the code objects of `stringify` and
// `parse` map their code onto. Each number is written here once; the code
// objects, the binding steps, the writers and the reader name these.
#ifndef DWEX_SOURCE_LINES_HPP
#define DWEX_SOURCE_LINES_HPP

#include <array>
#include <cstddef>

namespace dwex::source_lines {

/// The execution step of the module, reported as "init dwex".
namespace init {
inline constexpr int frame = 1; // the module's own objects and sys.modules
inline constexpr int sys = 6;
inline constexpr int all = 16;
inline constexpr int hex = 18;
inline constexpr int end_of_input = 19;
inline constexpr int codec = 20;
} // namespace init

namespace stringify {
inline constexpr int binding = 23; // the binding step, and the code object's first line
inline constexpr int table = 31;   // iterating the table
inline constexpr int row = 32;     // iterating a row
inline constexpr int text = 34;    // str() of a leaf
inline constexpr int digit = 50;   // the width digit: HEX and its item
inline constexpr int terminator = 53;
inline constexpr int join = 54;
/// Every statement line, in order; the lines that report no failure are the
/// function's other statements.
inline constexpr std::array statements = {binding, 25, table, row,        text, 49,
                                          digit,   51, 52,    terminator, join};
} // namespace stringify

namespace parse {
inline constexpr int binding = 57; // the binding step, and the code object's first line
inline constexpr int empty_input = 64;
inline constexpr int table_sink = 67;
inline constexpr int first_row_sink = 68;
inline constexpr int narrow_row_end_sink = 87;
inline constexpr int narrow_row_sink = 91;
inline constexpr int narrow_width_digit = 102;
inline constexpr int narrow_length_end = 106;
inline constexpr int narrow_length_digit = 112;
inline constexpr int narrow_content_end = 119;
inline constexpr int narrow_item_sink = 121;
inline constexpr int wide_row_end_sink = 138;
inline constexpr int wide_row_sink = 143;
inline constexpr int wide_width_digit = 152;
inline constexpr int wide_length_end = 160;
inline constexpr int wide_length_digit = 166;
inline constexpr int wide_content_end = 177;
inline constexpr int split_astral = 190;         // the exception
inline constexpr int split_astral_message = 191; // its message, built after it
inline constexpr int wide_no_terminator = 195;
inline constexpr int wide_item_sink = 197;
/// Every statement line, in order.
inline constexpr std::array statements = {binding,
                                          empty_input,
                                          table_sink,
                                          first_row_sink,
                                          narrow_row_end_sink,
                                          narrow_row_sink,
                                          narrow_width_digit,
                                          narrow_length_end,
                                          narrow_length_digit,
                                          narrow_content_end,
                                          narrow_item_sink,
                                          wide_row_end_sink,
                                          wide_row_sink,
                                          wide_width_digit,
                                          wide_length_end,
                                          wide_length_digit,
                                          wide_content_end,
                                          split_astral,
                                          split_astral_message,
                                          wide_no_terminator,
                                          wide_item_sink,
                                          198};
} // namespace parse

/// A location table maps code units onto lines in order and starts at the
/// code object's first line, which is the binding step's line.
template <std::size_t N>
constexpr bool is_line_table_of(const std::array<int, N>& lines, int first_line) noexcept {
    if (N == 0 || lines[0] != first_line) {
        return false;
    }
    for (std::size_t k = 1; k < N; ++k) {
        if (lines[k] <= lines[k - 1]) {
            return false;
        }
    }
    return true;
}
static_assert(is_line_table_of(stringify::statements, stringify::binding));
static_assert(is_line_table_of(parse::statements, parse::binding));

} // namespace dwex::source_lines

#endif
