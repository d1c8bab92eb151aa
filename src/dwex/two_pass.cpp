// two_pass.cpp: the measure, then one write of every item at the document's
// own storage width.
#include "dwex/two_pass.hpp"

#include "dwex/leaf_writer.hpp"
#include "dwex/ref.hpp"
#include "dwex/state.hpp"
#include "dwex/storage.hpp"
#include "dwex/table_shape.hpp"
#include "dwex/threads.hpp"

#include <cstdint>

namespace dwex {
namespace {

/// The write at the document's storage width `Out`: every item and row
/// terminator, in order. On the free-threaded build the pass also recounts
/// the table into `seen`, and a leaf returns null instead of writing past
/// `end` or a leaf wider than the document, since another thread may have
/// changed a list since the measure.
template <format::CodeUnit Out> struct WritePass {
    const WidthDigits& digits;
    const ShortPrefixes<Out> prefixes{digits};
    Out* const end; // the document's end, with its terminating unit after it
    Shape seen{};

    template <format::CodeUnit In> Out* leaf_at(PyObject* v, std::size_t n, Out* to) noexcept {
        const In* data = static_cast<const In*>(PyUnicode_DATA(v));
        const std::size_t u16_len = sizeof(In) == 4 ? format::utf16_length(data, n) : n;
        constexpr Leaf known = free_threaded_paths ? Leaf::measured_racing : Leaf::measured;
        return write_leaf<Out, In, known>(prefixes, digits, v, data, n, u16_len, to, end);
    }

    [[gnu::always_inline]] Out* leaf(PyObject* v, Out* to) noexcept {
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        const int kind = PyUnicode_KIND(v);
        if constexpr (free_threaded_paths) {
            // The measure saw other lists: only what fits is written.
            if (!measure_leaf(seen, v) || kind > static_cast<int>(sizeof(Out))) {
                return nullptr;
            }
        }
        return at_kind<Out>(kind, [&]<format::CodeUnit In>() { return leaf_at<In>(v, n, to); });
    }

    /// Writes the whole table, starting at `to`; null where the
    /// free-threaded recount found a row that no longer fits.
    Out* table(PyObject* lists, Out* to) noexcept {
        if constexpr (free_threaded_paths) {
            const bool walked = each_element(lists, 0, [this, &to](PyObject* row) noexcept {
                if (!is_exact_sequence(row)) {
                    return false;
                }
                seen.units += 1;
                seen.rows += 1;
                const bool whole = each_element(row, 0, [this, &to](PyObject* v) noexcept {
                    to = leaf(v, to);
                    return to != nullptr;
                });
                if (!whole || to == end) {
                    return false;
                }
                *to++ = static_cast<Out>(format::row_terminator);
                return true;
            });
            return walked ? to : nullptr;
        } else {
            return rest(lists, 0, 0, to);
        }
    }

    /// Writes the table from leaf `first_leaf` of row `first_row` on. Only
    /// with the GIL held, when no code runs: the storage of every list stays
    /// as it is. Inlined, as the write's loop.
    [[gnu::always_inline]] Out* rest(PyObject* lists, Py_ssize_t first_row, Py_ssize_t first_leaf,
                                     Out* to) noexcept {
        PyObject* const* rows = PySequence_Fast_ITEMS(lists);
        const Py_ssize_t row_count = PySequence_Fast_GET_SIZE(lists);
        for (Py_ssize_t r = first_row; r < row_count; ++r) {
            PyObject* const* items = PySequence_Fast_ITEMS(rows[r]);
            const Py_ssize_t item_count = PySequence_Fast_GET_SIZE(rows[r]);
            for (Py_ssize_t k = first_leaf; k < item_count; ++k) {
                to = leaf(items[k], to);
            }
            first_leaf = 0;
            *to++ = static_cast<Out>(format::row_terminator);
        }
        return to;
    }
};

/// Writes the whole table into `document`, made for `measured`; false where
/// the free-threaded recount found a table other than the one measured. Out
/// of line, so that the measure and the write each get the registers to
/// themselves.
template <format::CodeUnit Out>
[[gnu::noinline]] bool write_table(PyObject* lists, const WidthDigits& digits,
                                   const Shape& measured, PyObject* document) noexcept {
    Out* const start = static_cast<Out*>(PyUnicode_DATA(document));
    WritePass<Out> pass{digits, ShortPrefixes<Out>(digits), start + measured.units};
    Out* const written = pass.table(lists, start);
    start[measured.units] = 0; // the fixed moves may have written over the terminating unit
    if constexpr (free_threaded_paths) {
        return written == pass.end && pass.seen == measured;
    } else {
        return written == pass.end;
    }
}

template <format::CodeUnit Out>
void write_rest(PyObject* lists, Py_ssize_t row, Py_ssize_t leaf, const WidthDigits& digits,
                PyObject* document, std::size_t done) noexcept {
    Out* const start = static_cast<Out*>(PyUnicode_DATA(document));
    const auto units = static_cast<std::size_t>(PyUnicode_GET_LENGTH(document));
    WritePass<Out> pass{digits, ShortPrefixes<Out>(digits), start + units};
    pass.rest(lists, row, leaf, start + done);
    start[units] = 0; // the fixed moves may have written over the terminating unit
}

// The first pass, out of line like the second. The measure runs on a local
// that nothing else can reach, so that its fields stay in registers.
[[gnu::noinline]] bool measure_table(PyObject* lists, Shape& shape) noexcept {
    Shape local;
    const bool measured = measure_rows(lists, 0, local);
    shape = local;
    return measured;
}

} // namespace

PyObject* write_two_passes(PyObject* lists) noexcept {
    Shape shape;
    if (!measure_table(lists, shape)) {
        return nullptr;
    }
    if (shape.units == 0) {
        return Py_NewRef(state.str(Text::empty));
    }
    const Py_UCS4 widest = widest_of(shape);
    WidthDigits digits;
    // A table of empty rows writes no width digit and never looks HEX up.
    if (shape.has_leaves() && !take_width_digits(shape, widest, digits)) {
        return nullptr;
    }
    Ref document = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.units), widest));
    if (!document) {
        PyErr_Clear(); // the general writer meets the shortage and reports it where it does
        return nullptr;
    }
    const bool written = at_kind(PyUnicode_KIND(document.get()), [&]<format::CodeUnit Out>() {
        return write_table<Out>(lists, digits, shape, document.get());
    });
    return written ? document.release() : nullptr;
}

void write_rows(PyObject* lists, Py_ssize_t row, Py_ssize_t leaf, const WidthDigits& digits,
                PyObject* document, std::size_t done) noexcept {
    at_kind(PyUnicode_KIND(document), [&]<format::CodeUnit Out>() {
        write_rest<Out>(lists, row, leaf, digits, document, done);
    });
}

} // namespace dwex
