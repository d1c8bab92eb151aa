// reader_faults.cpp: the serial reader's faults, each raised as what the
// same document gives elsewhere: a format fault as dwex.parse raises it
// (positions in UTF-16 units from the document's start), bytes that are not
// UTF-8 as a UnicodeDecodeError at their offset in the document (the
// module's NotUTF8Error), the rest as ValueError naming the row and column.
#include "dwexio/arrow/reader.hpp"
#include "dwexio/interpreter.hpp"
#include "dwexio/state.hpp"

#include <algorithm>
#include <cstdarg>

namespace dwexio {
namespace {

using dwex::Ref;
using dwex::codec::RowStop;

/// NotUTF8Error's message: its `start` is the byte's offset in the document,
/// while `object` holds only the bytes from there (the document itself is
/// long gone), so the message is told here.
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

/// The error of `type` for the bytes at `at` (up to 4 of them), `offset`
/// bytes into the document.
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

} // namespace

bool add_reader_types(PyObject* module) noexcept {
    Ref& type = state_of(module).not_utf8_type;
    type = Ref::steal(PyType_FromModuleAndSpec(module, &not_utf8_spec, PyExc_UnicodeDecodeError));
    return type && PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) == 0;
}

Ref SerialReader::column(std::size_t k) const noexcept {
    if (k >= names_.size()) {
        return Ref::steal(PyUnicode_FromFormat("column %zu", k + 1));
    }
    const std::string& name = names_[k];
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogatepass"));
    return text ? Ref::steal(PyUnicode_FromFormat("column %zu ('%U')", k + 1, text.get())) : Ref();
}

const char* SerialReader::message() const noexcept {
    if (!failed()) {
        return nullptr;
    }
    return message_ ? PyBytes_AS_STRING(message_.get()) : "the document could not be read";
}

void SerialReader::fail(Ref exception) noexcept {
    if (!exception) {
        // What the exception was to be made of could not be made.
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        exception = Ref::steal(PyErr_GetRaisedException());
    }
    error_ = std::move(exception);
    state_ = PyErr_GivenExceptionMatches(error_.get(), PyExc_MemoryError) != 0
                 ? State::out_of_memory
                 : State::failed;
    Ref text = Ref::steal(PyObject_Str(error_.get()));
    message_ = text ? Ref::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"))
                    : Ref();
    if (!message_) {
        PyErr_Clear();
    }
}

void SerialReader::fail_raised() noexcept { fail(Ref()); }

void SerialReader::fail_no_memory() noexcept {
    Gil gil;
    PyErr_NoMemory();
    fail_raised();
}

void SerialReader::fail_with(PyObject* type, const char* format, ...) noexcept {
    Gil gil;
    if (PyErr_Occurred()) {
        // What the message was to be made of could not be made.
        fail_raised();
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
    fail(std::move(exception));
}

void SerialReader::fail_located(Ref exception) {
    // A format fault's message is the one dwex.parse gives; the file and row
    // go before it where there is a file name, and in a note where there is none.
    if (!exception) {
        fail_raised();
        return;
    }
    const auto row = static_cast<long long>(at_.row + 1);
    if (label_) {
        Ref text = Ref::steal(PyObject_Str(exception.get()));
        Ref located = text ? Ref::steal(PyUnicode_FromFormat("%U: row %lld: %U", label_.get(), row,
                                                             text.get()))
                           : Ref();
        exception = located
                        ? Ref::steal(PyObject_CallOneArg(
                              reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), located.get()))
                        : Ref();
    } else {
        Ref note = Ref::steal(PyUnicode_FromFormat("in row %lld", row));
        Ref added =
            note ? Ref::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()))
                 : Ref();
        if (!added) {
            exception.reset();
        }
    }
    fail(std::move(exception));
}

void SerialReader::fail_not_utf8() {
    const std::size_t at = at_.pos + static_cast<std::size_t>(last_.next);
    const std::size_t end = std::min(len_, at + 4);
    Ref reason = Ref::steal(
        PyUnicode_FromFormat("not UTF-8 in row %lld", static_cast<long long>(at_.row + 1)));
    if (reason && label_) {
        reason = Ref::steal(PyUnicode_FromFormat("%U of %U", reason.get(), label_.get()));
    }
    Ref exception = reason ? not_utf8(not_utf8_.get(), buffer_.data() + at, end - at,
                                      at_.bytes + last_.next, reason.get())
                           : Ref();
    fail(std::move(exception));
}

SerialReader::Got SerialReader::fault_at_row() {
    Gil gil;
    switch (last_.stop) {
    case RowStop::end_of_input: {
        // dwex.parse raises it, with the module's message of the moment.
        Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        Ref none = empty ? Ref::steal(PyObject_CallOneArg(parse_.get(), empty.get())) : Ref();
        if (none) {
            PyErr_SetString(PyExc_SystemError, "dwex.parse accepted an empty document");
        }
        fail_located(Ref::steal(PyErr_GetRaisedException()));
        break;
    }
    case RowStop::token: {
        Ref text = Ref::steal(PyUnicode_FromFormat(
            "Unexpected token '%c' at position %lld", static_cast<int>(last_.code_point),
            static_cast<long long>(at_.units + last_.position)));
        fail_located(text ? Ref::steal(PyObject_CallOneArg(PyExc_SyntaxError, text.get())) : Ref());
        break;
    }
    case RowStop::invalid_utf8:
        fail_not_utf8();
        break;
    default: { // a lone surrogate
        Ref where = column(cells_.size() - 1);
        fail_with(PyExc_ValueError,
                  "row %lld, %U: a lone surrogate, which an Arrow string (UTF-8) cannot hold",
                  static_cast<long long>(at_.row + 1), where.get());
        break;
    }
    }
    return Got::fault;
}

void SerialReader::raise() {
    if (error_) {
        PyErr_SetRaisedException(error_.release());
    } else {
        PyErr_SetString(PyExc_RuntimeError, message());
    }
}

} // namespace dwexio
