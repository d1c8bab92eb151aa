// parser.cpp: the body of `parse`: runs the reader over the input str at its
// own width, builds the lists as the reader reports items and rows, and turns
// a fault into the SyntaxError (or the interpreter's error) that the caller sees.
#include "codec/codec.hpp"

#include "codec/parse.hpp"
#include "codec/units.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "threads.hpp"
#include "strings.hpp"
#include "traceback.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace dwex {
namespace {

constexpr const char* function_name = "dwex.parse";

using codec::Fault;
using codec::FaultKind;

/// The source line that reports each fault in its traceback entry. A switch
/// without a default, so that a new fault without a line fails to compile.
constexpr int traceback_line(Fault fault) noexcept {
    switch (fault) {
    case Fault::empty_input:
        return 64;
    case Fault::table_sink:
        return 67;
    case Fault::first_row_sink:
        return 68;
    case Fault::narrow_row_end_sink:
        return 87;
    case Fault::narrow_row_sink:
        return 91;
    case Fault::narrow_width_digit:
        return 102;
    case Fault::narrow_length_end:
        return 106;
    case Fault::narrow_length_digit:
        return 112;
    case Fault::narrow_content_end:
        return 119;
    case Fault::narrow_item_sink:
        return 121;
    case Fault::wide_row_end_sink:
        return 138;
    case Fault::wide_row_sink:
        return 143;
    case Fault::wide_width_digit:
        return 152;
    case Fault::wide_length_end:
        return 160;
    case Fault::wide_length_digit:
        return 166;
    case Fault::wide_content_end:
        return 177;
    case Fault::wide_split_astral:
        return 190; // the exception; its message is built at the next line
    case Fault::wide_no_terminator:
        return 195;
    case Fault::wide_item_sink:
        return 197;
    case Fault::none:
    case Fault::count:
        break;
    }
    return 0;
}
constexpr int split_astral_message_line = 191;

/// The input's code points [begin, end) as a new str at the narrowest width
/// that holds them, as a substring would be. The widest code point is found
/// by OR-ing them all: the width limits are powers of two, so the OR falls in
/// the same class as the maximum, and a loop without branches is vectorised.
template <typename In> PyObject* cut_units(const In* from, Py_ssize_t n) noexcept {
    std::uint32_t bits = 0;
    for (Py_ssize_t k = 0; k < n; ++k) {
        bits |= from[k];
    }
    const Py_UCS4 max_char = bits < 0x80      ? 0x7F
                             : bits < 0x100   ? 0xFF
                             : bits < 0x10000 ? 0xFFFF
                                              : 0x10FFFF;
    PyObject* text = PyUnicode_New(n, max_char);
    if (text == nullptr) {
        return nullptr;
    }
    using rules::copy_units;
    const auto count = static_cast<std::size_t>(n);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        copy_units(from, count, PyUnicode_1BYTE_DATA(text));
        break;
    case PyUnicode_2BYTE_KIND:
        copy_units(from, count, PyUnicode_2BYTE_DATA(text));
        break;
    default:
        copy_units(from, count, PyUnicode_4BYTE_DATA(text));
        break;
    }
    return text;
}

/// The content of an item: one substring of the input. The interpreter's own
/// substring serves ASCII input (which needs no scan) and short items (where
/// its fixed costs are lower); longer items are cut here, where the scan for
/// their widest code point runs several code points a step.
PyObject* cut(PyObject* input, std::int64_t begin, std::int64_t end) noexcept {
    constexpr Py_ssize_t short_item = 64;
    const Py_ssize_t n = end - begin;
    if (n < short_item || PyUnicode_IS_ASCII(input)) {
        return PyUnicode_Substring(input, begin, end);
    }
    const void* data = PyUnicode_DATA(input);
    switch (PyUnicode_KIND(input)) {
    case PyUnicode_1BYTE_KIND:
        return cut_units(static_cast<const Py_UCS1*>(data) + begin, n);
    case PyUnicode_2BYTE_KIND:
        return cut_units(static_cast<const Py_UCS2*>(data) + begin, n);
    default:
        return cut_units(static_cast<const Py_UCS4*>(data) + begin, n);
    }
}

/// Builds `out` and its rows from what the reader reports. Each row's list is
/// made when the row starts and holds its items once its ';' is read: they
/// wait here until then and enter the list at once, sparing the row the
/// repeated growth of appending them one by one. Owns everything it made
/// until `take_table`; on failure its destructor releases `out` (with the rows
/// already in it), the current row and the waiting items, so no partial table
/// survives.
class ListSink {
  public:
    explicit ListSink(PyObject* input) noexcept : input_(input) {}

    bool start_table() noexcept {
        out_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(out_);
    }
    bool start_row() noexcept {
        ls_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(ls_);
    }
    // The row stays referenced by `ls_` as well until the next start_row.
    bool end_row() noexcept {
        if (!fill_row()) {
            fill_failed_ = true;
            return false;
        }
        return PyList_Append(out_.get(), ls_.get()) == 0;
    }
    bool item(std::int64_t begin, std::int64_t end) noexcept {
        Ref content = Ref::steal(cut(input_, begin, end));
        if (!content) {
            return false;
        }
        try {
            pending_.push_back(std::move(content));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    /// A failure to put the items into their row is reported as a failure to
    /// append an item, which is what it replaces.
    Fault row_end_fault(Fault fault) const noexcept {
        if (!fill_failed_) {
            return fault;
        }
        return fault == Fault::narrow_row_end_sink ? Fault::narrow_item_sink
                                                   : Fault::wide_item_sink;
    }

    /// The finished table, a new reference for the caller.
    PyObject* take_table() noexcept { return out_.release(); }

  private:
    // Moves the waiting items into the row's list, which nothing else can reach yet.
    bool fill_row() noexcept {
        const std::size_t n = pending_.size();
        if (n == 0) {
            return true;
        }
        auto* list = reinterpret_cast<PyListObject*>(ls_.get());
        // Without the GIL the list's storage is written only through the API.
        if (!free_threaded_paths && list->ob_item == nullptr && list->allocated == 0) {
            // An empty new list owns no item array yet: give it one of exactly
            // n slots, from the allocator that the list frees it with.
            PyObject** items = PyMem_New(PyObject*, n);
            if (items == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            for (std::size_t k = 0; k < n; ++k) {
                items[k] = pending_[k].release(); // the list takes over each reference
            }
            list->ob_item = items;
            list->allocated = static_cast<Py_ssize_t>(n);
            Py_SET_SIZE(list, static_cast<Py_ssize_t>(n));
            pending_.clear();
            return true;
        }
        for (Ref& content : pending_) {
            if (PyList_Append(ls_.get(), content.get()) < 0) {
                return false;
            }
        }
        pending_.clear();
        return true;
    }

    PyObject* input_; // borrowed from the binding for the whole call
    Ref out_;
    Ref ls_;
    std::vector<Ref> pending_; // the current row's items, in order
    bool fill_failed_ = false;
};

/// Raises `SyntaxError(message)`: the instance itself becomes the pending
/// exception. If the call fails, its own error is left pending instead.
void raise_syntax_error(PyObject* message) noexcept {
    PyObject* instance = PyObject_CallOneArg(PyExc_SyntaxError, message);
    if (instance != nullptr) {
        PyErr_SetRaisedException(instance); // steals the instance
    }
}

/// The end-of-input error. The message is the module attribute
/// ErrUnexpectedEndOfInput as bound right now; if it is bound nowhere, the
/// lookup's NameError is raised instead, at the same line.
[[gnu::cold, gnu::noinline]] PyObject* raise_end_of_input(int line) noexcept {
    Ref message = Ref::steal(lookup_module_global(state.str(S::ErrUnexpectedEndOfInput)));
    if (message) {
        raise_syntax_error(message.get());
    }
    return fail_at(function_name, line);
}

/// "Unexpected token '<x>' at position <pos>", joined once into a str whose
/// length is known beforehand; null with an exception set on failure.
PyObject* token_message(std::uint32_t code_point, std::int64_t pos) noexcept {
    Ref character = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(code_point)));
    if (!character) {
        return nullptr;
    }
    std::array<char, 24> digits{};
    const auto [digits_end, ec] = std::to_chars(digits.data(), digits.data() + digits.size(), pos);
    (void)ec; // 24 characters hold every 64-bit integer
    const Py_ssize_t digit_count = digits_end - digits.data();

    PyObject* prefix = state.str(S::token_prefix);
    PyObject* infix = state.str(S::token_infix);
    const Py_ssize_t prefix_len = PyUnicode_GET_LENGTH(prefix);
    const Py_ssize_t infix_len = PyUnicode_GET_LENGTH(infix);
    const Py_UCS4 maxchar = code_point > 0x7F ? static_cast<Py_UCS4>(code_point) : 0x7F;
    Ref message = Ref::steal(PyUnicode_New(prefix_len + 1 + infix_len + digit_count, maxchar));
    if (!message) {
        return nullptr;
    }
    // Copies into a new string of a wide enough kind cannot fail.
    PyObject* m = message.get();
    PyUnicode_CopyCharacters(m, 0, prefix, 0, prefix_len);
    PyUnicode_CopyCharacters(m, prefix_len, character.get(), 0, 1);
    PyUnicode_CopyCharacters(m, prefix_len + 1, infix, 0, infix_len);
    const int kind = PyUnicode_KIND(m);
    void* data = PyUnicode_DATA(m);
    for (Py_ssize_t k = 0; k < digit_count; ++k) {
        PyUnicode_WRITE(kind, data, prefix_len + 1 + infix_len + k,
                        static_cast<Py_UCS4>(digits[static_cast<std::size_t>(k)]));
    }
    return message.release();
}

[[gnu::cold, gnu::noinline]] PyObject*
raise_unexpected_token(const codec::Result& r, int message_line, int raise_line) noexcept {
    Ref message = Ref::steal(token_message(r.code_point, r.pos));
    if (!message) {
        return fail_at(function_name, message_line);
    }
    raise_syntax_error(message.get());
    return fail_at(function_name, raise_line);
}

/// Reports a fault that stopped the reader; always returns null.
[[gnu::cold, gnu::noinline]] PyObject* raise_fault(const codec::Result& r) noexcept {
    const int line = traceback_line(r.fault);
    switch (codec::fault_kind(r.fault)) {
    case FaultKind::end_of_input:
        return raise_end_of_input(line);
    case FaultKind::unexpected_token:
        return raise_unexpected_token(
            r, r.fault == Fault::wide_split_astral ? split_astral_message_line : line, line);
    case FaultKind::sink: // the interpreter's error is already pending
    case FaultKind::none: // not reached: success never gets here
        break;
    }
    return fail_at(function_name, line);
}

} // namespace

PyObject* parse_body(PyObject* dwex) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(dwex);
    const void* data = PyUnicode_DATA(dwex);
    ListSink sink(dwex);
    codec::Result result;
    switch (PyUnicode_KIND(dwex)) {
    case PyUnicode_1BYTE_KIND:
        result = codec::parse_document(static_cast<const std::uint8_t*>(data), length, sink);
        break;
    case PyUnicode_2BYTE_KIND:
        result = codec::parse_document(static_cast<const std::uint16_t*>(data), length, sink);
        break;
    default:
        result = codec::parse_document(static_cast<const std::uint32_t*>(data), length, sink);
        break;
    }
    if (!result.ok()) {
        result.fault = sink.row_end_fault(result.fault);
        return raise_fault(result);
    }
    return sink.take_table();
}

} // namespace dwex
