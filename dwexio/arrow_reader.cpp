// arrow_reader.cpp: the document's bytes are read a chunk at a time into one
// buffer that always starts at an unfinished row; each complete row's cells
// are copied from there into the columns of the batch being built. A row
// that the buffer holds only part of is read again once more bytes are in,
// in ever larger reads, so a long row costs time linear in its length.
#include "arrow_reader.hpp"

#include "codec/simd.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;
using dwex::codec::RowStop;

/// Bytes asked of the file at a time: large enough that the calls into
/// Python cost nothing beside the copying, small enough to stay in cache.
constexpr std::int64_t chunk_bytes = 256 * 1024;

/// An Arrow string array's offsets are 32-bit: a batch's column ends before it would pass this.
constexpr std::size_t max_column_bytes = INT32_MAX;

/// The GIL, taken for a moment from whatever thread the consumer calls on.
class Gil {
  public:
    Gil() noexcept : state_(PyGILState_Ensure()) {}
    ~Gil() { PyGILState_Release(state_); }
    Gil(const Gil&) = delete;
    Gil& operator=(const Gil&) = delete;

  private:
    PyGILState_STATE state_;
};

/// Cells are copied 16 bytes at a time: the column's buffer keeps that much
/// room past its end, and the read buffer as much past its bytes.
constexpr std::size_t copy_step = 16;

inline void copy_cell(std::uint8_t* to, const std::uint8_t* from, std::size_t size) noexcept {
#if DWEX_SIMD
    if (size > 4 * copy_step) {
        std::memcpy(to, from, size);
        return;
    }
    for (std::size_t k = 0; k < size; k += copy_step) {
        dwex::simd::store(to + k, dwex::simd::load(from + k));
    }
#else
    std::memcpy(to, from, size);
#endif
}

bool holds_astral(const std::uint8_t* p, std::size_t n) noexcept {
    return std::any_of(p, p + n, [](std::uint8_t b) { return b >= 0xF0; });
}

} // namespace

TableReader* TableReader::open(PyObject* file, bool owned, PyObject* names, bool header,
                               std::int64_t batch_rows) {
    TableReader* reader = nullptr;
    try {
        reader = new TableReader;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    reader->file_ = Ref::borrow(file);
    reader->owned_ = owned;
    reader->batch_rows_ = batch_rows;
    auto failed = [&]() -> TableReader* {
        if (reader->failed_) {
            reader->raise();
        }
        delete reader;
        return nullptr;
    };
    Ref dwex = Ref::steal(PyImport_ImportModule("dwex"));
    if (!dwex || !(reader->parse_ = Ref::steal(PyObject_GetAttrString(dwex.get(), "parse")))) {
        return failed();
    }
    try {
        if (names != nullptr) {
            const Py_ssize_t n = PyList_GET_SIZE(names);
            for (Py_ssize_t k = 0; k < n; ++k) {
                Py_ssize_t size = 0;
                const char* text = PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(names, k), &size);
                if (text == nullptr) {
                    return failed();
                }
                reader->names_.emplace_back(text, static_cast<std::size_t>(size));
            }
        } else {
            const Got got = reader->fetch();
            if (got == Got::fault) {
                return failed();
            }
            if (got == Got::row) {
                const auto& cells = reader->cells_;
                const std::uint8_t* row = reader->buffer_.data() + reader->pos_;
                for (std::size_t k = 0; k < cells.size(); ++k) {
                    const char* text = reinterpret_cast<const char*>(row + cells[k].begin);
                    const auto size = static_cast<std::size_t>(cells[k].end - cells[k].begin);
                    if (header && std::memchr(text, 0, size) != nullptr) {
                        PyErr_Format(PyExc_ValueError,
                                     "the name of column %zu holds a NUL character, which an Arrow "
                                     "column name cannot",
                                     k + 1);
                        delete reader;
                        return nullptr;
                    }
                    reader->names_.push_back(header ? std::string(text, size)
                                                    : "f" + std::to_string(k));
                }
                if (header) {
                    reader->accept();
                }
            } else {
                reader->done_ = true;
            }
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        delete reader;
        return nullptr;
    }
    try {
        reader->columns_.resize(reader->names_.size());
        reader->sizes_.resize(reader->names_.size(), 0);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        delete reader;
        return nullptr;
    }
    if (reader->done_) {
        reader->finish();
    }
    return reader;
}

TableReader::~TableReader() {
    if (owned_ && file_) {
        finish();
    }
}

void TableReader::finish() {
    if (!owned_ || !file_) {
        return;
    }
    Gil gil;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref closed = Ref::steal(PyObject_CallMethod(file_.get(), "close", nullptr));
    if (!closed) {
        PyErr_WriteUnraisable(file_.get());
    }
    file_.reset();
    PyErr_SetRaisedException(exc.release());
}

std::string TableReader::column(std::size_t k) const {
    std::string text = "column " + std::to_string(k + 1);
    if (k < names_.size()) {
        text += " ('" + names_[k] + "')";
    }
    return text;
}

void TableReader::fail(Ref exception) {
    failed_ = true;
    error_ = std::move(exception);
    Ref text = Ref::steal(PyObject_Str(error_.get()));
    Ref bytes = text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"))
                     : Ref();
    if (bytes) {
        message_.assign(PyBytes_AS_STRING(bytes.get()),
                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    } else {
        PyErr_Clear();
        message_ = "the document could not be read";
    }
}

void TableReader::fail_with(PyObject* type, std::string message) {
    Gil gil;
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                               "surrogatepass"));
    Ref exception = text ? Ref::steal(PyObject_CallOneArg(type, text.get())) : Ref();
    if (!exception) {
        exception = Ref::steal(PyErr_GetRaisedException());
    }
    fail(std::move(exception));
}

void TableReader::raise() {
    if (error_) {
        PyErr_SetRaisedException(error_.release());
    } else {
        PyErr_SetString(PyExc_RuntimeError, message_.c_str());
    }
}

bool TableReader::fill(std::int64_t want) {
    // The unfinished row moves to the front; the read is at least as large
    // as what is kept, and reaches what the row is known to need.
    const std::size_t kept = len_ - pos_;
    if (pos_ != 0 && kept != 0) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
    }
    len_ = kept;
    pos_ = 0;
    const std::int64_t ask = std::max({chunk_bytes, static_cast<std::int64_t>(kept),
                                       want - static_cast<std::int64_t>(kept)});
    Gil gil;
    Ref data = Ref::steal(PyObject_CallMethod(file_.get(), "read", "L", static_cast<long long>(ask)));
    if (!data) {
        fail(Ref::steal(PyErr_GetRaisedException()));
        return false;
    }
    if (!PyBytes_Check(data.get())) {
        PyErr_Format(PyExc_TypeError, "read_arrow needs a file opened in binary mode, whose read() "
                                      "gives bytes, not %.200s",
                     Py_TYPE(data.get())->tp_name);
        fail(Ref::steal(PyErr_GetRaisedException()));
        return false;
    }
    const auto got = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    if (got == 0) {
        eof_ = true;
        narrow_end_ = !astral_ && !holds_astral(buffer_.data(), len_);
        return true;
    }
    if (!buffer_.reserve(len_ + got + copy_step)) {
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return false;
    }
    std::memcpy(buffer_.data() + len_, PyBytes_AS_STRING(data.get()), got);
    len_ += got;
    return true;
}

TableReader::Got TableReader::fetch() {
    for (;;) {
        if (pos_ == len_) {
            if (eof_) {
                return Got::end;
            }
            if (!fill(0)) {
                return Got::fault;
            }
            continue;
        }
        cells_.clear();
        const std::uint8_t* start = buffer_.data() + pos_;
        last_ = dwex::codec::read_row(start, buffer_.data() + len_, eof_, narrow_end_, cells_);
        switch (last_.stop) {
        case RowStop::complete:
            return Got::row;
        case RowStop::need_more:
            if (!fill(last_.want)) {
                return Got::fault;
            }
            continue;
        case RowStop::end_of_input: {
            // dwex.parse raises it, with the module's message of the moment.
            Gil gil;
            Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
            Ref none = empty ? Ref::steal(PyObject_CallOneArg(parse_.get(), empty.get())) : Ref();
            if (none) {
                PyErr_SetString(PyExc_SystemError, "dwex.parse accepted an empty document");
            }
            fail(Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        case RowStop::token: {
            Gil gil;
            Ref text = Ref::steal(PyUnicode_FromFormat(
                "Unexpected token '%c' at position %lld", static_cast<int>(last_.code_point),
                static_cast<long long>(units_ + last_.position)));
            Ref exception = text ? Ref::steal(PyObject_CallOneArg(PyExc_SyntaxError, text.get())) : Ref();
            fail(exception ? std::move(exception) : Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        case RowStop::invalid_utf8: {
            Gil gil;
            const std::size_t at = pos_ + static_cast<std::size_t>(last_.next);
            const std::size_t end = std::min(len_, at + 4);
            const std::string reason = "not UTF-8 in row " + std::to_string(row_ + 1);
            Ref exception = Ref::steal(PyUnicodeDecodeError_Create(
                "utf-8", reinterpret_cast<const char*>(buffer_.data() + at),
                static_cast<Py_ssize_t>(end - at), 0, 1, reason.c_str()));
            fail(exception ? std::move(exception) : Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        case RowStop::lone_surrogate:
            fail_with(PyExc_ValueError,
                      "row " + std::to_string(row_ + 1) + ", " + column(cells_.size() - 1) +
                          ": a lone surrogate, which an Arrow string (UTF-8) cannot hold");
            return Got::fault;
        }
    }
}

void TableReader::accept() noexcept {
    pos_ += static_cast<std::size_t>(last_.next);
    units_ += last_.units;
    astral_ |= last_.astral;
    ++row_;
}

bool TableReader::start_batch() noexcept {
    // Room for the rows grows with them; the data starts at the size the
    // column had in the previous batch.
    const auto rows = static_cast<std::size_t>(std::min<std::int64_t>(batch_rows_, 1024));
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        auto& c = columns_[k];
        if (!c.offsets.exact((rows + 1) * sizeof(std::int32_t)) || !c.data.exact(sizes_[k])) {
            return false;
        }
        std::memset(c.offsets.data(), 0, sizeof(std::int32_t));
        c.offsets.resize(sizeof(std::int32_t));
        c.data.resize(0);
    }
    rows_in_batch_ = 0;
    batch_open_ = true;
    return true;
}

int TableReader::commit() {
    if (!batch_open_ && !start_batch()) {
        Gil gil;
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    const std::size_t n = cells_.size();
    if (n != names_.size()) {
        fail_with(PyExc_ValueError, "row " + std::to_string(row_ + 1) + " has " + std::to_string(n) +
                                        (n == 1 ? " cell" : " cells") + ", but the table has " +
                                        std::to_string(names_.size()) + " columns");
        return -1;
    }
    for (std::size_t k = 0; k < n; ++k) {
        const auto size = static_cast<std::size_t>(cells_[k].end - cells_[k].begin);
        if (size > max_column_bytes - columns_[k].data.size()) {
            if (rows_in_batch_ > 0) {
                return 0;
            }
            fail_with(PyExc_ValueError, "row " + std::to_string(row_ + 1) + ", " + column(k) +
                                            ": a cell of " + std::to_string(size) +
                                            " bytes, more than an Arrow string holds");
            return -1;
        }
    }
    const std::uint8_t* row = buffer_.data() + pos_;
    const std::size_t offset_end = static_cast<std::size_t>(rows_in_batch_ + 2) * sizeof(std::int32_t);
    for (std::size_t k = 0; k < n; ++k) {
        auto& c = columns_[k];
        const auto size = static_cast<std::size_t>(cells_[k].end - cells_[k].begin);
        const std::size_t used = c.data.size();
        // Room for a copy in whole 16-byte steps, which may run past the cell.
        if (!c.data.reserve(used + size + copy_step) || !c.offsets.reserve(offset_end)) {
            // The columns before k already hold this row's cell: cut them back.
            for (std::size_t j = 0; j < k; ++j) {
                std::int32_t previous;
                std::memcpy(&previous, columns_[j].offsets.data() + offset_end - 2 * sizeof(previous),
                            sizeof(previous));
                columns_[j].data.resize(static_cast<std::size_t>(previous));
                columns_[j].offsets.resize(offset_end - sizeof(previous));
            }
            Gil gil;
            PyErr_NoMemory();
            fail(Ref::steal(PyErr_GetRaisedException()));
            return -1;
        }
        copy_cell(c.data.data() + used, row + cells_[k].begin, size);
        c.data.resize(used + size);
        const auto end = static_cast<std::int32_t>(used + size);
        std::memcpy(c.offsets.data() + offset_end - sizeof(end), &end, sizeof(end));
        c.offsets.resize(offset_end);
    }
    ++rows_in_batch_;
    return 1;
}

bool TableReader::emit(ArrowArray* out) {
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        // Exact sizes: a whole table read into memory holds no slack.
        sizes_[k] = columns_[k].data.size();
        columns_[k].data.exact(sizes_[k]);
        columns_[k].offsets.exact(columns_[k].offsets.size());
    }
    if (!arrow::export_batch(columns_, rows_in_batch_, out)) {
        Gil gil;
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return false;
    }
    batch_open_ = false;
    rows_in_batch_ = 0;
    return true;
}

bool TableReader::next(ArrowArray* out) {
    out->release = nullptr;
    if (failed_) {
        finish();
        return false;
    }
    while (!done_ && rows_in_batch_ < batch_rows_) {
        const Got got = fetch();
        if (got == Got::fault) {
            break;
        }
        if (got == Got::end) {
            done_ = true;
            finish();
            break;
        }
        const int committed = commit();
        if (committed < 0) {
            break;
        }
        if (committed == 0) {
            break; // the row starts the next batch
        }
        accept();
    }
    if (rows_in_batch_ > 0) {
        // The rows before a fault come first; the fault waits for the next call.
        return emit(out);
    }
    if (failed_) {
        finish();
        return false;
    }
    return true;
}

} // namespace dwexio
