// reader.hpp: a DWEX document read from a binary file into Arrow record
// batches of string columns, straight from its UTF-8 bytes. The serial reader
// (reader.cpp, its faults in reader_faults.cpp) reads the file a chunk at a
// time, one row after another; with threads, the window reader
// (window_reader.hpp) reads windows of the same buffer between the serial
// reader's stints. TableReader puts the two together.
#ifndef DWEXIO_ARROW_READER_HPP
#define DWEXIO_ARROW_READER_HPP

#include "dwexio/arrow/batch.hpp"

#include "core/parse_utf8.hpp"
#include "core/split.hpp"
#include "dwex/ref.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dwexio {

class WindowReader;

/// Adds the reader's exception types to the module; false with an exception set.
bool add_reader_types(PyObject* module) noexcept;

/// What a reader is asked for beyond its file.
struct ReadOptions {
    /// The rows of a batch at most, unless the caller says otherwise.
    static constexpr std::int64_t default_batch_rows = 65536;

    bool owned = false;        ///< the reader closes the file when done with it
    PyObject* names = nullptr; ///< a list of str, or null
    bool header = false;
    std::int64_t batch_rows = default_batch_rows;
    std::int64_t n_rows = -1; ///< the rows after the header to read at most; -1: all
    arrow::Layout layout = arrow::Layout::string;
    PyObject* label = nullptr;    ///< the file's name for messages (a str), or null
    PyObject* not_utf8 = nullptr; ///< the module's NotUTF8Error type
    std::int64_t threads = 1;     ///< native threads reading each window
    /// Bytes of the file read at a time with threads, at most; 0 where
    /// the file is read by read() alone (it has no readinto() to trust).
    std::int64_t window = 0;
};

/// The reader's own loop: the document's bytes are read a chunk at a time
/// into one buffer that always starts at an unfinished row, and each
/// complete row's cells are copied into the columns of the batch being built.
/// Only `open` and `select` need the GIL; the rest takes it for the moments
/// it calls into Python (reading the file, making an exception).
class SerialReader {
  public:
    /// Where the reader stands; only reading and ended read on.
    enum class State : std::uint8_t {
        reading,       ///< the file has bytes left
        ended,         ///< the rest of the file is in the buffer
        stalled,       ///< the file failed while a window was read ahead: the
                       ///< rows before come first, then the failure (failed)
        done,          ///< every row asked for is handed out, the file let go
        failed,        ///< a fault, which stays
        out_of_memory, ///< a fault: memory ran out
    };
    /// What the reader has read: the row start `pos` in the buffer, the rows
    /// of the file before it, their UTF-16 units and bytes, and whether they
    /// hold a code point above U+FFFF (at the file's end, the whole buffer
    /// is looked through too).
    struct Cursor {
        std::size_t pos = 0;
        std::int64_t row = 0;
        std::int64_t units = 0;
        std::int64_t bytes = 0;
        bool astral = false;
    };

    /// Reads as far as the schema: the header row with `header`, else the
    /// first row, which gives the number of columns (unless `names` does).
    /// Returns null with an exception set.
    static std::unique_ptr<SerialReader> open(PyObject* file, const ReadOptions& options);
    ~SerialReader();
    SerialReader(const SerialReader&) = delete;
    SerialReader& operator=(const SerialReader&) = delete;

    const std::vector<std::string>& names() const noexcept { return selected_names_; }
    std::size_t columns() const noexcept { return names_.size(); }
    const std::vector<std::size_t>& selected() const noexcept { return selected_; }
    arrow::Layout layout() const noexcept { return layout_; }
    std::int64_t batch_rows() const noexcept { return batch_rows_; }
    /// The rows of the file to read at most; -1: all.
    std::int64_t last_row() const noexcept { return last_row_; }
    const Cursor& cursor() const noexcept { return at_; }
    State state() const noexcept { return state_; }
    bool failed() const noexcept { return state_ >= State::failed; }

    /// Builds only these columns (0-based, in this order), before the first
    /// batch. False with an exception set for an index past the table.
    bool select(const std::vector<std::size_t>& columns);

    /// Reads rows into the next batch, and hands it to `out` (`out->release`
    /// null where it holds no row); after `stint` bytes (unless negative) it
    /// stops early. False on a fault, once the rows before it are handed out.
    bool next(ArrowArray* out, std::int64_t stint) noexcept;

    /// For the window reader, between batches: whether a row is half built,
    /// the buffer from the cursor on with at least `bytes` in it (or the rest
    /// of the file; false, the reader stalled, where the file fails), and the
    /// rows of a window counted past the cursor.
    bool between_batches() const noexcept { return !builder_->open(); }
    bool buffer(std::int64_t bytes);
    dwex::codec::Window buffered() const noexcept;
    void advance(const dwex::codec::Reach& counted) noexcept;

    /// The fault's message, or null; a C stream's consumer may ask from any
    /// thread, so it is kept as bytes made when the fault was.
    const char* message() const noexcept;
    bool out_of_memory() const noexcept { return state_ == State::out_of_memory; }
    /// Raises the fault's exception (once; afterwards the same message as
    /// RuntimeError). Needs the GIL.
    void raise();
    /// Visits the Python objects the reader holds, for the collector.
    int traverse(visitproc visit, void* arg) const noexcept;
    /// Lets go of those objects without calling them, for the collector
    /// breaking a cycle: it has run the file's finalizer already and may
    /// have cleared the file, so closing it again would call a cleared
    /// object.
    void clear() noexcept;
    /// Closes the file where the reader owns it, before the collector clears
    /// anything (a Stream's finalizer).
    void close_file() noexcept { finish(); }

  private:
    SerialReader() = default;
    bool read_names(bool header);
    enum class Got { row, end, fault };
    Got fetch();
    Got fault_at_row();
    void accept() noexcept;
    /// Reads at least `least` bytes more, and what the row being read is
    /// known to `want`: with the file's readinto() where there is a window.
    bool fill(std::int64_t want, std::int64_t least);
    /// Appends up to `ask` bytes of the file to the buffer with its read()
    /// or its readinto(): how many, 0 at its end, -1 on a fault.
    std::int64_t read(std::int64_t ask);
    std::int64_t read_into(std::int64_t ask);
    /// 1: committed; 0: the batch is full first; -1: a fault.
    int commit();
    bool emit(ArrowArray* out);
    void finish();

    // reader_faults.cpp
    /// Fails with `exception`; null, with the exception set now (a
    /// MemoryError where there is none).
    void fail(dwex::Ref exception) noexcept;
    /// Fails with the exception set now.
    void fail_raised() noexcept;
    void fail_no_memory() noexcept;
    /// Fails with `type` of the message PyUnicode_FromFormat() makes; the
    /// exception already set instead where there is one (an argument could
    /// not be made).
    void fail_with(PyObject* type, const char* format, ...) noexcept;
    void fail_located(dwex::Ref exception);
    void fail_not_utf8();
    /// "column N ('name')" (from 1), or null with an exception set.
    dwex::Ref column(std::size_t k) const noexcept;

    dwex::Ref file_;
    dwex::Ref parse_;    // dwex.parse, for its end-of-input error
    dwex::Ref not_utf8_; // NotUTF8Error
    dwex::Ref label_;
    bool owned_ = false;
    State state_ = State::reading;
    arrow::Buffer buffer_;
    std::size_t len_ = 0;
    Cursor at_;
    std::int64_t batch_rows_ = 0;
    std::int64_t last_row_ = -1;
    std::int64_t window_ = 0;
    std::int64_t chunk_ = 0; // bytes to read at least at a time
    arrow::Layout layout_ = arrow::Layout::string;
    std::vector<std::string> names_; // every column's
    std::vector<std::size_t> selected_;
    std::vector<std::string> selected_names_;
    std::vector<dwex::codec::Span> cells_;
    dwex::codec::Row last_;
    std::optional<arrow::BatchBuilder> builder_; // over selected_, once chosen
    dwex::Ref error_;
    dwex::Ref message_; // bytes, UTF-8
};

/// Reads rows into batches of at most `batch_rows` rows, each column one
/// Arrow string array: a serial reader, and with threads a window reader.
/// `next` may be called from any thread; deleting a reader needs the GIL.
class TableReader {
  public:
    /// Returns null with an exception set.
    static std::unique_ptr<TableReader> open(PyObject* file, const ReadOptions& options);
    ~TableReader();
    TableReader(const TableReader&) = delete;
    TableReader& operator=(const TableReader&) = delete;

    /// The names of the columns built: all of them, or those selected.
    const std::vector<std::string>& names() const noexcept { return serial_->names(); }
    arrow::Layout layout() const noexcept { return serial_->layout(); }

    /// Builds only these columns (0-based, in this order), before the first
    /// batch; every row is still read whole and checked. False with an
    /// exception set for an index past the table.
    bool select(const std::vector<std::size_t>& columns);

    /// The next batch into `out`, or `out->release` null at the end. False
    /// on a fault, which stays: the same false and message on every later call.
    bool next(ArrowArray* out) noexcept;
    const char* message() const noexcept { return serial_->message(); }
    /// Whether the fault is that memory ran out.
    bool out_of_memory() const noexcept { return serial_->out_of_memory(); }
    /// Raises the fault's exception (once; afterwards the same message as
    /// RuntimeError). Needs the GIL.
    void raise() { serial_->raise(); }
    void clear() noexcept { serial_->clear(); }
    void close_file() noexcept { serial_->close_file(); }
    int traverse(visitproc visit, void* arg) const noexcept {
        return serial_->traverse(visit, arg);
    }

  private:
    TableReader() = default;
    std::unique_ptr<SerialReader> serial_;
    std::unique_ptr<WindowReader> windows_; // null on one thread
};

} // namespace dwexio

#endif
