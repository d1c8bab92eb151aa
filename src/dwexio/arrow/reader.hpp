// arrow_reader.hpp: a DWEX document read from a binary file into Arrow record
// batches of string columns, straight from its UTF-8 bytes.
#ifndef DWEXIO_ARROW_READER_HPP
#define DWEXIO_ARROW_READER_HPP

#include "dwexio/arrow/batch.hpp"

#include "core/parse_utf8.hpp"
#include "dwex/ref.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dwexio {

/// Adds the reader's exception types to the module; false with an exception set.
bool add_reader_types(PyObject* module) noexcept;

/// Reads rows into batches of at most `batch_rows` rows, each column one
/// Arrow string array. Only `open` needs the GIL; `next` takes it for the
/// moments it calls into Python (reading the file, making an exception), so
/// that a consumer may call it from a thread of its own. Deleting a reader
/// needs the GIL.
class TableReader {
  public:
    /// What a reader is asked for beyond its file.
    struct Options {
        PyObject* names = nullptr; ///< a list of str, or null
        bool header = false;
        std::int64_t batch_rows = 0;
        std::int64_t n_rows = -1; ///< the rows after the header to read at most; -1: all
        arrow::Layout layout = arrow::Layout::string;
        PyObject* label = nullptr; ///< the file's name for messages (a str), or null
        std::int64_t threads = 1;  ///< native threads reading each window
        /// Bytes of the file read at a time with threads, at most; 0 where
        /// the file is read by read() alone (it has no readinto() to trust).
        std::int64_t window = 0;
        PyObject* not_utf8 = nullptr; ///< the module's type of error for bytes that are not UTF-8
    };

    /// Reads as far as the schema: the header row with `header`, else the
    /// first row, which gives the number of columns (unless `names` does).
    /// Returns null with an exception set.
    static std::unique_ptr<TableReader> open(PyObject* file, bool owned, const Options& options);
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    /// The names of the columns built: all of them, or those selected.
    const std::vector<std::string>& names() const noexcept { return selected_names_; }
    arrow::Layout layout() const noexcept { return layout_; }

    /// Builds only these columns (0-based, in this order), before the first
    /// batch; every row is still read whole and checked. False with an
    /// exception set for an index past the table.
    bool select(const std::vector<std::size_t>& columns);

    /// The next batch into `out`, or `out->release` null at the end. False
    /// on a fault, which stays: the same false and message on every later call.
    bool next(ArrowArray* out) noexcept;
    /// The fault's message, or null; a C stream's consumer may ask from any
    /// thread, so it is kept as bytes made when the fault was.
    const char* message() const noexcept;
    /// Whether the fault is that memory ran out.
    bool out_of_memory() const noexcept { return failed_ && out_of_memory_; }
    /// Raises the fault's exception (once; afterwards the same message as
    /// RuntimeError). Needs the GIL.
    void raise();
    /// Visits the Python objects the reader holds, for the collector.
    int traverse(visitproc visit, void* arg) const noexcept;

  private:
    TableReader() = default;
    enum class Got { row, end, fault };
    Got fetch();
    /// With threads: reads the next window of the file and as many of its
    /// rows as a parallel read counts, into ready_. A failing read stalls
    /// the reader: the rows read before it come first.
    void read_window();
    /// The bytes of the next window: growing with the bytes read, up to `window`.
    std::int64_t window() const noexcept;
    /// Whether a row limit leaves enough rows to read a window for.
    bool window_within_limit() const noexcept;
    /// The fewest bytes worth splitting among threads.
    std::int64_t least_split() const noexcept;
    void accept() noexcept;
    /// Reads at least `least` bytes more, and what the row being read is
    /// known to `want`: with the file's readinto() where there is a window.
    bool fill(std::int64_t want, std::int64_t least);
    /// Appends up to `ask` bytes of the file to the buffer with its read()
    /// or its readinto(): how many, 0 at its end, -1 on a fault.
    std::int64_t read(std::int64_t ask);
    std::int64_t read_into(std::int64_t ask);
    /// Bytes to read at least between windows, and without threads.
    std::int64_t chunk() const noexcept;
    /// 1: committed; 0: the batch is full first; -1: a fault.
    int commit();
    bool emit(ArrowArray* out);
    void finish();
    void fail(dwex::Ref exception) noexcept;
    /// Fails with `type` of the message PyUnicode_FromFormat() makes; the
    /// exception already set instead where there is one (an argument could
    /// not be made).
    void fail_with(PyObject* type, const char* format, ...) noexcept;
    void fail_located(dwex::Ref exception);
    /// "column N ('name')" (from 1), or null with an exception set.
    dwex::Ref column(std::size_t k) const noexcept;

    dwex::Ref file_;
    dwex::Ref not_utf8_type_;
    dwex::Ref parse_; // dwex.parse, for its end-of-input error
    bool owned_ = false;
    bool eof_ = false;
    bool narrow_end_ = false;
    bool astral_ = false;
    bool done_ = false;
    bool failed_ = false;
    // The file failed while a window was read: the rows before the failure
    // are delivered first, as on one thread, and the failure (error_) is
    // raised once the reader needs more bytes.
    bool stalled_ = false;
    arrow::Buffer buffer_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    std::int64_t row_ = 0;   // rows of the file accepted so far
    std::int64_t units_ = 0; // UTF-16 units of the document before pos_
    std::int64_t bytes_ = 0; // bytes of the document before pos_
    std::int64_t batch_rows_ = 0;
    std::int64_t last_row_ = -1; // the rows of the file to read at most; -1: all
    arrow::Layout layout_ = arrow::Layout::string;
    dwex::Ref label_;
    std::vector<std::string> names_; // every column's
    std::vector<std::size_t> selected_;
    std::vector<std::string> selected_names_;
    std::vector<dwex::codec::Span> cells_;
    dwex::codec::Row last_;
    std::optional<arrow::BatchBuilder> builder_; // over selected_, once chosen
    std::int64_t threads_ = 1;
    std::int64_t window_ = 0;
    arrow::BatchQueue ready_; // batches a window's read made, in order
    // After wrong guesses, the bytes to read on one thread before the next
    // window's read, growing while guesses keep failing (leaves holding
    // documents), so that they cost little more than one thread's read.
    std::int64_t alone_ = 0;
    std::int64_t wrong_windows_ = 0;
    // What the counted stretches of windows read so far: their bytes, rows
    // and data bytes of each selected column, by which a stretch's buffers
    // are sized before it starts (grown buffers leave holes in the heap).
    std::int64_t stretch_bytes_ = 0;
    std::int64_t stretch_rows_ = 0;
    std::vector<std::size_t> stretch_data_;
    dwex::Ref error_;
    dwex::Ref message_; // bytes, UTF-8
    bool out_of_memory_ = false;
};

} // namespace dwexio

#endif
