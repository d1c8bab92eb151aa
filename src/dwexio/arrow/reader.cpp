// arrow_reader.cpp: the document's bytes are read a chunk at a time into one
// buffer that always starts at an unfinished row; each complete row's cells
// are copied from there into the columns of the batch being built. A row
// that the buffer holds only part of is read again once more bytes are in,
// in ever larger reads, so a long row costs time linear in its length.
#include "dwexio/arrow/reader.hpp"
#include "dwexio/state.hpp"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <new>
#include <type_traits>

namespace dwexio {
namespace {

using dwex::Ref;
using dwex::codec::RowStop;

/// Bytes asked of the file at a time: large enough that the calls into
/// Python cost nothing beside the copying, small enough to stay in cache.
constexpr std::int64_t chunk_bytes = 256 * 1024;

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

/// UnicodeDecodeError for a byte anywhere in a document: its `start` is the
/// byte's offset in the document, while `object` holds only the bytes from
/// there (the document itself is long gone), so the message is told here.
PyObject* not_utf8_str(PyObject* self) noexcept {
    Ref start = Ref::steal(PyObject_GetAttrString(self, "start"));
    Ref object = start ? Ref::steal(PyObject_GetAttrString(self, "object")) : Ref();
    Ref reason = object ? Ref::steal(PyObject_GetAttrString(self, "reason")) : Ref();
    if (!reason) {
        return nullptr;
    }
    if (!PyBytes_Check(object.get()) || PyBytes_GET_SIZE(object.get()) == 0 ||
        !PyUnicode_Check(reason.get())) {
        return reinterpret_cast<PyTypeObject*>(PyExc_UnicodeDecodeError)->tp_str(self);
    }
    const auto byte = static_cast<unsigned char>(PyBytes_AS_STRING(object.get())[0]);
    return PyUnicode_FromFormat("'utf-8' codec can't decode byte 0x%02x in position %S: %U",
                                static_cast<unsigned>(byte), start.get(), reason.get());
}

PyType_Slot not_utf8_slots[] = {
    {Py_tp_str, reinterpret_cast<void*>(not_utf8_str)},
    {Py_tp_doc,
     const_cast<char*>("Bytes of a document that are not UTF-8, at `start` in the document.")},
    {0, nullptr},
};

PyType_Spec not_utf8_spec = {"dwexio._native.NotUTF8Error", 0, 0, Py_TPFLAGS_DEFAULT,
                             not_utf8_slots};

/// The error for the bytes at `at` (up to 4 of them), `offset` bytes into the document.
Ref not_utf8(PyObject* type, const std::uint8_t* at, std::size_t size, std::int64_t offset,
             PyObject* reason) {
    Ref exception = Ref::steal(
        PyObject_CallFunction(type, "sy#nnO", "utf-8", reinterpret_cast<const char*>(at),
                              static_cast<Py_ssize_t>(size), Py_ssize_t{0}, Py_ssize_t{1}, reason));
    Ref start = exception ? Ref::steal(PyLong_FromLongLong(offset)) : Ref();
    Ref end = start ? Ref::steal(PyLong_FromLongLong(offset + 1)) : Ref();
    if (!end || PyObject_SetAttrString(exception.get(), "start", start.get()) < 0 ||
        PyObject_SetAttrString(exception.get(), "end", end.get()) < 0) {
        return Ref();
    }
    return exception;
}

bool holds_astral(const std::uint8_t* p, std::size_t n) noexcept {
    return std::any_of(p, p + n, [](std::uint8_t b) { return b >= 0xF0; });
}

} // namespace

bool add_reader_types(PyObject* module) noexcept {
    Ref& type = state_of(module).not_utf8_type;
    type = Ref::steal(PyType_FromModuleAndSpec(module, &not_utf8_spec, PyExc_UnicodeDecodeError));
    return type && PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

int TableReader::traverse(visitproc visit, void* arg) const noexcept {
    for (const Ref* held : {&file_, &parse_, &label_, &error_, &not_utf8_type_}) {
        Py_VISIT(held->get());
    }
    return 0;
}

std::unique_ptr<TableReader> TableReader::open(PyObject* file, bool owned, const Options& options) {
    std::unique_ptr<TableReader> reader;
    try {
        reader.reset(new TableReader); // its queue of batches allocates too
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    reader->file_ = Ref::borrow(file);
    reader->not_utf8_type_ = Ref::borrow(options.not_utf8);
    reader->owned_ = owned;
    reader->batch_rows_ = options.batch_rows;
    reader->layout_ = options.layout;
    reader->threads_ = options.threads;
    reader->window_ = options.window;
    if (options.label != nullptr) {
        reader->label_ = Ref::borrow(options.label);
    }
    const bool header = options.header;
    auto failed = [&]() -> std::unique_ptr<TableReader> {
        if (reader->failed_) {
            reader->raise();
        }
        return nullptr;
    };
    Ref dwex = Ref::steal(PyImport_ImportModule("dwex"));
    if (!dwex || !(reader->parse_ = Ref::steal(PyObject_GetAttrString(dwex.get(), "parse")))) {
        return failed();
    }
    try {
        if (options.names != nullptr) {
            const Py_ssize_t n = PyList_GET_SIZE(options.names);
            for (Py_ssize_t k = 0; k < n; ++k) {
                Py_ssize_t size = 0;
                const char* text =
                    PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(options.names, k), &size);
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
        if (options.n_rows >= 0) {
            reader->last_row_ = reader->row_ + options.n_rows;
        }
        std::vector<std::size_t> all(reader->names_.size());
        for (std::size_t k = 0; k < all.size(); ++k) {
            all[k] = k;
        }
        if (!reader->select(all)) {
            return nullptr;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (reader->done_) {
        reader->finish();
    }
    return reader;
}

bool TableReader::select(const std::vector<std::size_t>& columns) {
    try {
        std::vector<std::string> names;
        names.reserve(columns.size());
        for (const std::size_t k : columns) {
            if (k >= names_.size()) {
                PyErr_Format(PyExc_ValueError,
                             "columns: index %zu is past the table's %zu column%s", k,
                             names_.size(), names_.size() == 1 ? "" : "s");
                return false;
            }
            names.push_back(names_[k]);
        }
        std::vector<std::size_t> chosen(columns);
        builder_.reset();
        selected_ = std::move(chosen);
        selected_names_ = std::move(names);
        stretch_data_.assign(selected_.size(), 0);
        stretch_bytes_ = stretch_rows_ = 0;
        builder_.emplace(layout_, batch_rows_, selected_);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
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

Ref TableReader::column(std::size_t k) const noexcept {
    if (k >= names_.size()) {
        return Ref::steal(PyUnicode_FromFormat("column %zu", k + 1));
    }
    const std::string& name = names_[k];
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogatepass"));
    return text ? Ref::steal(PyUnicode_FromFormat("column %zu ('%U')", k + 1, text.get())) : Ref();
}

const char* TableReader::message() const noexcept {
    if (!failed_) {
        return nullptr;
    }
    return message_ ? PyBytes_AS_STRING(message_.get()) : "the document could not be read";
}

void TableReader::fail(Ref exception) noexcept {
    failed_ = true;
    error_ = std::move(exception);
    out_of_memory_ = PyErr_GivenExceptionMatches(error_.get(), PyExc_MemoryError) != 0;
    Ref text = Ref::steal(PyObject_Str(error_.get()));
    message_ = text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"))
                    : Ref();
    if (!message_) {
        PyErr_Clear();
    }
}

void TableReader::fail_with(PyObject* type, const char* format, ...) noexcept {
    Gil gil;
    if (PyErr_Occurred()) {
        // What the message was to be made of could not be made.
        fail(Ref::steal(PyErr_GetRaisedException()));
        return;
    }
    std::va_list args;
    va_start(args, format);
    Ref text = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (text && label_) {
        text = Ref::steal(PyUnicode_FromFormat("%U: %U", label_.get(), text.get()));
    }
    Ref exception = text ? Ref::steal(PyObject_CallOneArg(type, text.get())) : Ref();
    if (!exception) {
        exception = Ref::steal(PyErr_GetRaisedException());
    }
    fail(std::move(exception));
}

void TableReader::fail_located(Ref exception) {
    // A format fault's message is the one dwex.parse gives (positions in
    // UTF-16 units from the document's start); the file and row go before it
    // where there is a file name, and in a note where there is none.
    if (exception && label_) {
        Ref text = Ref::steal(PyObject_Str(exception.get()));
        Ref located =
            text ? Ref::steal(PyUnicode_FromFormat("%U: row %lld: %U", label_.get(),
                                                   static_cast<long long>(row_ + 1), text.get()))
                 : Ref();
        Ref replaced =
            located ? Ref::steal(PyObject_CallOneArg(
                          reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), located.get()))
                    : Ref();
        exception = replaced ? std::move(replaced) : Ref::steal(PyErr_GetRaisedException());
    } else if (exception) {
        Ref note =
            Ref::steal(PyUnicode_FromFormat("in row %lld", static_cast<long long>(row_ + 1)));
        Ref added =
            note ? Ref::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()))
                 : Ref();
        if (!added) {
            exception = Ref::steal(PyErr_GetRaisedException());
        }
    }
    fail(exception ? std::move(exception) : Ref::steal(PyErr_GetRaisedException()));
}

void TableReader::raise() {
    if (error_) {
        PyErr_SetRaisedException(error_.release());
    } else {
        PyErr_SetString(PyExc_RuntimeError, message());
    }
}

std::int64_t TableReader::chunk() const noexcept {
    return threads_ > 1 ? std::min(chunk_bytes, window_) : chunk_bytes;
}

bool TableReader::fill(std::int64_t want, std::int64_t least) {
    if (stalled_) {
        failed_ = true;
        return false;
    }
    // The unfinished row moves to the front; the read is at least as large
    // as what is kept, and reaches what the row is known to need, up to a
    // window or what is kept again: a damaged length may claim more bytes
    // than any file holds, and a file's read() allocates what it is asked for.
    const std::size_t kept = len_ - pos_;
    if (pos_ != 0 && kept != 0) {
        std::memmove(buffer_.data(), buffer_.data() + pos_, kept);
    }
    len_ = kept;
    pos_ = 0;
    const auto held = static_cast<std::int64_t>(kept);
    const std::int64_t ask =
        std::max({least, held, std::min(want - held, std::max(held, window_))});
    Gil gil;
    const std::int64_t got = window_ > 0 ? read_into(ask) : read(ask);
    if (got < 0) {
        return false;
    }
    if (got == 0) {
        eof_ = true;
        narrow_end_ = !astral_ && !holds_astral(buffer_.data(), len_);
        return true;
    }
    len_ += static_cast<std::size_t>(got);
    return true;
}

std::int64_t TableReader::read(std::int64_t ask) {
    Ref data =
        Ref::steal(PyObject_CallMethod(file_.get(), "read", "L", static_cast<long long>(ask)));
    if (!data) {
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    if (!PyBytes_Check(data.get())) {
        PyErr_Format(PyExc_TypeError,
                     "read_arrow needs a file opened in binary mode, whose read() "
                     "gives bytes, not %.200s",
                     Py_TYPE(data.get())->tp_name);
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    const auto got = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    if (got == 0) {
        return 0; // the buffer of an empty file may still be unallocated
    }
    if (!buffer_.reserve(len_ + got + arrow::copy_slack)) {
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    std::memcpy(buffer_.data() + len_, PyBytes_AS_STRING(data.get()), got);
    return static_cast<std::int64_t>(got);
}

std::int64_t TableReader::read_into(std::int64_t ask) {
    // Straight into the buffer: no bytes object made, paged in and copied each time.
    if (!buffer_.reserve(len_ + static_cast<std::size_t>(ask) + arrow::copy_slack)) {
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    Ref view = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(buffer_.data() + len_),
                                                  static_cast<Py_ssize_t>(ask), PyBUF_WRITE));
    Ref count =
        view ? Ref::steal(PyObject_CallMethod(file_.get(), "readinto", "O", view.get())) : Ref();
    // The buffer moves as it grows: no view of it may outlive the call.
    Ref released = count ? Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr)) : Ref();
    const std::int64_t got = released ? PyLong_AsLongLong(count.get()) : -1;
    if (got == -1 && PyErr_Occurred()) {
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    if (got < 0 || got > ask) {
        PyErr_Format(PyExc_ValueError,
                     "readinto() of the file returned %lld for a buffer of %lld bytes",
                     static_cast<long long>(got), static_cast<long long>(ask));
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    return got;
}

TableReader::Got TableReader::fetch() {
    for (;;) {
        if (pos_ == len_) {
            if (eof_) {
                return Got::end;
            }
            if (!fill(0, chunk())) {
                return Got::fault;
            }
            continue;
        }
        cells_.clear();
        const std::uint8_t* start = buffer_.data() + pos_;
        try {
            last_ = dwex::codec::read_row(start, buffer_.data() + len_, eof_, narrow_end_, cells_);
        } catch (const std::bad_alloc&) {
            Gil gil;
            PyErr_NoMemory();
            fail(Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        switch (last_.stop) {
        case RowStop::complete:
            return Got::row;
        case RowStop::need_more:
            if (!fill(last_.want, chunk())) {
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
            fail_located(Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        case RowStop::token: {
            Gil gil;
            Ref text = Ref::steal(PyUnicode_FromFormat(
                "Unexpected token '%c' at position %lld", static_cast<int>(last_.code_point),
                static_cast<long long>(units_ + last_.position)));
            Ref exception =
                text ? Ref::steal(PyObject_CallOneArg(PyExc_SyntaxError, text.get())) : Ref();
            fail_located(exception ? std::move(exception) : Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        case RowStop::invalid_utf8: {
            Gil gil;
            const std::size_t at = pos_ + static_cast<std::size_t>(last_.next);
            const std::size_t end = std::min(len_, at + 4);
            Ref reason = Ref::steal(
                PyUnicode_FromFormat("not UTF-8 in row %lld", static_cast<long long>(row_ + 1)));
            if (reason && label_) {
                reason = Ref::steal(PyUnicode_FromFormat("%U of %U", reason.get(), label_.get()));
            }
            Ref exception = reason ? not_utf8(not_utf8_type_.get(), buffer_.data() + at, end - at,
                                              bytes_ + last_.next, reason.get())
                                   : Ref();
            fail(exception ? std::move(exception) : Ref::steal(PyErr_GetRaisedException()));
            return Got::fault;
        }
        case RowStop::lone_surrogate: {
            Gil gil;
            Ref where = column(cells_.size() - 1);
            fail_with(PyExc_ValueError,
                      "row %lld, %U: a lone surrogate, which an Arrow string (UTF-8) cannot hold",
                      static_cast<long long>(row_ + 1), where.get());
            return Got::fault;
        }
        }
    }
}

void TableReader::accept() noexcept {
    pos_ += static_cast<std::size_t>(last_.next);
    bytes_ += last_.next;
    units_ += last_.units;
    astral_ |= last_.astral;
    ++row_;
}

int TableReader::commit() {
    if (!builder_->open() && !builder_->start()) {
        Gil gil;
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return -1;
    }
    const std::size_t n = cells_.size();
    if (n != names_.size()) {
        fail_with(PyExc_ValueError, "row %lld has %zu %s, but the table has %zu columns",
                  static_cast<long long>(row_ + 1), n, n == 1 ? "cell" : "cells", names_.size());
        return -1;
    }
    const std::size_t done = builder_->append(buffer_.data() + pos_, cells_.data());
    if (done == selected_.size()) {
        builder_->added();
        return 1;
    }
    // The columns before the one that stopped hold this row's cell: cut them back.
    builder_->unwind(cells_.data(), done);
    const dwex::codec::Span cell = cells_[selected_[done]];
    const auto size = static_cast<std::size_t>(cell.end - cell.begin);
    if (builder_->column_full(done, size)) {
        if (builder_->rows() > 0) {
            return 0; // the row starts the next batch
        }
        Gil gil;
        Ref where = column(selected_[done]);
        fail_with(PyExc_ValueError,
                  "row %lld, %U: a cell of %zu bytes, more than an Arrow string holds",
                  static_cast<long long>(row_ + 1), where.get(), size);
        return -1;
    }
    Gil gil;
    PyErr_NoMemory();
    fail(Ref::steal(PyErr_GetRaisedException()));
    return -1;
}

bool TableReader::emit(ArrowArray* out) {
    if (!builder_->emit(out)) {
        Gil gil;
        PyErr_NoMemory();
        fail(Ref::steal(PyErr_GetRaisedException()));
        return false;
    }
    return true;
}

bool TableReader::next(ArrowArray* out) noexcept {
    out->release = nullptr;
    if (!ready_.empty()) {
        ready_.pop(out);
        return true;
    }
    if (threads_ > 1 && alone_ == 0 && !failed_ && !stalled_ && !done_ && !builder_->open() &&
        window_within_limit()) {
        read_window();
        if (!ready_.empty()) {
            ready_.pop(out);
            return true;
        }
    }
    if (failed_) {
        finish();
        return false;
    }
    const std::int64_t stint_start = bytes_;
    const std::int64_t stint = std::max(least_split(), alone_);
    while (!done_ && !builder_->full()) {
        if (last_row_ >= 0 && row_ >= last_row_) {
            // The rows asked for are read: the rest of the file is not.
            done_ = true;
            finish();
            break;
        }
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
        if (threads_ > 1 && bytes_ - stint_start >= stint) {
            break; // past what the window's read could not split: it may again
        }
    }
    alone_ = std::max<std::int64_t>(alone_ - (bytes_ - stint_start), 0);
    if (builder_->rows() > 0) {
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
