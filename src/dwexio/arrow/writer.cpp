// arrow_writer.cpp: each cell's UTF-8 bytes are copied after their width
// digit and UTF-16 length into one output buffer, which goes to the file
// whenever it fills, always between cells (so a text file's share decodes).
#include "dwexio/arrow/writer.hpp"
#include "dwexio/arrow/types.hpp"

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "core/simd.hpp"
#include "core/utf8.hpp"
#include "core/widest.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

namespace dwexio {
namespace {

using dwex::Ref;

/// Output bytes gathered before one write to the file: small enough to stay
/// in the core's cache until the file takes them.
constexpr std::size_t flush_bytes = 1 << 18;

constexpr char hex_digits[] = "0123456789abcdef";

/// A cell of at most this many bytes, with as many readable from its start,
/// is checked for ASCII and copied by two vector loads and stores.
constexpr std::size_t short_cell_bytes = 2 * dwex::simd::vector_bytes;
/// The most a cell's item takes besides its bytes: a width digit and the
/// longest length field.
constexpr std::size_t field_bytes = 1 + dwex::format::max_length_digits;
/// Room made for a cell besides its bytes: its field, and the stores of a
/// short copy past its end.
constexpr std::size_t field_room = field_bytes + short_cell_bytes;

bool string_kind(const char* format, ColumnLayout::Kind* kind) noexcept {
    if (std::strcmp(format, "u") == 0) {
        *kind = ColumnLayout::Kind::string;
    } else if (std::strcmp(format, "U") == 0) {
        *kind = ColumnLayout::Kind::large_string;
    } else if (std::strcmp(format, "vu") == 0) {
        *kind = ColumnLayout::Kind::string_view;
    } else {
        return false;
    }
    return true;
}

bool index_layout(const char* format, ColumnLayout* layout) noexcept {
    static constexpr char formats[] = "cCsSiIlL";
    if (format[0] == '\0' || format[1] != '\0') {
        return false;
    }
    const char* found = std::strchr(formats, format[0]);
    if (found == nullptr) {
        return false;
    }
    const auto k = found - formats;
    layout->index_bytes = 1 << (k / 2);
    layout->index_signed = k % 2 == 0;
    return true;
}

bool is_valid(const ArrowArray& array, std::int64_t index) noexcept {
    if (array.null_count == 0 || array.buffers[0] == nullptr) {
        return true;
    }
    const auto* bits = static_cast<const std::uint8_t*>(array.buffers[0]);
    return (bits[index >> 3] >> (index & 7)) & 1;
}

/// The string at `index` (the array's own offset applied by the caller).
void string_at(const ArrowArray& array, ColumnLayout::Kind kind, std::int64_t index,
               const std::uint8_t** data, std::size_t* size) noexcept {
    switch (kind) {
    case ColumnLayout::Kind::string: {
        const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
        *data = static_cast<const std::uint8_t*>(array.buffers[2]) + offsets[index];
        *size = static_cast<std::size_t>(offsets[index + 1] - offsets[index]);
        return;
    }
    case ColumnLayout::Kind::large_string: {
        const auto* offsets = static_cast<const std::int64_t*>(array.buffers[1]);
        *data = static_cast<const std::uint8_t*>(array.buffers[2]) + offsets[index];
        *size = static_cast<std::size_t>(offsets[index + 1] - offsets[index]);
        return;
    }
    case ColumnLayout::Kind::string_view: {
        // 16 bytes a view: the length, then either the string itself (up to
        // 12 bytes) or its prefix, data buffer and offset there.
        const auto* view = static_cast<const std::uint8_t*>(array.buffers[1]) + 16 * index;
        std::int32_t length;
        std::memcpy(&length, view, 4);
        *size = static_cast<std::size_t>(length);
        if (length <= 12) {
            *data = view + 4;
            return;
        }
        std::int32_t buffer, offset;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        *data = static_cast<const std::uint8_t*>(array.buffers[2 + buffer]) + offset;
        return;
    }
    }
}

std::int64_t index_at(const ArrowArray& indices, const ColumnLayout& layout,
                      std::int64_t k) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(indices.buffers[1]);
    switch (layout.index_bytes) {
    case 1:
        return layout.index_signed ? static_cast<std::int8_t>(p[k]) : p[k];
    case 2: {
        std::uint16_t v;
        std::memcpy(&v, p + 2 * k, 2);
        return layout.index_signed ? static_cast<std::int16_t>(v) : v;
    }
    case 4: {
        std::uint32_t v;
        std::memcpy(&v, p + 4 * k, 4);
        return layout.index_signed ? static_cast<std::int32_t>(v) : v;
    }
    default: {
        std::int64_t v;
        std::memcpy(&v, p + 8 * k, 8);
        return v;
    }
    }
}

/// The first row before `limit` where `column` of `batch` is null, or
/// `limit`: a dictionary's row is null where its index or its value is.
std::int64_t first_null(const ArrowArray& batch, const ArrowArray& column,
                        const ColumnLayout& layout, std::int64_t limit) noexcept {
    const ArrowArray* values = layout.index_bytes != 0 ? column.dictionary : nullptr;
    const bool values_null =
        values != nullptr && values->null_count != 0 && values->buffers[0] != nullptr;
    if ((column.null_count == 0 || column.buffers[0] == nullptr) && !values_null) {
        return limit;
    }
    for (std::int64_t r = 0; r < limit; ++r) {
        const std::int64_t index = batch.offset + column.offset + r;
        if (!is_valid(column, index) ||
            (values_null && !is_valid(*values, values->offset + index_at(column, layout, index)))) {
            return r;
        }
    }
    return limit;
}

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
        if (std::strcmp(schema_.format, "+s") != 0) {
            PyErr_Format(PyExc_TypeError, "write_arrow needs a table (a struct of columns), not %s",
                         arrow::type_name(schema_).c_str());
            return false;
        }
        for (std::int64_t k = 0; k < schema_.n_children; ++k) {
            const ArrowSchema& child = *schema_.children[k];
            names_.emplace_back(child.name ? child.name : "");
            ColumnLayout layout{};
            const bool ok = child.dictionary == nullptr
                                ? string_kind(child.format, &layout.kind)
                                : index_layout(child.format, &layout) &&
                                      string_kind(child.dictionary->format, &layout.kind);
            if (!ok) {
                // The parts of the message, which dwexio/_typed.py words
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

/// The width digit and length field of `units`, at `p`; returns their end.
inline std::uint8_t* length_field(std::uint8_t* p, std::uint64_t units) noexcept {
    if (units < 100) {
        // Without a branch on the count of digits, which short cells of
        // mixed lengths would mispredict.
        const int count = 1 + static_cast<int>(units >= 10);
        return dwex::format::write_length_prefix(static_cast<std::uint8_t>(hex_digits[count - 1]),
                                                 units, count, p);
    }
    const int count = dwex::format::decimal_digit_count(units);
    *p++ = static_cast<std::uint8_t>(hex_digits[count - 1]);
    return dwex::format::write_digits(units, count, p);
}

/// Writes one cell's item at `p` and returns its end. Room has been made for
/// the cell and field_room; `readable` is how far the source may be read. The write position
/// travels as an argument and a return value, never through the buffer's size, so that it stays in
/// a register: every byte store could otherwise alias that size.
[[gnu::always_inline]] inline std::uint8_t* put_cell(const std::uint8_t* data, std::size_t size,
                                                     const std::uint8_t* readable,
                                                     std::uint8_t* p) noexcept {
#if DWEX_SIMD
    // A short cell, the common case: two loads count it and copy it.
    if (size <= short_cell_bytes && static_cast<std::size_t>(readable - data) >= short_cell_bytes) {
        const dwex::simd::Vec low = dwex::simd::load(data);
        const dwex::simd::Vec high = dwex::simd::load(data + dwex::simd::vector_bytes);
        p = length_field(p, static_cast<std::uint64_t>(dwex::utf8::units_of(low, high, size)));
        dwex::simd::store(p, low);
        dwex::simd::store(p + dwex::simd::vector_bytes, high);
        return p + size;
    }
#endif
    p = length_field(p, static_cast<std::uint64_t>(dwex::utf8::units(data, size)));
    std::memcpy(p, data, size);
    return p + size;
}

/// A width digit for each count of length digits, as ShortPrefixes takes them.
struct HexWidthDigits {
    int counts = dwex::format::max_length_digits;
    std::array<char, dwex::format::max_length_digits + 1> of_count = [] {
        std::array<char, dwex::format::max_length_digits + 1> t{};
        for (std::size_t c = 1; c < t.size(); ++c) {
            t[c] = hex_digits[c - 1];
        }
        return t;
    }();
};

/// The width digit and length field of the lengths below 100, most cells'.
const dwex::format::ShortPrefixes<std::uint8_t> short_prefixes{HexWidthDigits{}};
static_assert(dwex::format::ShortPrefixes<std::uint8_t>::slot_units <= field_room);

/// put_cell for a cell known to be ASCII, whose units are its bytes. With
/// `Readable`, the caller has made sure that a short cell may be read as a
/// whole short copy.
template <bool Readable = false>
inline std::uint8_t* put_ascii_cell(const std::uint8_t* data, std::size_t size,
                                    const std::uint8_t* readable, std::uint8_t* p) noexcept {
    if (size < short_prefixes.lengths) {
        std::memcpy(p, short_prefixes.units[size].data(), short_prefixes.slot_units);
        p += short_prefixes.size[size];
    } else {
        p = length_field(p, size);
    }
#if DWEX_SIMD
    if (size <= short_cell_bytes &&
        (Readable || static_cast<std::size_t>(readable - data) >= short_cell_bytes)) {
        dwex::simd::store(p, dwex::simd::load(data));
        dwex::simd::store(p + dwex::simd::vector_bytes,
                          dwex::simd::load(data + dwex::simd::vector_bytes));
        return p + size;
    }
#else
    (void)readable;
#endif
    std::memcpy(p, data, size);
    return p + size;
}

void TableWriter::cell(const std::uint8_t* data, std::size_t size,
                       const std::uint8_t* readable) noexcept {
    std::uint8_t* const end = put_cell(data, size, readable, out_.data() + out_.size());
    out_.resize(static_cast<std::size_t>(end - out_.data()));
}

int TableWriter::lends_view(PyObject* file) noexcept {
    static constexpr struct {
        const char* module;
        const char* type;
    } keep_nothing[] = {{"io", "BytesIO"},
                        {"io", "FileIO"},
                        {"io", "BufferedWriter"},
                        {"dwexio._output", "Output"}};
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
    if (!flush()) {
        return false;
    }
    if (!out_.reserve(size + flush_bytes)) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

namespace {

/// What a plain string column without nulls, the common case, needs at hand:
/// its offsets and data, and the data's end. A column of any other kind has
/// no data here.
struct PlainColumn {
    const std::int32_t* offsets = nullptr;
    const std::uint8_t* data = nullptr;
    const std::uint8_t* end = nullptr;
    bool ascii = false; ///< every byte of the batch's strings is ASCII: units are bytes
};

/// Rows at once when every column is plain: room is made, and whether each
/// short cell may be read by a whole short copy is found, once a block.
constexpr std::int64_t block_rows = 64;

/// Puts rows [first, end) of plain columns at `p`, with room made for them.
template <bool Readable>
std::uint8_t* put_plain_rows(const std::vector<PlainColumn>& plain, std::int64_t first,
                             std::int64_t end, std::uint8_t* p) noexcept {
    for (std::int64_t r = first; r < end; ++r) {
        for (const PlainColumn& c : plain) {
            const std::uint8_t* data = c.data + c.offsets[r];
            const auto size = static_cast<std::size_t>(c.offsets[r + 1] - c.offsets[r]);
            p = c.ascii ? put_ascii_cell<Readable>(data, size, c.end, p)
                        : put_cell(data, size, c.end, p);
        }
        *p++ = static_cast<std::uint8_t>(dwex::format::row_terminator);
    }
    return p;
}

bool plain_columns(const ArrowArray& batch, const std::vector<ColumnLayout>& layouts,
                   std::vector<PlainColumn>& plain) noexcept {
    try {
        plain.assign(layouts.size(), PlainColumn{});
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (std::size_t k = 0; k < layouts.size(); ++k) {
        const ArrowArray& child = *batch.children[k];
        if (layouts[k].kind == ColumnLayout::Kind::string && layouts[k].index_bytes == 0 &&
            (child.null_count == 0 || child.buffers[0] == nullptr)) {
            const auto* offsets =
                static_cast<const std::int32_t*>(child.buffers[1]) + batch.offset + child.offset;
            const auto* data = static_cast<const std::uint8_t*>(child.buffers[2]);
            const std::uint8_t* first = data + offsets[0];
            const std::uint8_t* end = data + offsets[batch.length];
            const bool ascii =
                dwex::simd::widest_class(first, static_cast<std::size_t>(end - first)) ==
                dwex::simd::ascii_max;
            plain[k] = PlainColumn{offsets, data, end, ascii};
        }
    }
    return true;
}

} // namespace

bool TableWriter::leaf_at(const ArrowArray& batch, std::size_t k, std::int64_t r,
                          const std::uint8_t** data, std::size_t* size) const noexcept {
    const ArrowArray& child = *batch.children[k];
    const ColumnLayout& layout = layouts_[k];
    std::int64_t index = batch.offset + child.offset + r;
    const ArrowArray* strings = &child;
    bool valid = is_valid(child, index);
    if (valid && layout.index_bytes != 0) {
        strings = child.dictionary;
        index = strings->offset + index_at(child, layout, index);
        valid = is_valid(*strings, index);
    }
    if (valid) {
        string_at(*strings, layout.kind, index, data, size);
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
        const std::int64_t r = first_null(batch, *batch.children[k], layouts_[k], first);
        if (r < first) {
            first = r;
            column = k;
        }
    }
    return first == batch.length || no_text_for_null(column, row_ + first + 1);
}

bool TableWriter::write_batch(const ArrowArray& batch) noexcept {
    const std::size_t columns = layouts_.size();
    if (batch.n_children != static_cast<std::int64_t>(columns)) {
        PyErr_Format(PyExc_ValueError, "a batch of %lld column%s in a stream of %zu",
                     static_cast<long long>(batch.n_children), batch.n_children == 1 ? "" : "s",
                     columns);
        return false;
    }
    // Without a text for nulls, a batch holding one is refused before any of
    // it is written, so that an open file gets whole batches or nothing.
    if (!has_null_ && !check_nulls(batch)) {
        return false;
    }
    std::vector<PlainColumn> plain;
    if (!plain_columns(batch, layouts_, plain)) {
        return false;
    }
    const bool all_plain = std::all_of(plain.begin(), plain.end(),
                                       [](const PlainColumn& c) { return c.data != nullptr; });
    // The write position, kept out of the buffer until a row is done or the
    // buffer must be flushed.
    std::uint8_t* p = out_.data() + out_.size();
    const auto room_for = [this, &p](std::size_t size) {
        if (static_cast<std::size_t>(p - out_.data()) + size <= out_.capacity()) {
            return true;
        }
        out_.resize(static_cast<std::size_t>(p - out_.data()));
        const bool made = make_room(size);
        p = out_.data() + out_.size();
        return made;
    };
    // A block of rows of plain columns takes at most its strings' bytes and
    // each cell's longest field: one check makes room for all of it.
    const auto block_bound = [&](std::int64_t first, std::int64_t end, bool* readable) {
        std::uint64_t bound =
            static_cast<std::uint64_t>(end - first) * (columns * field_bytes + 1) +
            short_cell_bytes;
        *readable = true;
        for (const PlainColumn& c : plain) {
            bound += static_cast<std::uint64_t>(c.offsets[end] - c.offsets[first]);
            *readable = *readable && c.data + c.offsets[end] + short_cell_bytes <= c.end;
        }
        return bound;
    };
    for (std::int64_t r = 0; r < batch.length; ++r) {
        if (all_plain && r % block_rows == 0) {
            const std::int64_t end = std::min(batch.length, r + block_rows);
            bool readable;
            const std::uint64_t bound = block_bound(r, end, &readable);
            if (bound <= flush_bytes) {
                if (!room_for(bound)) {
                    return false;
                }
                p = readable ? put_plain_rows<true>(plain, r, end, p)
                             : put_plain_rows<false>(plain, r, end, p);
                row_ += end - r;
                r = end - 1;
                continue;
            }
        }
        for (std::size_t k = 0; k < columns; ++k) {
            if (plain[k].data != nullptr) {
                const PlainColumn& c = plain[k];
                const std::uint8_t* data = c.data + c.offsets[r];
                const auto size = static_cast<std::size_t>(c.offsets[r + 1] - c.offsets[r]);
                if (!room_for(size + field_room)) {
                    return false;
                }
                p = c.ascii ? put_ascii_cell(data, size, c.end, p) : put_cell(data, size, c.end, p);
                continue;
            }
            const std::uint8_t* data = nullptr;
            std::size_t size = 0;
            if (!leaf_at(batch, k, r, &data, &size)) {
                out_.resize(static_cast<std::size_t>(p - out_.data()));
                return false;
            }
            if (!room_for(size + field_room)) {
                return false;
            }
            p = put_cell(data, size, data, p);
        }
        if (!room_for(1)) {
            return false;
        }
        *p++ = ';';
        ++row_;
    }
    out_.resize(static_cast<std::size_t>(p - out_.data()));
    return true;
}

bool TableWriter::write(PyObject* file, bool text_file, bool header, PyObject* null) noexcept {
    file_ = file;
    text_file_ = text_file;
    const int lends = text_file ? 0 : lends_view(file);
    if (lends < 0) {
        return false;
    }
    lends_view_ = lends != 0;
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
    if (header) {
        for (const std::string& name : names_) {
            if (out_.size() + name.size() + field_room > out_.capacity() &&
                !make_room(name.size() + field_room)) {
                return false;
            }
            const auto* data = reinterpret_cast<const std::uint8_t*>(name.data());
            cell(data, name.size(), data);
        }
        if (out_.size() + 1 > out_.capacity() && !make_room(1)) {
            return false;
        }
        out_.data()[out_.size()] = ';';
        out_.resize(out_.size() + 1);
        ++row_;
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
    return flush();
}

} // namespace dwexio
