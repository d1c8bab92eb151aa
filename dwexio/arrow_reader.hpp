// arrow_reader.hpp: a DWEX document read from a binary file into Arrow record
// batches of string columns, straight from its UTF-8 bytes.
#ifndef DWEXIO_ARROW_READER_HPP
#define DWEXIO_ARROW_READER_HPP

#include "arrow_abi.hpp"

#include "codec/parse_utf8.hpp"
#include "ref.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace dwexio {

/// Reads rows into batches of at most `batch_rows` rows, each column one
/// Arrow string array. Only `open` needs the GIL; `next` takes it for the
/// moments it calls into Python (reading the file, making an exception), so
/// that a consumer may call it from a thread of its own. Deleting a reader
/// needs the GIL.
class TableReader {
  public:
    /// Reads as far as the schema: the header row with `header`, else the
    /// first row, which gives the number of columns (unless `names` does).
    /// `names` is a list of str or null. Returns null with an exception set.
    static TableReader* open(PyObject* file, bool owned, PyObject* names, bool header,
                             std::int64_t batch_rows);
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    const std::vector<std::string>& names() const noexcept { return names_; }

    /// The next batch into `out`, or `out->release` null at the end. False
    /// on a fault, which stays: the same false and message on every later call.
    bool next(ArrowArray* out);
    /// The fault's message, or null.
    const char* message() const noexcept { return failed_ ? message_.c_str() : nullptr; }
    /// Raises the fault's exception (once; afterwards the same message as
    /// RuntimeError). Needs the GIL.
    void raise();

  private:
    TableReader() = default;
    enum class Got { row, end, fault };
    Got fetch();
    void accept() noexcept;
    bool fill(std::int64_t want);
    bool start_batch() noexcept;
    /// 1: committed; 0: the batch is full first; -1: a fault.
    int commit();
    bool emit(ArrowArray* out);
    void finish();
    void fail(dwex::Ref exception);
    void fail_with(PyObject* type, std::string message);
    std::string column(std::size_t k) const;

    dwex::Ref file_;
    dwex::Ref parse_; // dwex.parse, for its end-of-input error
    bool owned_ = false;
    bool eof_ = false;
    bool narrow_end_ = false;
    bool astral_ = false;
    bool done_ = false;
    bool failed_ = false;
    arrow::Buffer buffer_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::int64_t row_ = 0;   // rows of the file accepted so far
    std::int64_t units_ = 0; // UTF-16 units of the document before pos_
    std::int64_t batch_rows_ = 0;
    std::vector<std::string> names_;
    std::vector<dwex::codec::Span> cells_;
    dwex::codec::Row last_;
    std::vector<arrow::ColumnBuffers> columns_;
    std::vector<std::size_t> sizes_; // each column's data size in the last batch
    std::int64_t rows_in_batch_ = 0;
    bool batch_open_ = false; // the columns have been started for a batch
    dwex::Ref error_;
    std::string message_;
};

} // namespace dwexio

#endif
