// dwex.cpp: the module's entry point, definition, create and execution steps,
// the process-wide ModuleState and the lookup of module attributes at run time.
#include "core/leaf_writes.hpp"
#include "dwex/call.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/function.hpp"
#include "dwex/hex_cache.hpp"
#include "dwex/ref.hpp"
#include "dwex/source_lines.hpp"
#include "dwex/state.hpp"
#include "dwex/strings.hpp"
#include "dwex/traceback.hpp"

// An embedding host sets this non-zero before the import to make the module
// call itself "__main__". The module only reads it.
extern "C" Py_EXPORTED_SYMBOL int dwex_module_is_main;
int dwex_module_is_main = 0;

namespace dwex {

// Never destroyed: it must outlive the interpreter's own finalisation.
ModuleState& state = *new ModuleState();

namespace {

// Process-wide and never torn down: one module object per process, bound to
// the first interpreter that loads it.
PyObject* module_ref = nullptr;
std::int64_t main_interpreter_id = -1;

constexpr const char* init_name = "init dwex";
namespace lines = source_lines::init;

PyMethodDef stringify_def = {
    "stringify", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(stringify_call)),
    METH_FASTCALL | METH_KEYWORDS, "Serialize a 2D iterable of strings into a DWEX string."};
PyMethodDef parse_def = {
    "parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse_call)),
    METH_FASTCALL | METH_KEYWORDS, "Parse a DWEX string into a 2D list of strings."};

// Copies one attribute of the module spec into the module dict. A missing
// attribute is skipped; `skip_none` leaves None out as well.
int copy_spec_attr(PyObject* spec, const char* from, PyObject* dict, const char* to,
                   bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    const std::int64_t id =
        PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1) {
        return nullptr;
    }
    if (main_interpreter_id == -1) {
        main_interpreter_id = id;
    } else if (id != main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_ref != nullptr) {
        return Py_NewRef(module_ref);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, "loader", dict, "__loader__", false) < 0 ||
        copy_spec_attr(spec, "origin", dict, "__file__", false) < 0 ||
        copy_spec_attr(spec, "parent", dict, "__package__", false) < 0 ||
        copy_spec_attr(spec, "submodule_search_locations", dict, "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// Warns when the running interpreter is not the one the module was built for.
int check_version() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == 3 && minor == 15) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  3, 15, "dwex", "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Every constant text, made once: names interned, everything hashed, the
// location tables immortal.
int make_constants() noexcept {
    for (std::size_t k = 0; k < string_defs.size(); ++k) {
        PyObject* text = PyUnicode_FromString(string_defs[k].text);
        if (text == nullptr) {
            return -1;
        }
        if (string_defs[k].interned) {
            PyUnicode_InternInPlace(&text);
        }
        state.strings[k] = Ref::steal(text);
    }
    if (make_line_tables() < 0) {
        return -1;
    }
    for (const Ref& text : state.strings) {
        if (PyObject_Hash(text.get()) == -1) {
            return -1;
        }
    }
    if (PyObject_Hash(state.lines_stringify.get()) == -1 ||
        PyObject_Hash(state.lines_parse.get()) == -1) {
        return -1;
    }
    layout::set_immortal(state.lines_stringify.get());
    layout::set_immortal(state.lines_parse.get());
    return 0;
}

int set_attr(PyObject* dict, Text name, PyObject* value) noexcept {
    return PyDict_SetItem(dict, state.str(name), value);
}

// Makes one function object and binds it in the module namespace.
int bind_function(PyObject* dict, PyMethodDef* def, Text name, PyObject* code,
                  Ref annotations) noexcept {
    Ref function =
        Ref::steal(function_new(reinterpret_cast<PyTypeObject*>(state.function_type.get()), def,
                                state.str(name), state.str(Text::dwex), dict, code));
    if (!function) {
        return -1;
    }
    layout::defer_refcount(function.get());
    function_set_annotations(function.get(), annotations.get());
    return set_attr(dict, name, function.get());
}

// UTF16_CODEC names the UTF-16 codec of the machine's byte order.
int bind_codec(PyObject* dict) noexcept {
    Ref sys = Ref::steal(lookup_module_global(state.str(Text::sys)));
    if (!sys) {
        return -1;
    }
    Ref byteorder = Ref::steal(PyObject_GetAttr(sys.get(), state.str(Text::byteorder)));
    if (!byteorder) {
        return -1;
    }
    PyObject* big = state.str(Text::big);
    int little;
    if (PyUnicode_CheckExact(byteorder.get())) {
        little = byteorder.get() != big && !PyUnicode_Equal(byteorder.get(), big);
    } else {
        Ref differs = Ref::steal(PyObject_RichCompare(byteorder.get(), big, Py_NE));
        if (!differs || (little = PyObject_IsTrue(differs.get())) < 0) {
            return -1;
        }
    }
    return set_attr(dict, Text::UTF16_CODEC, state.str(little ? Text::utf16_le : Text::utf16_be));
}

// `import sys` into the module dict: the loaded module where there is one,
// else what the import system makes. 0, or -1 with an exception set.
int bind_sys(PyObject* dict) noexcept {
    Ref sys = Ref::steal(PyImport_GetModule(state.str(Text::sys)));
    if (!sys) {
        if (PyErr_Occurred()) {
            return -1;
        }
        Ref locals = Ref::steal(PyDict_New());
        if (!locals) {
            return -1;
        }
        sys = Ref::steal(
            PyImport_ImportModuleLevelObject(state.str(Text::sys), dict, locals.get(), nullptr, 0));
        if (!sys) {
            return -1;
        }
    }
    return set_attr(dict, Text::sys, sys.get());
}

// Steps 10 to 21 of the execution step: everything after the constants
// exist. A failure returns the line that its traceback entry reports.
int fill_namespace(PyObject* module, PyObject* dict, bool& entered_as_dwex) noexcept {
    state.function_type = Ref::steal(reinterpret_cast<PyObject*>(function_type_new()));
    if (!state.function_type) {
        return lines::frame;
    }
    if (dwex_module_is_main != 0 && set_attr(dict, Text::name, state.str(Text::main)) < 0) {
        return lines::frame;
    }
    PyObject* modules = PyImport_GetModuleDict();
    // A failed lookup is a failure, not an absent key: taking it for one could
    // replace a module that holds the name.
    PyObject* existing = nullptr;
    const int found = PyDict_GetItemStringRef(modules, "dwex", &existing);
    Ref existing_ref = Ref::steal(existing);
    if (found < 0) {
        return lines::frame;
    }
    if (found == 0) {
        if (PyDict_SetItemString(modules, "dwex", module) < 0) {
            return lines::frame;
        }
        entered_as_dwex = true;
    }
    if (make_code_objects() < 0) {
        return lines::frame;
    }
    if (bind_sys(dict) < 0) {
        return lines::sys;
    }
    Ref all = Ref::steal(PyList_New(2));
    if (!all) {
        return lines::all;
    }
    PyList_SET_ITEM(all.get(), 0, Py_NewRef(state.str(Text::stringify)));
    PyList_SET_ITEM(all.get(), 1, Py_NewRef(state.str(Text::parse)));
    if (set_attr(dict, Text::all, all.get()) < 0) {
        return lines::all;
    }
    if (set_attr(dict, Text::HEX, state.str(Text::hex_digits)) < 0) {
        return lines::hex;
    }
    if (set_attr(dict, Text::ErrUnexpectedEndOfInput, state.str(Text::unexpected_end)) < 0) {
        return lines::end_of_input;
    }
    if (bind_codec(dict) < 0) {
        return lines::codec;
    }
    Ref stringify_annotations = Ref::steal(PyDict_New());
    if (!stringify_annotations ||
        set_attr(stringify_annotations.get(), Text::return_, state.str(Text::str)) < 0 ||
        bind_function(dict, &stringify_def, Text::stringify, state.code_stringify.get(),
                      std::move(stringify_annotations)) < 0) {
        return source_lines::stringify::binding;
    }
    Ref parse_annotations = Ref::steal(PyDict_New());
    if (!parse_annotations ||
        set_attr(parse_annotations.get(), Text::dwex, state.str(Text::str)) < 0 ||
        set_attr(parse_annotations.get(), Text::return_, state.str(Text::list)) < 0 ||
        bind_function(dict, &parse_def, Text::parse, state.code_parse.get(),
                      std::move(parse_annotations)) < 0) {
        return source_lines::parse::binding;
    }
    Ref test = Ref::steal(PyDict_New());
    if (!test || set_attr(dict, Text::test, test.get()) < 0) {
        return lines::frame;
    }
    hex_cache_start();
    return 0;
}

void forget_dwex_entry(PyObject* module) noexcept {
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = nullptr;
    if (PyDict_GetItemStringRef(modules, "dwex", &entry) > 0) {
        Ref held = Ref::steal(entry);
        if (entry == module && PyDict_DelItemString(modules, "dwex") < 0) {
            PyErr_Clear(); // the pending failure is the one to report
        }
    }
    PyErr_Clear();
    PyErr_SetRaisedException(pending.release());
}

int module_exec(PyObject* module) noexcept {
    if (module_ref != nullptr) {
        if (module_ref == module) {
            return 0;
        }
        PyErr_SetString(
            PyExc_RuntimeError,
            "Module 'dwex' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_ref = Py_NewRef(module);
#ifdef Py_GIL_DISABLED
    layout::module_needs_gil(module);
#endif
    // Before the constants exist a failure adds no traceback entry.
    int line = -1;
    bool entered_as_dwex = false;
    PyObject* dict = PyModule_GetDict(module);
    state.ns = Ref::borrow(dict);
    state.builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    if (state.builtins &&
        PyObject_SetAttrString(module, "__builtins__", state.builtins.get()) == 0 &&
        check_version() == 0) {
        state.empty_tuple = Ref::steal(PyTuple_New(0));
        state.empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
        if (state.empty_tuple && state.empty_bytes && make_constants() == 0) {
            line = fill_namespace(module, dict, entered_as_dwex);
            if (line == 0) {
                return 0;
            }
        }
    }
    if (line > 0) {
        add_traceback(init_name, line);
    }
    if (entered_as_dwex) {
        // The import system forgets the module under the name it was loaded
        // as; the extra name entered here must not keep a half-made module.
        forget_dwex_entry(module);
    }
    Ref failed = Ref::steal(std::exchange(module_ref, nullptr));
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

#if defined(DWEX_COUNT_LEAF_WRITES)
// The test build that counts leaf writes hands the count out, and starts it
// again, through one extra function; the product's namespace has none.
PyObject* take_leaf_writes(PyObject*, PyObject*) noexcept {
    return PyLong_FromUnsignedLongLong(std::exchange(leaf_writes, 0));
}
PyMethodDef module_methods[] = {
    {"_leaf_writes", take_leaf_writes, METH_NOARGS, "Leaf writes since the last call."},
    {nullptr, nullptr, 0, nullptr}};
#else
PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "dwex",  nullptr, 0,       module_methods,
    module_slots,          nullptr, nullptr, nullptr,
};

} // namespace

PyObject* lookup_module_global(PyObject* name, bool* in_module) noexcept {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(state.ns.get(), name, &value) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    if (value != nullptr) {
        if (in_module != nullptr) {
            *in_module = true;
        }
        return value;
    }
    if (PyObject_GetOptionalAttr(state.builtins.get(), name, &value) < 0) {
        return nullptr;
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

} // namespace dwex

PyMODINIT_FUNC PyInit_dwex() { return PyModuleDef_Init(&dwex::module_def); }
