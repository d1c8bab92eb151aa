// one_pass.cpp: one read of every leaf for a table that looks ASCII. Each
// leaf is written while its header is in the cache, where the two passes
// read every header twice. The table's rows are not measured beforehand, so
// any row may hold what the plan did not foresee: a leaf that is not compact
// ASCII, a length field that HEX does not give as ASCII, or more text than
// the sample promised. From that row on the rest is measured and written
// after what the document already holds, never written again.
#include "dwex/one_pass.hpp"

#include "dwex/document.hpp"
#include "dwex/leaf_writer.hpp"
#include "dwex/table_shape.hpp"
#include "dwex/two_pass.hpp"

#include <algorithm>
#include <cstdint>

namespace dwex {
namespace {

class OnePass {
  public:
    OnePass(PyObject* lists, const WidthDigits& digits) noexcept
        : lists_(lists), rows_(PySequence_Fast_ITEMS(lists)),
          row_count_(PySequence_Fast_GET_SIZE(lists)), digits_(digits) {}

    // Kept out of line: the write of the rest that may follow is hot code of its own.
    [[gnu::noinline]] PyObject* run(std::size_t capacity, GeneralFrom& rest) noexcept {
        document_ = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(capacity), 0x7F));
        if (!document_) {
            PyErr_Clear(); // the general writer meets the shortage and reports it where it does
            return nullptr;
        }
        auto* const start = static_cast<std::uint8_t*>(PyUnicode_DATA(document_.get()));
        const ShortPrefixes<std::uint8_t> prefixes(digits_);
        std::uint8_t* const end = start + capacity;
        std::uint8_t* to = start;
        for (Py_ssize_t r = 0; r < row_count_; ++r) {
            if (r + prefetch_rows < row_count_) {
                prefetch_row(rows_[r + prefetch_rows]);
            }
            PyObject* const* items = PySequence_Fast_ITEMS(rows_[r]);
            const Py_ssize_t item_count = PySequence_Fast_GET_SIZE(rows_[r]);
            for (Py_ssize_t k = 0; k < item_count; ++k) {
                std::uint8_t* const next = leaf(items[k], prefixes, to, end);
                if (next == nullptr) [[unlikely]] {
                    return hand_over(r, k, static_cast<std::size_t>(to - start), rest);
                }
                to = next;
            }
            if (to == end) [[unlikely]] {
                return hand_over(r, item_count, static_cast<std::size_t>(to - start), rest);
            }
            *to++ = static_cast<std::uint8_t>(format::row_terminator);
        }
        const auto units = static_cast<std::size_t>(to - start);
        *to = 0; // where the fixed moves left other bytes
        if (!cut_document(document_, units)) {
            return general_from(row_count_, 0, units, rest);
        }
        return document_.release();
    }

  private:
    // Rows fetched ahead of the write: a row's header and its item array lie
    // apart in memory, where the hardware cannot guess them.
    static constexpr Py_ssize_t prefetch_rows = 4;
    static void prefetch_row(PyObject* row) noexcept {
        __builtin_prefetch(row);
        __builtin_prefetch(PySequence_Fast_ITEMS(row));
    }

    // Writes one leaf at `to`: the end of what it wrote, or null for a leaf
    // that is not a compact ASCII str, needs a width digit that HEX does not
    // give as ASCII, or does not fit before `end`.
    std::uint8_t* leaf(PyObject* v, const ShortPrefixes<std::uint8_t>& prefixes, std::uint8_t* to,
                       const std::uint8_t* end) const noexcept {
        // A str subclass (which keeps its characters apart) and every other
        // object go to the measured rest: a compact ASCII str is what this writes.
        const std::uint32_t wanted = state_bits.kind_one | state_bits.ascii | state_bits.compact;
        if (!PyUnicode_CheckExact(v) ||
            (state_word(v) & (state_bits.kinds | state_bits.ascii | state_bits.compact)) != wanted)
            [[unlikely]] {
            return nullptr;
        }
        const auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(v));
        return write_leaf<std::uint8_t, std::uint8_t, Leaf::unmeasured>(
            prefixes, digits_, v, static_cast<const std::uint8_t*>(PyUnicode_DATA(v)), n, n, to,
            end);
    }

    // Measures the rest of the table from leaf `leaf` of row `row` on, where
    // the one pass stopped after `done` units, and writes it after those
    // units: into the same document, grown if the rest is ASCII too, or else
    // widened in place to the width it needs.
    PyObject* hand_over(Py_ssize_t row, Py_ssize_t leaf, std::size_t done,
                        GeneralFrom& rest) noexcept {
        Shape measured;
        if (!measure_rest(lists_, row, leaf, measured)) {
            return general_from(row, leaf, done, rest);
        }
        const Py_UCS4 widest = std::max<Py_UCS4>(0x7F, widest_of(measured));
        WidthDigits digits;
        if (measured.has_leaves() && !take_width_digits(measured, widest, digits)) {
            return general_from(row, leaf, done, rest);
        }
        const std::size_t units = done + measured.units;
        const bool placed = widest == 0x7F ? resize_document(document_, units)
                                           : widen_document(document_, done, units, widest);
        if (!placed) {
            return general_from(row, leaf, done, rest);
        }
        write_rows(lists_, row, leaf, digits, document_.get(), done);
        return document_.release();
    }

    // Leaves the rest of the table from leaf `leaf` of row `row` on to the
    // general writer, with the `done` units written before it.
    PyObject* general_from(Py_ssize_t row, Py_ssize_t leaf, std::size_t done,
                           GeneralFrom& rest) noexcept {
        if (done == 0 || !resize_document(document_, done)) {
            // Nothing written, or no memory even to cut it: the general
            // writer starts from the top.
            return nullptr;
        }
        std::size_t pieces = static_cast<std::size_t>(row) + 3 * static_cast<std::size_t>(leaf);
        for (Py_ssize_t r = 0; r < row; ++r) {
            pieces += 3 * static_cast<std::size_t>(PySequence_Fast_GET_SIZE(rows_[r]));
        }
        rest.first_row = row;
        rest.first_leaf = leaf;
        rest.written = std::move(document_);
        rest.pieces = pieces;
        return nullptr;
    }

    PyObject* lists_;
    PyObject* const* rows_;
    Py_ssize_t row_count_;
    const WidthDigits& digits_;
    Ref document_;
};

} // namespace

PyObject* write_one_pass(PyObject* lists, const WidthDigits& digits, std::size_t capacity,
                         GeneralFrom& rest) noexcept {
    return OnePass(lists, digits).run(capacity, rest);
}

} // namespace dwex
