// reader.cpp: the serial reader. The document's bytes are read a chunk at a
// time into one buffer that always starts at an unfinished row; each
// complete row's cells are copied from there into the columns of the batch
// being built. A row that the buffer holds only part of is read again once
// more bytes are in, in ever larger reads, so a long row costs time linear
// in its length. Its faults are told in reader_faults.cpp.
#include "dwexio/arrow/reader.hpp"
#include "dwexio/interpreter.hpp"

#include "core/read_sizes.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;
using dwex::codec::RowStop;

bool holds_astral(const std::uint8_t* p, std::size_t n) noexcept {
    return std::any_of(p, p + n, [](std::uint8_t b) { return b >= 0xF0; });
}

} // namespace

int SerialReader::traverse(visitproc visit, void* arg) const noexcept {
    for (const Ref* held : {&file_, &parse_, &not_utf8_, &label_, &error_}) {
        Py_VISIT(held->get());
    }
    return 0;
}

void SerialReader::clear() noexcept {
    for (Ref* held : {&file_, &parse_, &not_utf8_, &label_, &error_}) {
        held->reset();
    }
}

std::unique_ptr<SerialReader> SerialReader::open(PyObject* file, const ReadOptions& options) {
    std::unique_ptr<SerialReader> reader;
    try {
        reader.reset(new SerialReader);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    reader->file_ = Ref::borrow(file);
    reader->owned_ = options.owned;
    reader->not_utf8_ = Ref::borrow(options.not_utf8);
    reader->batch_rows_ = options.batch_rows;
    reader->layout_ = options.layout;
    reader->window_ = options.window;
    reader->chunk_ = options.threads > 1 ? std::min(dwex::codec::sizes::chunk_bytes, options.window)
                                         : dwex::codec::sizes::chunk_bytes;
    if (options.label != nullptr) {
        reader->label_ = Ref::borrow(options.label);
    }
    Ref dwex = Ref::steal(PyImport_ImportModule("dwex"));
    if (!dwex || !(reader->parse_ = Ref::steal(PyObject_GetAttrString(dwex.get(), "parse")))) {
        return nullptr;
    }
    try {
        if (options.names != nullptr) {
            const Py_ssize_t n = PyList_GET_SIZE(options.names);
            for (Py_ssize_t k = 0; k < n; ++k) {
                Py_ssize_t size = 0;
                const char* text =
                    PyUnicode_AsUTF8AndSize(PyList_GET_ITEM(options.names, k), &size);
                if (text == nullptr) {
                    return nullptr;
                }
                reader->names_.emplace_back(text, static_cast<std::size_t>(size));
            }
        } else if (!reader->read_names(options.header)) {
            return nullptr;
        }
        if (options.n_rows >= 0) {
            reader->last_row_ = reader->at_.row + options.n_rows;
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
    if (reader->state_ == State::done) {
        reader->finish();
    }
    return reader;
}

bool SerialReader::read_names(bool header) {
    const Got got = fetch();
    if (got == Got::fault) {
        raise();
        return false;
    }
    if (got == Got::end) {
        state_ = State::done;
        return true;
    }
    const std::uint8_t* row = buffer_.data() + at_.pos;
    for (std::size_t k = 0; k < cells_.size(); ++k) {
        const char* text = reinterpret_cast<const char*>(row + cells_[k].begin);
        const auto size = static_cast<std::size_t>(cells_[k].end - cells_[k].begin);
        if (header && std::memchr(text, 0, size) != nullptr) {
            PyErr_Format(PyExc_ValueError,
                         "the name of column %zu holds a NUL character, which an Arrow "
                         "column name cannot",
                         k + 1);
            return false;
        }
        names_.push_back(header ? std::string(text, size) : "f" + std::to_string(k));
    }
    if (header) {
        accept();
    }
    return true;
}

bool SerialReader::select(const std::vector<std::size_t>& columns) {
    try {
        std::vector<std::string> names;
        names.reserve(columns.size());
        for (const std::size_t k : columns) {
            if (k >= names_.size()) {
                Ref count = counted(names_.size(), "column");
                if (count) {
                    PyErr_Format(PyExc_ValueError, "columns: index %zu is past the table's %U", k,
                                 count.get());
                }
                return false;
            }
            names.push_back(names_[k]);
        }
        std::vector<std::size_t> chosen(columns);
        builder_.reset();
        selected_ = std::move(chosen);
        selected_names_ = std::move(names);
        builder_.emplace(layout_, batch_rows_, selected_);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

SerialReader::~SerialReader() {
    if (owned_ && file_) {
        finish();
    }
}

void SerialReader::finish() {
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

bool SerialReader::fill(std::int64_t want, std::int64_t least) {
    if (state_ == State::stalled) {
        Gil gil;
        fail(std::move(error_)); // the failure kept for when the rows before it were handed out
        return false;
    }
    // The unfinished row moves to the front; the read is at least as large
    // as what is kept, and reaches what the row is known to need, up to a
    // window or what is kept again: a damaged length may claim more bytes
    // than any file holds, and a file's read() allocates what it is asked for.
    const std::size_t kept = len_ - at_.pos;
    if (at_.pos != 0 && kept != 0) {
        std::memmove(buffer_.data(), buffer_.data() + at_.pos, kept);
    }
    len_ = kept;
    at_.pos = 0;
    const auto held = static_cast<std::int64_t>(kept);
    const std::int64_t ask =
        std::max({least, held, std::min(want - held, std::max(held, window_))});
    Gil gil;
    const std::int64_t got = window_ > 0 ? read_into(ask) : read(ask);
    if (got < 0) {
        return false;
    }
    if (got == 0) {
        state_ = State::ended;
        at_.astral |= holds_astral(buffer_.data(), len_);
        return true;
    }
    len_ += static_cast<std::size_t>(got);
    return true;
}

std::int64_t SerialReader::read(std::int64_t ask) {
    Ref data =
        Ref::steal(PyObject_CallMethod(file_.get(), "read", "L", static_cast<long long>(ask)));
    if (!data) {
        fail_raised();
        return -1;
    }
    if (!PyBytes_Check(data.get())) {
        PyErr_Format(PyExc_TypeError,
                     "read_arrow needs a file opened in binary mode, whose read() "
                     "gives bytes, not %.200s",
                     Py_TYPE(data.get())->tp_name);
        fail_raised();
        return -1;
    }
    const auto got = static_cast<std::size_t>(PyBytes_GET_SIZE(data.get()));
    if (got == 0) {
        return 0; // the buffer of an empty file may still be unallocated
    }
    if (!buffer_.reserve(len_ + got + arrow::copy_slack)) {
        fail_no_memory();
        return -1;
    }
    std::memcpy(buffer_.data() + len_, PyBytes_AS_STRING(data.get()), got);
    return static_cast<std::int64_t>(got);
}

std::int64_t SerialReader::read_into(std::int64_t ask) {
    // Straight into the buffer: no bytes object made, paged in and copied each time.
    if (!buffer_.reserve(len_ + static_cast<std::size_t>(ask) + arrow::copy_slack)) {
        fail_no_memory();
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
        fail_raised();
        return -1;
    }
    if (got < 0 || got > ask) {
        PyErr_Format(PyExc_ValueError,
                     "readinto() of the file returned %lld for a buffer of %lld bytes",
                     static_cast<long long>(got), static_cast<long long>(ask));
        fail_raised();
        return -1;
    }
    return got;
}

SerialReader::Got SerialReader::fetch() {
    for (;;) {
        if (at_.pos == len_) {
            if (state_ == State::ended) {
                return Got::end;
            }
            if (!fill(0, chunk_)) {
                return Got::fault;
            }
            continue;
        }
        cells_.clear();
        const bool at_eof = state_ == State::ended;
        try {
            last_ = dwex::codec::read_row(buffer_.data() + at_.pos, buffer_.data() + len_, at_eof,
                                          at_eof && !at_.astral, cells_);
        } catch (const std::bad_alloc&) {
            fail_no_memory();
            return Got::fault;
        }
        if (last_.stop == RowStop::complete) {
            return Got::row;
        }
        if (last_.stop != RowStop::need_more) {
            return fault_at_row();
        }
        if (!fill(last_.want, chunk_)) {
            return Got::fault;
        }
    }
}

void SerialReader::accept() noexcept {
    at_.pos += static_cast<std::size_t>(last_.next);
    at_.bytes += last_.next;
    at_.units += last_.units;
    at_.astral |= last_.astral;
    ++at_.row;
}

int SerialReader::commit() {
    if (!builder_->open() && !builder_->start()) {
        fail_no_memory();
        return -1;
    }
    const std::size_t n = cells_.size();
    if (n != names_.size()) {
        Gil gil;
        Ref cells = counted(n, "cell");
        Ref columns = cells ? counted(names_.size(), "column") : Ref();
        fail_with(PyExc_ValueError, "row %lld has %U, but the table has %U",
                  static_cast<long long>(at_.row + 1), cells.get(), columns.get());
        return -1;
    }
    const std::size_t done = builder_->append(buffer_.data() + at_.pos, cells_.data());
    if (done == selected_.size()) {
        builder_->added();
        return 1;
    }
    // The columns before the one that stopped hold this row's cell: cut them back.
    builder_->unwind(cells_.data(), done);
    const dwex::codec::Span cell = cells_[selected_[done]];
    const auto size = static_cast<std::size_t>(cell.end - cell.begin);
    if (!builder_->column_full(done, size)) {
        fail_no_memory();
        return -1;
    }
    if (builder_->rows() > 0) {
        return 0; // the row starts the next batch
    }
    Gil gil;
    Ref where = column(selected_[done]);
    fail_with(PyExc_ValueError,
              "row %lld, %U: a cell of %zu bytes, more than an Arrow string holds",
              static_cast<long long>(at_.row + 1), where.get(), size);
    return -1;
}

bool SerialReader::emit(ArrowArray* out) {
    if (!builder_->emit(out)) {
        fail_no_memory();
        return false;
    }
    return true;
}

bool SerialReader::next(ArrowArray* out, std::int64_t stint) noexcept {
    out->release = nullptr;
    if (failed()) {
        finish();
        return false;
    }
    const std::int64_t start = at_.bytes;
    while (state_ != State::done && !builder_->full()) {
        if (last_row_ >= 0 && at_.row >= last_row_) {
            // The rows asked for are read: the rest of the file is not.
            state_ = State::done;
            finish();
            break;
        }
        const Got got = fetch();
        if (got == Got::fault) {
            break;
        }
        if (got == Got::end) {
            state_ = State::done;
            finish();
            break;
        }
        const int committed = commit();
        if (committed <= 0) {
            break; // a fault, or the row starts the next batch
        }
        accept();
        if (stint >= 0 && at_.bytes - start >= stint) {
            break; // past what the window's read could not split: it may again
        }
    }
    if (builder_->rows() > 0) {
        // The rows before a fault come first; the fault waits for the next call.
        return emit(out);
    }
    if (failed()) {
        finish();
        return false;
    }
    return true;
}

bool SerialReader::buffer(std::int64_t bytes) {
    while (state_ == State::reading && static_cast<std::int64_t>(len_ - at_.pos) < bytes) {
        if (!fill(bytes, 1)) {
            state_ = State::stalled;
            return false;
        }
    }
    return true;
}

dwex::codec::Window SerialReader::buffered() const noexcept {
    const bool at_eof = state_ == State::ended;
    return dwex::codec::Window{buffer_.data(), static_cast<std::int64_t>(len_),
                               static_cast<std::int64_t>(at_.pos), at_eof, at_eof && !at_.astral};
}

void SerialReader::advance(const dwex::codec::Reach& counted) noexcept {
    at_.pos = static_cast<std::size_t>(counted.end);
    at_.bytes += counted.end - counted.begin;
    at_.units += counted.units;
    at_.astral |= counted.astral;
    at_.row += counted.rows;
}

} // namespace dwexio
