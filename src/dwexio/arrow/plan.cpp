// plan.cpp: a planner (dwexio/dask.py) cuts a document too large for one
// reader into parts that start at exact row boundaries, with core/split.hpp's
// sequence spread over processes. Each part, on a worker, guesses a start in
// a window read around its cut (guess_start) and is scanned from there to
// the first boundary at or past the next cut (scan), both on bytes the
// caller already holds, without the interpreter; chain() then keeps a guess
// only where the part before it, itself kept, ended there, has a part that
// guessed wrong scanned again from the true boundary, and gives the pieces
// the partitions read.
#include "dwexio/arrow/plan.hpp"

#include "core/read_sizes.hpp"
#include "core/split.hpp"
#include "dwex/ref.hpp"

#include <cstdint>
#include <cstring>
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

/// How a scan ended, as a planner passes it between processes.
const char* state_of(const codec::Reach& reach) noexcept {
    return reach.ok() ? "ok" : reach.fault.stop == codec::RowStop::need_more ? "more" : "fault";
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
    Py_BEGIN_ALLOW_THREADS guess = codec::guess_row_start(view.data(), view.size(), from,
                                                          at_eof != 0, codec::GuessRule{columns});
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
    return Py_BuildValue("(LLs)", static_cast<long long>(reach.end),
                         static_cast<long long>(reach.rows), state_of(reach));
}

/// A part's reach, from what a worker's scan of it said: "ok", "more" or
/// "fault" (the fault itself stays with the worker), or "none" where it found
/// no start.
bool reach_of(PyObject* said, codec::Reach& out, bool with_begin) noexcept {
    long long begin = out.begin;
    long long end = 0;
    long long rows = 0;
    const char* state = nullptr;
    const bool parsed = with_begin ? PyArg_ParseTuple(said, "LLLs", &begin, &end, &rows, &state)
                                   : PyArg_ParseTuple(said, "LLs", &end, &rows, &state);
    if (!parsed) {
        return false;
    }
    out = codec::Reach{};
    out.begin = std::strcmp(state, "none") == 0 ? -1 : begin;
    out.end = end;
    out.rows = rows;
    if (std::strcmp(state, "more") == 0) {
        out.fault.stop = codec::RowStop::need_more;
    } else if (std::strcmp(state, "fault") == 0) {
        out.refused = true;
    } else if (out.begin >= 0 && std::strcmp(state, "ok") != 0) {
        PyErr_Format(PyExc_ValueError, "no scan ends as %.50s", state);
        return false;
    }
    return true;
}

/// A part scanned again could not be: the exception is set.
struct NotScanned {};

/// Appends (begin, end, row, rows) to `pieces`; false with an exception set.
bool add_piece(PyObject* pieces, std::int64_t begin, std::int64_t end, std::int64_t row,
               std::int64_t rows) noexcept {
    dwex::Ref piece = dwex::Ref::steal(
        Py_BuildValue("(LLLL)", static_cast<long long>(begin), static_cast<long long>(end),
                      static_cast<long long>(row), static_cast<long long>(rows)));
    return piece && PyList_Append(pieces, piece.get()) == 0;
}

/// The pieces of the parts that `chained` counted: (begin, end, row, rows),
/// `row` counting the rows of the file before the piece from `row`; a piece
/// with -1 rows runs to the file's `size` unplanned (it ends in a fault, or
/// no guess reached it).
PyObject* pieces_of(const std::vector<codec::Reach>& reaches, const codec::Chained& chained,
                    std::int64_t size, std::int64_t row) noexcept {
    dwex::Ref pieces = dwex::Ref::steal(PyList_New(0));
    if (!pieces) {
        return nullptr;
    }
    for (std::size_t k = 0; k < chained.counted; ++k) {
        const codec::Reach& part = reaches[k];
        if (!part.ok()) {
            // The partition reads up to the fault and raises its error there.
            return add_piece(pieces.get(), part.begin, size, row, -1) ? pieces.release() : nullptr;
        }
        if (part.end > part.begin &&
            !add_piece(pieces.get(), part.begin, part.end, row, part.rows)) {
            return nullptr;
        }
        row += part.rows;
    }
    if (chained.end < size && !add_piece(pieces.get(), chained.end, size, row, -1)) {
        return nullptr;
    }
    return pieces.release();
}

/// chain(parts, begin, size, first_row, scan_again, /) -> pieces: checks the
/// parts of a file of `size` bytes, each (start, end, rows, state) as its
/// worker's guess and scan gave it, in order from the boundary `begin`, with
/// core/split.hpp's chain(). A part that guessed wrong is scanned again as
/// `scan_again(k, boundary)` returns it, (end, rows, state). The pieces are
/// pieces_of()'s, rows counted from `first_row`.
PyObject* chain(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 5 || !PyCallable_Check(args[4])) {
        PyErr_SetString(PyExc_TypeError,
                        "chain() takes the parts, a begin, a size, a first row and a callable");
        return nullptr;
    }
    const std::int64_t begin = offset_arg(args[1], "begin", 0);
    const std::int64_t size = begin < 0 ? -1 : offset_arg(args[2], "size", 0);
    const std::int64_t row = size < 0 ? -1 : offset_arg(args[3], "first_row", 0);
    dwex::Ref parts = row < 0 ? dwex::Ref() : dwex::Ref::steal(PySequence_Fast(args[0], "parts"));
    if (!parts) {
        return nullptr;
    }
    try {
        std::vector<codec::Reach> reaches(
            static_cast<std::size_t>(PySequence_Fast_GET_SIZE(parts.get())));
        for (std::size_t k = 0; k < reaches.size(); ++k) {
            if (!reach_of(PySequence_Fast_GET_ITEM(parts.get(), static_cast<Py_ssize_t>(k)),
                          reaches[k], true)) {
                return nullptr;
            }
        }
        const codec::Chained chained = codec::chain(
            reaches, begin, size, codec::WrongGuess::read_again,
            [&](std::size_t k, std::int64_t boundary) {
                dwex::Ref said = dwex::Ref::steal(PyObject_CallFunction(
                    args[4], "nL", static_cast<Py_ssize_t>(k), static_cast<long long>(boundary)));
                codec::Reach reach;
                reach.begin = boundary;
                if (!said || !reach_of(said.get(), reach, false)) {
                    throw NotScanned{};
                }
                return reach;
            },
            codec::count_all);
        return pieces_of(reaches, chained, size, row);
    } catch (const NotScanned&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
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
    {"chain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(chain)), METH_FASTCALL,
     "chain(parts, begin, size, first_row, scan_again, /)\n--\n\n"
     "The pieces (begin, end, row, rows) of a file whose parts were guessed and\n"
     "scanned apart, each part checked against the one before it."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

bool add_plan_functions(PyObject* module) noexcept {
    namespace sizes = dwex::codec::sizes;
    return PyModule_AddFunctions(module, plan_methods) == 0 &&
           PyModule_AddIntConstant(module, "GUESS_WINDOW_BYTES", sizes::guess_window_bytes) == 0 &&
           PyModule_AddIntConstant(module, "OVERRUN_BYTES", sizes::overrun_bytes) == 0 &&
           PyModule_AddIntConstant(module, "WIDENING", sizes::widening) == 0;
}

} // namespace dwexio
