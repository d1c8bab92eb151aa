// writer.cpp: each cell's UTF-8 bytes are copied after their width digit
// and UTF-16 length into one output buffer, which goes to the file whenever
// it fills, always between cells (so a text file's share decodes).
#include "dwexio/arrow/writer.hpp"
#include "dwexio/arrow/types.hpp"

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "core/utf8.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace dwexio {
namespace {

using arrow::field_bytes;
using arrow::field_room;
using arrow::PlainColumn;
using arrow::short_cell_bytes;
using dwex::Ref;

/// Output bytes gathered before one write to the file: small enough to stay
/// in the core's cache until the file takes them.
constexpr std::size_t flush_bytes = 1 << 18;

} // namespace

TableWriter::~TableWriter() {
    if (single_.release != nullptr) {
        single_.release(&single_);
    }
    if (schema_.release != nullptr) {
        schema_.release(&schema_);
    }
    if (stream_.release != nullptr) {
        stream_.release(&stream_);
    }
}

bool TableWriter::adopt_stream(ArrowArrayStream* stream) noexcept {
    stream_ = *stream;
    stream->release = nullptr;
    has_stream_ = true;
    const int status = stream_.get_schema(&stream_, &schema_);
    if (status != 0) {
        const char* message = stream_.get_last_error(&stream_);
        PyErr_Format(PyExc_ValueError, "the Arrow stream gave no schema: %s",
                     message ? message : std::strerror(status));
        return false;
    }
    return check_schema();
}

bool TableWriter::adopt_array(ArrowSchema* schema, ArrowArray* array) noexcept {
    schema_ = *schema;
    schema->release = nullptr;
    single_ = *array;
    array->release = nullptr;
    return check_schema();
}

void TableWriter::give_back(ArrowArrayStream* stream, ArrowSchema* schema,
                            ArrowArray* array) noexcept {
    if (has_stream_) {
        // The schema that get_schema() gave stays here, a copy.
        *stream = stream_;
        stream_.release = nullptr;
        has_stream_ = false;
        return;
    }
    *schema = schema_;
    schema_.release = nullptr;
    *array = single_;
    single_.release = nullptr;
}

bool TableWriter::check_schema() noexcept {
    try {
        if (schema_.format != arrow::struct_format) {
            PyErr_Format(PyExc_TypeError, "write_arrow needs a table (a struct of columns), not %s",
                         arrow::type_name(schema_).c_str());
            return false;
        }
        for (std::int64_t k = 0; k < schema_.n_children; ++k) {
            const ArrowSchema& child = *schema_.children[k];
            names_.emplace_back(child.name ? child.name : "");
            arrow::ColumnLayout layout;
            if (!arrow::column_layout(child, &layout)) {
                // The parts of the message, which dwexio/_tables/typed.py words
                // alike for pyarrow's columns.
                Ref parts =
                    Ref::steal(Py_BuildValue("(LssO)", static_cast<long long>(k + 1),
                                             names_.back().c_str(), arrow::type_name(child).c_str(),
                                             arrow::has_text_form(child) ? Py_True : Py_False));
                if (parts) {
                    PyErr_SetObject(PyExc_TypeError, parts.get());
                }
                return false;
            }
            layouts_.push_back(layout);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool TableWriter::next_batch(ArrowArray* out) noexcept {
    out->release = nullptr;
    if (!has_stream_) {
        *out = single_;
        single_.release = nullptr;
        return true;
    }
    const int status = stream_.get_next(&stream_, out);
    if (status != 0) {
        const char* message = stream_.get_last_error(&stream_);
        PyErr_SetString(PyExc_ValueError, message ? message : std::strerror(status));
        return false;
    }
    return true;
}

bool TableWriter::flush() noexcept {
    if (out_.size() == 0) {
        return true;
    }
    auto* bytes = reinterpret_cast<char*>(out_.data());
    const auto size = static_cast<Py_ssize_t>(out_.size());
    Ref chunk = Ref::steal(text_file_    ? PyUnicode_DecodeUTF8(bytes, size, "surrogatepass")
                           : lends_view_ ? PyMemoryView_FromMemory(bytes, size, PyBUF_READ)
                                         : PyBytes_FromStringAndSize(bytes, size));
    if (!chunk) {
        return false;
    }
    Ref written = Ref::steal(PyObject_CallMethod(file_, "write", "O", chunk.get()));
    if (!written) {
        return false;
    }
    out_.resize(0);
    return true;
}

int TableWriter::lends_view(PyObject* file) noexcept {
    static constexpr struct {
        const char* module;
        const char* type;
    } keep_nothing[] = {{"io", "BytesIO"},
                        {"io", "FileIO"},
                        {"io", "BufferedWriter"},
                        {"dwexio._io.output", "Output"}};
    for (const auto& known : keep_nothing) {
        // A module that is not loaded has made no file.
        Ref name = Ref::steal(PyUnicode_FromString(known.module));
        Ref module = Ref::steal(name ? PyImport_GetModule(name.get()) : nullptr);
        if (!module) {
            if (PyErr_Occurred()) {
                return -1;
            }
            continue;
        }
        Ref type = Ref::steal(PyObject_GetAttrString(module.get(), known.type));
        if (!type) {
            return -1;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(file)) == type.get()) {
            return 1;
        }
    }
    return 0;
}

bool TableWriter::make_room(std::size_t size) noexcept {
    if (!hold_ && !flush()) {
        return false;
    }
    if (!out_.reserve(out_.size() + size + flush_bytes)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

[[gnu::always_inline]] inline bool TableWriter::room_for(std::uint8_t*& p,
                                                         std::size_t size) noexcept {
    if (static_cast<std::size_t>(p - out_.data()) + size <= out_.capacity()) {
        return true;
    }
    out_.resize(static_cast<std::size_t>(p - out_.data()));
    const bool made = make_room(size);
    p = out_.data() + out_.size();
    return made;
}

bool TableWriter::leaf_at(const ArrowArray& batch, std::size_t k, std::int64_t r,
                          const std::uint8_t** data, std::size_t* size) const noexcept {
    if (arrow::cell_at(batch, *batch.children[k], layouts_[k], r, data, size)) {
        return true;
    }
    if (has_null_) {
        *data = reinterpret_cast<const std::uint8_t*>(null_.data());
        *size = null_.size();
        return true;
    }
    return no_text_for_null(k, row_ + 1);
}

bool TableWriter::no_text_for_null(std::size_t k, std::int64_t row) const noexcept {
    PyErr_Format(PyExc_ValueError,
                 "row %lld, column %zu ('%s'): a null; pass null= to write_arrow to "
                 "give the text written for it",
                 static_cast<long long>(row), k + 1, names_[k].c_str());
    return false;
}

bool TableWriter::check_nulls(const ArrowArray& batch) const noexcept {
    std::int64_t first = batch.length;
    std::size_t column = 0;
    for (std::size_t k = 0; k < layouts_.size(); ++k) {
        const std::int64_t r = arrow::first_null(batch, *batch.children[k], layouts_[k], first);
        if (r < first) {
            first = r;
            column = k;
        }
    }
    return first == batch.length || no_text_for_null(column, row_ + first + 1);
}

bool TableWriter::check_batch(const ArrowArray& batch) const noexcept {
    const std::size_t columns = layouts_.size();
    if (batch.n_children != static_cast<std::int64_t>(columns)) {
        PyErr_Format(PyExc_ValueError, "a batch of %lld column%s in a stream of %zu",
                     static_cast<long long>(batch.n_children), batch.n_children == 1 ? "" : "s",
                     columns);
        return false;
    }
    // Without a text for nulls, a batch holding one is refused before any of
    // it is written, so that an open file gets whole batches or nothing.
    return has_null_ || check_nulls(batch);
}

bool TableWriter::put_block(const std::vector<PlainColumn>& plain, std::int64_t first,
                            std::int64_t end, std::uint8_t*& p, bool* done) noexcept {
    // A block of rows of plain columns takes at most its strings' bytes and
    // each cell's longest field: one check makes room for all of it.
    std::uint64_t bound =
        static_cast<std::uint64_t>(end - first) * (plain.size() * field_bytes + 1) +
        short_cell_bytes;
    bool readable = true;
    for (const PlainColumn& c : plain) {
        bound += static_cast<std::uint64_t>(c.offsets[end] - c.offsets[first]);
        readable = readable && c.data + c.offsets[end] + short_cell_bytes <= c.end;
    }
    *done = bound <= flush_bytes;
    if (!*done) {
        return true;
    }
    std::uint8_t* q = p;
    if (!room_for(q, bound)) {
        return false;
    }
    p = readable ? arrow::put_plain_rows<true>(*cells_, plain, first, end, q)
                 : arrow::put_plain_rows<false>(*cells_, plain, first, end, q);
    row_ += end - first;
    return true;
}

// Inlined into write_batch's loop, whose write position then stays in a
// register from row to row.
[[gnu::always_inline]] inline bool TableWriter::put_row(const ArrowArray& batch,
                                                        const std::vector<PlainColumn>& plain,
                                                        std::int64_t r,
                                                        std::uint8_t*& at) noexcept {
    // A local write position: one that is a reference could be aliased by
    // every byte stored, and would be read back from memory after each.
    std::uint8_t* p = at;
    const arrow::CellWriter& cells = *cells_;
    const PlainColumn* const columns = plain.data();
    const std::size_t n = plain.size();
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        const PlainColumn& c = columns[k];
        if (c.data != nullptr) {
            data = c.data + c.offsets[r];
            size = static_cast<std::size_t>(c.offsets[r + 1] - c.offsets[r]);
            if (!room_for(p, size + field_room)) {
                return false;
            }
            p = c.ascii ? cells.put_ascii_cell(data, size, c.end, p)
                        : cells.put_cell(data, size, c.end, p);
            continue;
        }
        if (!leaf_at(batch, k, r, &data, &size)) {
            out_.resize(static_cast<std::size_t>(p - out_.data()));
            return false;
        }
        if (!room_for(p, size + field_room)) {
            return false;
        }
        p = cells.put_cell(data, size, data, p);
    }
    if (!room_for(p, 1)) {
        return false;
    }
    *p++ = static_cast<std::uint8_t>(dwex::format::row_terminator);
    ++row_;
    at = p;
    return true;
}

bool TableWriter::write_batch(const ArrowArray& batch) noexcept {
    if (!check_batch(batch)) {
        return false;
    }
    if (!cells_) {
        return write_batch_any(batch);
    }
    std::vector<PlainColumn> plain;
    if (!arrow::plain_columns(batch, layouts_, plain)) {
        PyErr_NoMemory();
        return false;
    }
    const bool all_plain = std::all_of(plain.begin(), plain.end(),
                                       [](const PlainColumn& c) { return c.data != nullptr; });
    // The write position, kept out of the buffer until a row is done or the
    // buffer must be flushed.
    std::uint8_t* p = out_.data() + out_.size();
    for (std::int64_t r = 0; r < batch.length; ++r) {
        if (all_plain && r % arrow::block_rows == 0) {
            const std::int64_t end = std::min(batch.length, r + arrow::block_rows);
            bool done = false;
            if (!put_block(plain, r, end, p, &done)) {
                return false;
            }
            if (done) {
                r = end - 1;
                continue;
            }
        }
        if (!put_row(batch, plain, r, p)) {
            return false;
        }
    }
    out_.resize(static_cast<std::size_t>(p - out_.data()));
    return true;
}

bool TableWriter::any_cell(const std::uint8_t* data, std::size_t size, std::size_t k) noexcept {
    const auto units = static_cast<std::uint64_t>(dwex::utf8::units(data, size));
    const int count = dwex::format::decimal_digit_count(units);
    const HexDigits::Digit& digit = hex_.of(count);
    if (digit.error) {
        PyErr_SetRaisedException(Py_NewRef(digit.error.get()));
        return false;
    }
    if (digit.other && !other_digit_) {
        // stringify joins three pieces a leaf and one a row terminator.
        const auto columns = static_cast<std::int64_t>(layouts_.size());
        other_digit_ = Ref::borrow(digit.other.get());
        other_piece_ = row_ * (3 * columns + 1) + 3 * static_cast<std::int64_t>(k);
    }
    std::uint8_t* p = out_.data() + out_.size();
    if (!room_for(p, digit.text.size() + field_bytes + size)) {
        return false;
    }
    std::memcpy(p, digit.text.data(), digit.text.size());
    p = dwex::format::write_digits(units, count, p + digit.text.size());
    std::memcpy(p, data, size);
    out_.resize(static_cast<std::size_t>(p + size - out_.data()));
    return true;
}

bool TableWriter::end_row() noexcept {
    std::uint8_t* p = out_.data() + out_.size();
    if (!room_for(p, 1)) {
        return false;
    }
    *p = static_cast<std::uint8_t>(dwex::format::row_terminator);
    out_.resize(out_.size() + 1);
    ++row_;
    return true;
}

bool TableWriter::write_batch_any(const ArrowArray& batch) noexcept {
    for (std::int64_t r = 0; r < batch.length; ++r) {
        for (std::size_t k = 0; k < layouts_.size(); ++k) {
            const std::uint8_t* data = nullptr;
            std::size_t size = 0;
            if (!leaf_at(batch, k, r, &data, &size) || !any_cell(data, size, k)) {
                return false;
            }
        }
        if (!end_row()) {
            return false;
        }
    }
    return true;
}

bool TableWriter::header_row() noexcept {
    for (std::size_t k = 0; k < names_.size(); ++k) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(names_[k].data());
        const std::size_t size = names_[k].size();
        if (!cells_) {
            if (!any_cell(data, size, k)) {
                return false;
            }
            continue;
        }
        std::uint8_t* p = out_.data() + out_.size();
        if (!room_for(p, size + field_room)) {
            return false;
        }
        out_.resize(static_cast<std::size_t>(cells_->put_cell(data, size, data, p) - out_.data()));
    }
    return end_row();
}

bool TableWriter::prepare(PyObject* file, bool text_file, PyObject* null) noexcept {
    if (used_.test_and_set()) {
        PyErr_SetString(PyExc_ValueError, "this Arrow data has already been written");
        return false;
    }
    file_ = file;
    text_file_ = text_file;
    const int lends = text_file ? 0 : lends_view(file);
    if (lends < 0 || !hex_.read()) {
        return false;
    }
    lends_view_ = lends != 0;
    hold_ = !hex_.complete();
    if (hex_.single_bytes()) {
        cells_.emplace(hex_.bytes());
    }
    if (null != nullptr) {
        Ref bytes = Ref::steal(PyUnicode_AsEncodedString(null, "utf-8", "surrogatepass"));
        if (!bytes) {
            return false;
        }
        try {
            null_.assign(PyBytes_AS_STRING(bytes.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        has_null_ = true;
    }
    if (!out_.reserve(flush_bytes)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool TableWriter::write(PyObject* file, bool text_file, bool header, PyObject* null) noexcept {
    if (!prepare(file, text_file, null) || (header && !header_row())) {
        return false;
    }
    for (;;) {
        ArrowArray batch;
        if (!next_batch(&batch)) {
            return false;
        }
        if (batch.release == nullptr) {
            break;
        }
        const bool ok = write_batch(batch);
        batch.release(&batch);
        if (!ok) {
            return false;
        }
    }
    if (other_digit_) {
        PyErr_Format(PyExc_TypeError, "sequence item %lld: expected str instance, %.80s found",
                     static_cast<long long>(other_piece_), Py_TYPE(other_digit_.get())->tp_name);
        return false;
    }
    return flush();
}

} // namespace dwexio
