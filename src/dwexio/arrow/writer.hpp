// writer.hpp: Arrow record batches of string columns written as a DWEX
// document, byte for byte what dwex.stringify of their rows gives in UTF-8.
#ifndef DWEXIO_ARROW_WRITER_HPP
#define DWEXIO_ARROW_WRITER_HPP

#include "dwexio/arrow/abi.hpp"
#include "dwexio/arrow/cells.hpp"
#include "dwexio/arrow/columns.hpp"
#include "dwexio/arrow/hex_digits.hpp"

#include "dwex/ref.hpp"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dwexio {

/// Takes over a stream (or one batch and its schema) from a producer, checks
/// that every column holds strings, and writes the rows to a file. Needs the
/// interpreter throughout. Every failure is a false return with an
/// exception set.
class TableWriter {
  public:
    TableWriter() = default;
    ~TableWriter();
    TableWriter(const TableWriter&) = delete;
    TableWriter& operator=(const TableWriter&) = delete;

    /// Takes `stream` (its release moves here). False with TypeError set for
    /// a column that is not of strings: its arguments are the column's
    /// number, name and type, and whether pyarrow gives the type a text form.
    bool adopt_stream(ArrowArrayStream* stream) noexcept;
    /// Takes one batch and its schema.
    bool adopt_array(ArrowSchema* schema, ArrowArray* array) noexcept;
    /// Puts what adopt_stream() or adopt_array() took back where it came
    /// from, unread, for another consumer after a refusal.
    void give_back(ArrowArrayStream* stream, ArrowSchema* schema, ArrowArray* array) noexcept;

    /// Writes the document to `file` (its write() takes bytes, or str for a
    /// text file); `null` (or null) is the text of a null cell. A writer
    /// writes once: a second call, or one from inside the first, is refused.
    bool write(PyObject* file, bool text_file, bool header, PyObject* null) noexcept;

  private:
    /// Reads HEX and everything else a write needs before its first byte.
    bool prepare(PyObject* file, bool text_file, PyObject* null) noexcept;
    bool check_schema() noexcept;
    bool next_batch(ArrowArray* out) noexcept;
    /// Whether `batch` can be written whole: its columns match, and it
    /// holds no null or there is a text for one.
    bool check_batch(const ArrowArray& batch) const noexcept;
    bool write_batch(const ArrowArray& batch) noexcept;
    /// Rows [first, end) of plain columns at `p`: false where they could
    /// take more than one flush's worth, or with an exception set.
    bool put_block(const std::vector<arrow::PlainColumn>& plain, std::int64_t first,
                   std::int64_t end, std::uint8_t*& p, bool* done) noexcept;
    bool put_row(const ArrowArray& batch, const std::vector<arrow::PlainColumn>& plain,
                 std::int64_t r, std::uint8_t*& p) noexcept;
    /// Writes `batch` with any width digits HEX gives: a cell at a time.
    bool write_batch_any(const ArrowArray& batch) noexcept;
    /// The text of row `r` of column `k`: a null's text, or false with
    /// ValueError set where no text for a null was given.
    bool leaf_at(const ArrowArray& batch, std::size_t k, std::int64_t r, const std::uint8_t** data,
                 std::size_t* size) const noexcept;
    /// False with ValueError set, naming the column and the row (counted
    /// from 1 in the document), for a null where no text for one was given.
    bool no_text_for_null(std::size_t k, std::int64_t row) const noexcept;
    /// Whether `batch` holds no null (true), else no_text_for_null() of the
    /// first.
    bool check_nulls(const ArrowArray& batch) const noexcept;
    /// One cell of column `k` (a header's too) with the width digit HEX
    /// gives for it, or HEX's error for it.
    bool any_cell(const std::uint8_t* data, std::size_t size, std::size_t k) noexcept;
    bool header_row() noexcept;
    bool end_row() noexcept;
    bool flush() noexcept;
    /// Whether `file` is of a type whose write() copies what it is given, or
    /// writes it out, before returning: such a file is lent a view of the
    /// output buffer rather than given a copy. -1 with an exception set.
    static int lends_view(PyObject* file) noexcept;
    /// Flushes, unless the document is held whole, and makes room for `size`
    /// bytes more than a flush's worth.
    bool make_room(std::size_t size) noexcept;
    /// Room for `size` more bytes at `p`, which moves with the buffer.
    bool room_for(std::uint8_t*& p, std::size_t size) noexcept;

    ArrowArrayStream stream_{};
    ArrowSchema schema_{};
    ArrowArray single_{};
    bool has_stream_ = false;
    std::vector<arrow::ColumnLayout> layouts_;
    std::vector<std::string> names_;
    arrow::Buffer out_;
    PyObject* file_ = nullptr; // borrowed for the duration of write()
    bool text_file_ = false;
    bool lends_view_ = false; // the file's write() is one known to keep nothing it is given
    std::string null_;
    bool has_null_ = false;
    std::int64_t row_ = 0; // rows written so far
    std::atomic_flag used_ = ATOMIC_FLAG_INIT;
    HexDigits hex_;
    // With HEX's digits all one ASCII byte: the fast paths' writer.
    std::optional<arrow::CellWriter> cells_;
    // HEX fails for some count: the document goes to the file only once
    // whole, so that a failing cell leaves the file untouched.
    bool hold_ = false;
    dwex::Ref other_digit_;        // the first width digit that is not a str
    std::int64_t other_piece_ = 0; // and its piece of stringify's join
};

} // namespace dwexio

#endif
