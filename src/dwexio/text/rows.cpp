// rows.cpp: the native readers of text. read_rows() runs the
// reader's own loop once over a chunk of a document, builds the rows that the
// chunk completes and reports where they end and how the chunk stops, so that
// the stream reader keeps only the unfinished rest for the next read.
// read_delimited() (delimited.cpp) reads plain CSV or TSV lines straight into
// a document.
#include "dwexio/text/rows.hpp"

#include "dwexio/text/delimited.hpp"

#include "core/format.hpp"
#include "core/parse.hpp"
#include "dwex/ref.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace dwexio {
namespace {

using dwex::Ref;
using dwex::codec::FaultKind;
using dwex::codec::Result;

/// Builds the rows that the reader closes, and remembers the code-point
/// index just past the last ';' it closed a row at. The reader reports items
/// by their content range and rows without a position, but every ';' after an
/// item is one code point long, so the k-th row end since the last item lies
/// at that item's end + k. The items of a row wait in `pending_`, as ranges,
/// until its ';' makes them into a list of their number at once; those of the
/// row still open when the chunk stops cost nothing more, and come again with
/// the next chunk.
class RowBuilder {
  public:
    explicit RowBuilder(PyObject* text) noexcept
        : text_(text), ascii_(PyUnicode_IS_ASCII(text)),
          bytes_(static_cast<const char*>(PyUnicode_DATA(text))) {}

    bool start_table() noexcept {
        rows_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(rows_);
    }
    bool start_row() noexcept { return true; }
    bool end_row() noexcept {
        ++ends_since_item_;
        complete_ = item_end_ + ends_since_item_;
        const Ref row = Ref::steal(PyList_New(static_cast<Py_ssize_t>(pending_.size())));
        if (!row) {
            return false;
        }
        for (std::size_t k = 0; k < pending_.size(); ++k) {
            PyObject* leaf = make(pending_[k].first, pending_[k].second);
            if (leaf == nullptr) {
                return false; // the list releases the leaves already in it
            }
            PyList_SET_ITEM(row.get(), static_cast<Py_ssize_t>(k), leaf);
        }
        pending_.clear();
        return PyList_Append(rows_.get(), row.get()) == 0;
    }
    /// The wide loop's third argument, the OR of the content's code points, is
    /// of no use here: the substring finds its own width.
    bool item(std::int64_t begin, std::int64_t end, std::uint32_t = 0) noexcept {
        item_end_ = end;
        ends_since_item_ = 0;
        try {
            pending_.emplace_back(begin, end);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }
    std::int64_t complete() const noexcept { return complete_; }
    /// The complete rows; a new empty list for text without any.
    Ref take_rows() noexcept { return rows_ ? std::move(rows_) : Ref::steal(PyList_New(0)); }

  private:
    /// An ASCII leaf is copied straight into a new str (the interpreter hands
    /// out its own empty and one-character strings); any other is cut out by
    /// the interpreter, which finds its narrowest width.
    PyObject* make(std::int64_t begin, std::int64_t end) const noexcept {
        const Py_ssize_t n = end - begin;
        if (!ascii_ || n < 2) {
            return PyUnicode_Substring(text_, begin, end);
        }
        PyObject* leaf = PyUnicode_New(n, 0x7F);
        if (leaf != nullptr) {
            std::memcpy(PyUnicode_DATA(leaf), bytes_ + begin, static_cast<std::size_t>(n));
        }
        return leaf;
    }

    PyObject* text_;
    bool ascii_;
    const char* bytes_;
    Ref rows_;
    std::vector<std::pair<std::int64_t, std::int64_t>> pending_;
    std::int64_t item_end_ = 0;
    std::int64_t ends_since_item_ = 0;
    std::int64_t complete_ = 0;
};

/// What the stream reader learns from one chunk: its complete rows, where
/// they end (in code points and in UTF-16 units), how the reader stopped
/// there, and, when the chunk ran out, a length that the text must at least
/// reach for the unfinished item to end.
struct Scan {
    Ref rows;
    dwex::codec::Stopped stopped;
    std::int64_t end = 0;
    std::int64_t end_units = 0;
};

/// Reads a chunk under the narrow or the wide rule for length digits at its
/// last code point; at an end of input, the loop says how far the text must
/// at least reach before the unfinished item can end.
template <dwex::format::CodeUnit U, bool wide_rule>
Scan scan_units(PyObject* text, const U* data, std::int64_t length) noexcept {
    RowBuilder sink(text);
    Scan scan;
    scan.stopped =
        dwex::codec::read_document(dwex::codec::StrUnits<U, wide_rule>{data, length}, sink);
    scan.end = sink.complete();
    if (dwex::codec::fault_kind(scan.stopped.result.fault) == FaultKind::sink) {
        return scan; // the sink's error is set, and no rows go out
    }
    scan.rows = sink.take_rows();
    scan.end_units = static_cast<std::int64_t>(
        dwex::format::utf16_length(data, static_cast<std::size_t>(scan.end)));
    return scan;
}

// How a chunk stopped, as the stream reader tells the cases apart.
constexpr int stop_complete = 0;
constexpr int stop_end_of_input = 1;
constexpr int stop_unexpected_token = 2;

int stop_of(const Result& result) noexcept {
    switch (dwex::codec::fault_kind(result.fault)) {
    case FaultKind::end_of_input:
        return stop_end_of_input;
    case FaultKind::unexpected_token:
        return stop_unexpected_token;
    case FaultKind::none:
    case FaultKind::invalid_input: // not reached: a str is not read as bytes
    case FaultKind::sink:          // the caller raises the sink's error first
        break;
    }
    return stop_complete;
}

PyStructSequence_Field rows_read_fields[] = {
    {"rows", "the complete rows of the text"},
    {"end", "where they end, in code points"},
    {"end_units", "where they end, in UTF-16 units"},
    {"stop", "how the reader stopped: 0 complete, 1 end of input, 2 unexpected token"},
    {"position", "an unexpected token's UTF-16 position in the text"},
    {"code_point", "an unexpected token's code point"},
    {"kind", "the storage kind of the text (1, 2 or 4)"},
    {"wanted", "after an end of input, a length the text must at least reach to go on"},
    {nullptr, nullptr},
};

PyStructSequence_Desc rows_read_desc = {
    "dwexio._native.RowsRead",
    "What read_rows() found in a chunk of a document.",
    rows_read_fields,
    8,
};

/// The module's RowsRead, filled from what `found` holds.
PyObject* rows_read(PyObject* module, Scan& found, int kind) noexcept {
    const dwex::codec::Result& r = found.stopped.result;
    Ref type = Ref::steal(PyObject_GetAttrString(module, "RowsRead"));
    Ref out = type ? Ref::steal(PyStructSequence_New(reinterpret_cast<PyTypeObject*>(type.get())))
                   : Ref();
    if (!out) {
        return nullptr;
    }
    PyObject* const items[] = {
        found.rows.release(),
        PyLong_FromLongLong(found.end),
        PyLong_FromLongLong(found.end_units),
        PyLong_FromLong(stop_of(r)),
        PyLong_FromLongLong(r.pos),
        PyLong_FromUnsignedLong(static_cast<unsigned long>(r.code_point)),
        PyLong_FromLong(kind),
        PyLong_FromLongLong(found.stopped.want),
    };
    bool made = true;
    for (Py_ssize_t k = 0; k < 8; ++k) {
        made &= items[k] != nullptr;
        PyStructSequence_SetItem(out.get(), k, items[k]); // null items are left to the dealloc
    }
    return made ? out.release() : nullptr;
}

/// read_rows(text, wide, /) -> RowsRead
///
/// `wide` applies the wide rule to narrow text too: the last chunk of a
/// document that holds a code point above U+FFFF somewhere earlier must end
/// the way the whole document's wide loop ends it.
PyObject* read_rows(PyObject* module, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 2 || !PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "read_rows() takes a str and a flag");
        return nullptr;
    }
    PyObject* text = args[0];
    const int wide = PyObject_IsTrue(args[1]);
    if (wide < 0) {
        return nullptr;
    }
    const std::int64_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Scan found;
    switch (kind) {
    case PyUnicode_1BYTE_KIND:
        found = wide ? scan_units<Py_UCS1, true>(text, static_cast<const Py_UCS1*>(data), length)
                     : scan_units<Py_UCS1, false>(text, static_cast<const Py_UCS1*>(data), length);
        break;
    case PyUnicode_2BYTE_KIND:
        found = wide ? scan_units<Py_UCS2, true>(text, static_cast<const Py_UCS2*>(data), length)
                     : scan_units<Py_UCS2, false>(text, static_cast<const Py_UCS2*>(data), length);
        break;
    default:
        found = scan_units<Py_UCS4, true>(text, static_cast<const Py_UCS4*>(data), length);
        break;
    }
    if (dwex::codec::fault_kind(found.stopped.result.fault) == FaultKind::sink || !found.rows) {
        return nullptr; // MemoryError, set by the sink or by take_rows
    }
    return rows_read(module, found, kind);
}

PyMethodDef text_methods[] = {
    {"read_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_rows)),
     METH_FASTCALL,
     "read_rows(text, wide, /)\n--\n\n"
     "The complete rows of a chunk of a DWEX document, where they end, and how\n"
     "the reader stops on the chunk, as a RowsRead."},
    {"read_delimited", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_delimited)),
     METH_FASTCALL,
     "read_delimited(text, delimiter, limit, alphabet, /)\n--\n\n"
     "The DWEX document of plain delimited lines, or None for a field over the limit."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_text_functions(PyObject* module) noexcept {
    // A type of the module's own, as every module object made has.
    Ref rows_read_type =
        Ref::steal(reinterpret_cast<PyObject*>(PyStructSequence_NewType(&rows_read_desc)));
    return rows_read_type && PyModule_AddObjectRef(module, "RowsRead", rows_read_type.get()) == 0 &&
           PyModule_AddFunctions(module, text_methods) == 0;
}

} // namespace dwexio
