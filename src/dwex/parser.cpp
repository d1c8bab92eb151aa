// parser.cpp: the body of `parse`: runs the reader over the input str at its
// own width into the lists of list_sink.hpp, and turns a fault into the
// SyntaxError (or the interpreter's error) that the caller sees.
#include "dwex/codec.hpp"

#include "core/parse.hpp"
#include "dwex/list_sink.hpp"
#include "dwex/ref.hpp"
#include "dwex/source_lines.hpp"
#include "dwex/state.hpp"
#include "dwex/storage.hpp"
#include "dwex/strings.hpp"
#include "dwex/traceback.hpp"

#include <array>
#include <charconv>
#include <cstdint>

namespace dwex {
namespace {

constexpr const char* function_name = "dwex.parse";

using codec::Fault;
using codec::FaultKind;
namespace lines = source_lines::parse;

/// The source line that reports each fault in its traceback entry. A switch
/// without a default, so that a new fault without a line fails to compile.
constexpr int traceback_line(Fault fault) noexcept {
    switch (fault) {
    case Fault::empty_input:
        return lines::empty_input;
    case Fault::table_sink:
        return lines::table_sink;
    case Fault::first_row_sink:
        return lines::first_row_sink;
    case Fault::narrow_row_end_sink:
        return lines::narrow_row_end_sink;
    case Fault::narrow_row_sink:
        return lines::narrow_row_sink;
    case Fault::narrow_width_digit:
        return lines::narrow_width_digit;
    case Fault::narrow_length_end:
        return lines::narrow_length_end;
    case Fault::narrow_length_digit:
        return lines::narrow_length_digit;
    case Fault::narrow_content_end:
        return lines::narrow_content_end;
    case Fault::narrow_item_sink:
        return lines::narrow_item_sink;
    case Fault::wide_row_end_sink:
        return lines::wide_row_end_sink;
    case Fault::wide_row_sink:
        return lines::wide_row_sink;
    case Fault::wide_width_digit:
        return lines::wide_width_digit;
    case Fault::wide_length_end:
        return lines::wide_length_end;
    case Fault::wide_length_digit:
        return lines::wide_length_digit;
    case Fault::wide_content_end:
        return lines::wide_content_end;
    case Fault::wide_split_astral:
        return lines::split_astral;
    case Fault::wide_no_terminator:
        return lines::wide_no_terminator;
    case Fault::wide_item_sink:
        return lines::wide_item_sink;
    case Fault::none:
    case Fault::invalid_utf8: // a str is never read as bytes
    case Fault::count:
        break;
    }
    return 0;
}

template <format::CodeUnit U>
codec::Result read(PyObject* input, const U* units, Py_ssize_t length, PyObject*& table) {
    ListSink<U> sink(input, units, length);
    codec::Result result = codec::parse_document(units, length, sink);
    if (result.ok()) {
        table = sink.take_table();
        if (table == nullptr) {
            result.fault = sink.table_fault();
        }
    } else {
        result.fault = sink.row_end_fault(result.fault);
    }
    return result;
}

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
    Ref message = Ref::steal(lookup_module_global(state.str(Text::ErrUnexpectedEndOfInput)));
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

    PyObject* prefix = state.str(Text::token_prefix);
    PyObject* infix = state.str(Text::token_infix);
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
            r, r.fault == Fault::wide_split_astral ? lines::split_astral_message : line, line);
    case FaultKind::sink: // the interpreter's error is already pending
    case FaultKind::none: // not reached: success never gets here
    case FaultKind::invalid_input:
        break;
    }
    return fail_at(function_name, line);
}

} // namespace

PyObject* parse_body(PyObject* dwex) noexcept {
    PyObject* table = nullptr;
    const codec::Result result = with_units(dwex, [&](const auto* units, std::size_t length) {
        return read(dwex, units, static_cast<Py_ssize_t>(length), table);
    });
    if (!result.ok()) {
        return raise_fault(result);
    }
    return table;
}

} // namespace dwex
