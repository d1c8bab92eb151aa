// arrow_plan.cpp: a planner (dwexio/dask.py) cuts a document too large for
// one reader into parts that start at exact row boundaries. It guesses a
// start in a window read around each cut, has each part scanned from its
// guess to the first boundary at or past the next guess, and keeps a guess
// only where the part before it, itself kept, ended there. Both steps read
// bytes the caller already holds, without the interpreter.
#include "dwexio/arrow/plan.hpp"

#include "core/split.hpp"

#include <cstdint>
#include <vector>

namespace dwexio {
namespace {

namespace codec = dwex::codec;

/// A read-only view of a bytes-like object, released on every path.
class View {
  public:
    explicit View(PyObject* source) noexcept {
        ok_ = PyObject_GetBuffer(source, &buffer_, PyBUF_SIMPLE) == 0;
    }
    ~View() {
        if (ok_) {
            PyBuffer_Release(&buffer_);
        }
    }
    View(const View&) = delete;
    View& operator=(const View&) = delete;
    explicit operator bool() const noexcept { return ok_; }
    const std::uint8_t* data() const noexcept {
        return static_cast<const std::uint8_t*>(buffer_.buf);
    }
    std::int64_t size() const noexcept { return static_cast<std::int64_t>(buffer_.len); }

  private:
    Py_buffer buffer_{};
    bool ok_ = false;
};

/// Keeps no row, and refuses one whose leaves are not `columns` (unless
/// that is negative).
struct CountSink {
    std::int64_t columns;
    bool row(const std::uint8_t*, const std::vector<codec::Span>& cells) const noexcept {
        return columns < 0 || static_cast<std::int64_t>(cells.size()) == columns;
    }
    void reset() noexcept {}
};

/// The integer argument `name`, at least `least`; `least` - 1, with an
/// exception set, for any other.
std::int64_t offset_arg(PyObject* arg, const char* name, std::int64_t least) {
    const long long v = PyLong_AsLongLong(arg);
    if (v == -1 && PyErr_Occurred()) {
        return least - 1;
    }
    if (v < least) {
        PyErr_Format(PyExc_ValueError, "%s must be at least %lld", name,
                     static_cast<long long>(least));
        return least - 1;
    }
    return v;
}

/// guess_start(data, from, at_eof, columns, /) -> (at, need_more): the
/// first plausible row start after a ';' at or past `from` in `data`, a
/// window of a document that ends with it where `at_eof`; rows after it
/// must have `columns` leaves unless that is negative. `at` is -1 where
/// none qualifies; `need_more` asks for a wider window.
PyObject* guess_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "guess_start() takes four arguments");
        return nullptr;
    }
    View view(args[0]);
    if (!view) {
        return nullptr;
    }
    const std::int64_t from = offset_arg(args[1], "from", 0);
    const int at_eof = from < 0 ? -1 : PyObject_IsTrue(args[2]);
    const std::int64_t columns = at_eof < 0 ? -2 : offset_arg(args[3], "columns", -1);
    if (columns < -1) {
        return nullptr;
    }
    codec::Guess guess;
    Py_BEGIN_ALLOW_THREADS guess = codec::guess_row_start(
        view.data(), view.size(), from, at_eof != 0, codec::GuessRule{columns, 4});
    Py_END_ALLOW_THREADS return Py_BuildValue("(LO)", static_cast<long long>(guess.at),
                                              guess.need_more ? Py_True : Py_False);
}

/// scan(data, begin, until, at_eof, columns, /) -> (end, rows, state):
/// reads the rows of `data` from the row start `begin` to the first
/// boundary at or past `until`, each with `columns` leaves unless that is
/// negative. `end` is that boundary, or the start of the row where the
/// reading stopped; `rows` counts the rows before it. `state` is "ok",
/// "more" (the window ends inside the row at `end`) or "fault" (the row at
/// `end` is damaged, has the wrong number of leaves, or ends the document
/// unfinished).
PyObject* scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5) {
        PyErr_SetString(PyExc_TypeError, "scan() takes five arguments");
        return nullptr;
    }
    View view(args[0]);
    if (!view) {
        return nullptr;
    }
    const std::int64_t begin = offset_arg(args[1], "begin", 0);
    const std::int64_t until = begin < 0 ? -1 : offset_arg(args[2], "until", 0);
    const int at_eof = until < 0 ? -1 : PyObject_IsTrue(args[3]);
    const std::int64_t columns = at_eof < 0 ? -2 : offset_arg(args[4], "columns", -1);
    if (columns < -1) {
        return nullptr;
    }
    if (begin > view.size()) {
        PyErr_SetString(PyExc_ValueError, "begin is past the end of the data");
        return nullptr;
    }
    CountSink sink{columns};
    codec::Reach reach;
    Py_BEGIN_ALLOW_THREADS reach =
        codec::read_stretch(view.data(), view.size(), begin, until, at_eof != 0, true, sink);
    Py_END_ALLOW_THREADS if (reach.no_memory) { return PyErr_NoMemory(); }
    const char* state = reach.ok()                                      ? "ok"
                        : reach.fault.stop == codec::RowStop::need_more ? "more"
                                                                        : "fault";
    return Py_BuildValue("(LLs)", static_cast<long long>(reach.end),
                         static_cast<long long>(reach.rows), state);
}

PyMethodDef plan_methods[] = {
    {"guess_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guess_start)),
     METH_FASTCALL,
     "guess_start(data, from, at_eof, columns, /)\n--\n\n"
     "The first plausible row start past `from` in a window of a document, and\n"
     "whether a wider window is needed to find one."},
    {"scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan)), METH_FASTCALL,
     "scan(data, begin, until, at_eof, columns, /)\n--\n\n"
     "Where reading rows from `begin` to the first boundary at or past `until`\n"
     "stops, the rows before it, and why."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_plan_functions(PyObject* module) noexcept {
    return PyModule_AddFunctions(module, plan_methods) == 0;
}

} // namespace dwexio
