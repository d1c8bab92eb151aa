// code.cpp: the code objects that `stringify` and `parse` carry as __code__.
// They never run: their code string is all zero bytes and their location table
// maps it onto the source lines of the function's statements.
#include "dwex/call.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/ref.hpp"
#include "dwex/state.hpp"

#include "dwex/source_lines.hpp"

#include <algorithm>
#include <initializer_list>
#include <new>
#include <span>
#include <string>

namespace dwex {
namespace {

// The location table of a statement per line of `lines`, as bytes.
PyObject* line_table(std::span<const int> lines) noexcept {
    std::string table;
    try {
        table = layout::line_only_locations(lines);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return PyBytes_FromStringAndSize(table.data(), static_cast<Py_ssize_t>(table.size()));
}

PyObject* names_tuple(std::initializer_list<Text> names) noexcept {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (tuple == nullptr) {
        return nullptr;
    }
    Py_ssize_t k = 0;
    for (Text name : names) {
        PyTuple_SET_ITEM(tuple, k++, Py_NewRef(state.str(name)));
    }
    return tuple;
}

PyObject* code_object(Text name, int first_line, PyObject* lines,
                      std::initializer_list<Text> varnames) noexcept {
    Ref varnames_tuple = Ref::steal(names_tuple(varnames));
    if (!varnames_tuple) {
        return nullptr;
    }
    const Py_ssize_t code_size = layout::code_bytes_for(PyBytes_GET_SIZE(lines));
    Ref code_string = Ref::steal(PyBytes_FromStringAndSize(nullptr, code_size));
    if (!code_string) {
        return nullptr;
    }
    std::fill_n(PyBytes_AS_STRING(code_string.get()), code_size, '\0');
    PyObject* empty = state.empty_tuple.get();
    const int nlocals = static_cast<int>(varnames.size());
    return layout::new_code(nlocals, code_string.get(), empty, varnames_tuple.get(),
                            state.str(Text::dwex), state.str(name), first_line, lines,
                            state.empty_bytes.get());
}

} // namespace

int make_line_tables() noexcept {
    // Made once per process: they become immortal, so an import that fails
    // after making them must leave them for the next one rather than make more.
    if (state.lines_stringify && state.lines_parse) {
        return 0;
    }
    state.lines_stringify = Ref::steal(line_table(source_lines::stringify::statements));
    if (!state.lines_stringify) {
        return -1;
    }
    state.lines_parse = Ref::steal(line_table(source_lines::parse::statements));
    return state.lines_parse ? 0 : -1;
}

int make_code_objects() noexcept {
    state.code_stringify = Ref::steal(
        code_object(Text::stringify, source_lines::stringify::binding, state.lines_stringify.get(),
                    {Text::lists, Text::out, Text::v, Text::l_str, Text::u16_len, Text::i,
                     Text::v_len, Text::kind, Text::buf, Text::l, Text::item}));
    if (!state.code_stringify) {
        return -1;
    }
    state.code_parse =
        Ref::steal(code_object(Text::parse, source_lines::parse::binding, state.lines_parse.get(),
                               {Text::dwex,
                                Text::length,
                                Text::kind,
                                Text::out,
                                Text::ls,
                                Text::data,
                                Text::i,
                                Text::j,
                                Text::n,
                                Text::c,
                                Text::char_start,
                                Text::H_digits,
                                Text::target_u16_len,
                                Text::u16_accum,
                                Text::char_idx,
                                Text::u16_idx,
                                Text::buf,
                                Text::ch,
                                Text::low_surrogate_code,
                                Text::underscore}));
    return state.code_parse ? 0 : -1;
}

} // namespace dwex
