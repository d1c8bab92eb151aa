// arrow_writer.hpp: Arrow record batches of string columns written as a DWEX
// document, byte for byte what dwex.stringify of their rows gives in UTF-8.
#ifndef DWEXIO_ARROW_WRITER_HPP
#define DWEXIO_ARROW_WRITER_HPP

#include "dwexio/arrow/abi.hpp"

#include "dwex/ref.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace dwexio {

/// How one column's strings are laid out.
struct ColumnLayout {
    enum class Kind : std::uint8_t { string, large_string, string_view } kind;
    int index_bytes = 0; ///< a dictionary's index width in bytes, 0 for a plain column
    bool index_signed = false;
};

/// Takes over a stream (or one batch and its schema) from a producer, checks
/// that every column holds strings, and writes the rows to a file. Needs the
/// GIL throughout. Every failure is a false return with an exception set.
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
    /// text file); `null` (or null) is the text of a null cell.
    bool write(PyObject* file, bool text_file, bool header, PyObject* null) noexcept;

  private:
    bool check_schema() noexcept;
    bool next_batch(ArrowArray* out) noexcept;
    bool write_batch(const ArrowArray& batch) noexcept;
    /// The text of row `r` of column `k` that is not a plain string column
    /// without nulls: a null's text, or false with ValueError set where no
    /// text for a null was given.
    bool leaf_at(const ArrowArray& batch, std::size_t k, std::int64_t r, const std::uint8_t** data,
                 std::size_t* size) const noexcept;
    /// False with ValueError set, naming the column and the row (counted
    /// from 1 in the document), for a null where no text for one was given.
    bool no_text_for_null(std::size_t k, std::int64_t row) const noexcept;
    /// Whether `batch` holds no null (true), else no_text_for_null() of the
    /// first.
    bool check_nulls(const ArrowArray& batch) const noexcept;
    bool flush() noexcept;
    /// Whether `file` is of a type whose write() copies what it is given, or
    /// writes it out, before returning: such a file is lent a view of the
    /// output buffer rather than given a copy. -1 with an exception set.
    static int lends_view(PyObject* file) noexcept;
    /// Flushes, and makes room for `size` bytes more than a flush's worth.
    bool make_room(std::size_t size) noexcept;
    void cell(const std::uint8_t* data, std::size_t size, const std::uint8_t* readable) noexcept;

    ArrowArrayStream stream_{};
    ArrowSchema schema_{};
    ArrowArray single_{};
    bool has_stream_ = false;
    std::vector<ColumnLayout> layouts_;
    std::vector<std::string> names_;
    arrow::Buffer out_;
    PyObject* file_ = nullptr; // borrowed for the duration of write()
    bool text_file_ = false;
    bool lends_view_ = false; // the file's write() is one known to keep nothing it is given
    std::string null_;
    bool has_null_ = false;
    std::int64_t row_ = 0; // rows written so far
};

} // namespace dwexio

#endif
