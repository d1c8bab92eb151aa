// list_sink.hpp: the lists that `parse` returns, built as the reader reports
// items and rows of a document of one storage width: each leaf made as the
// narrowest str that holds it, shared where an equal one is at hand, and
// each row's items moved into its list at once.
#ifndef DWEX_CODEC_LIST_SINK_HPP
#define DWEX_CODEC_LIST_SINK_HPP

#include <Python.h>

#include "core/leaf_cache.hpp"
#include "core/narrowing.hpp"
#include "core/parse.hpp"
#include "core/units.hpp"
#include "core/widest.hpp"
#include "dwex/cpython_layout.hpp"
#include "dwex/ref.hpp"
#include "dwex/threads.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace dwex {

/// A new str holding the `n` code units at `from`, created with `max_char`,
/// the class of their widest code point, so that it has the narrowest width,
/// as the interpreter's own substring would. Copies straight into its storage.
template <format::CodeUnit U>
PyObject* new_leaf(const U* from, Py_ssize_t n, std::uint32_t max_char) noexcept {
    PyObject* text = PyUnicode_New(n, static_cast<Py_UCS4>(max_char));
    if (text == nullptr) {
        return nullptr;
    }
    const auto count = static_cast<std::size_t>(n);
    void* data = PyUnicode_DATA(text);
    // Decided on the class itself rather than through at_kind: that keeps the
    // copy small enough to stay inlined in the reader's loop.
    if (max_char <= simd::latin1_max) {
        auto* to = static_cast<Py_UCS1*>(data);
        if constexpr (sizeof(U) == 1) {
            codec::copy_units(from, count, to);
        } else {
            simd::narrow_copy(from, count, to);
        }
    } else if (max_char <= simd::bmp_max) {
        auto* to = static_cast<Py_UCS2*>(data);
        if constexpr (sizeof(U) == 4) {
            simd::narrow_copy(from, count, to);
        } else {
            codec::copy_units(from, count, to);
        }
    } else {
        codec::copy_units(from, count, static_cast<Py_UCS4*>(data));
    }
    return text;
}

/// References waiting, in order, for the list they go into: the items of the
/// row being read until its ';', and the rows read until the table is taken.
/// Each is owned here until then. A plain growing array: it is only ever
/// appended to and emptied.
class PendingItems {
  public:
    PendingItems() noexcept = default;
    PendingItems(const PendingItems&) = delete;
    PendingItems& operator=(const PendingItems&) = delete;
    ~PendingItems() {
        for (std::size_t k = 0; k < size_; ++k) {
            Py_DECREF(items_[k]);
        }
        PyMem_Free(items_);
    }

    std::size_t size() const noexcept { return size_; }

    /// Takes over `item`, which may be null after a failed call: then, or if
    /// the array cannot grow (MemoryError), returns false with the error set.
    bool push(Ref item) noexcept {
        if (!item) {
            return false;
        }
        if (size_ == capacity_) {
            const std::size_t grown = capacity_ == 0 ? 16 : capacity_ * 2;
            auto* items = static_cast<PyObject**>(PyMem_Realloc(items_, grown * sizeof(PyObject*)));
            if (items == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            items_ = items;
            capacity_ = grown;
        }
        items_[size_++] = item.release(); // owned by the array until moved out
        return true;
    }

    /// Hands every reference over to `to`, which holds room for size() of
    /// them, and empties the array.
    void move_to(PyObject** to) noexcept {
        // Most rows hold a few items: fixed moves cost less than a call.
        codec::copy_bytes(reinterpret_cast<const std::uint8_t*>(items_), size_ * sizeof(PyObject*),
                          reinterpret_cast<std::uint8_t*>(to));
        size_ = 0;
    }

    /// Hands over the array itself, cut to size() slots, which must be at
    /// least one: from the allocator that a list frees its items with, so
    /// that a list can adopt it. Null with MemoryError, everything still
    /// here, where the cut fails.
    PyObject** release_array() noexcept {
        auto* items = static_cast<PyObject**>(PyMem_Realloc(items_, size_ * sizeof(PyObject*)));
        if (items == nullptr) {
            PyErr_NoMemory();
            return nullptr;
        }
        items_ = nullptr;
        size_ = 0;
        capacity_ = 0;
        return items;
    }

    /// The k-th item, still owned here.
    PyObject* operator[](std::size_t k) const noexcept { return items_[k]; }
    void clear() noexcept {
        for (std::size_t k = 0; k < size_; ++k) {
            Py_DECREF(items_[k]);
        }
        size_ = 0;
    }

  private:
    PyObject** items_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// Builds the table and its rows from what the reader reports, for a document of
/// code units `U`. Each row's list is made when the row starts and holds its
/// items once its ';' is read: they wait here until then and enter the list at
/// once, sparing the row the repeated growth of appending them one by one;
/// the rows likewise wait until the table is taken. Owns everything it made
/// until `take_table`; on failure its destructor releases the table, the rows
/// read, the current row and the waiting items, so no partial table survives.
///
/// Equal leaves may come back as one shared str: the interpreter's own empty
/// and one-character strings, and short leaves repeated in a 1- or 2-byte
/// document through the leaf cache. str is immutable, and nothing promises
/// distinct objects; the lists are always new.
template <format::CodeUnit U> class ListSink {
  public:
    ListSink(PyObject* input, const U* data, Py_ssize_t length) noexcept
        : data_(data), ascii_(PyUnicode_IS_ASCII(input)), cache_(length) {}
    ListSink(const ListSink&) = delete;
    ListSink& operator=(const ListSink&) = delete;
    ~ListSink() {
        if constexpr (caching) {
            cache_.for_each_value([](PyObject* leaf) { Py_DECREF(leaf); });
        }
    }

    bool start_table() noexcept {
        table_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(table_);
    }
    bool start_row() noexcept {
        row_ = Ref::steal(PyList_New(0));
        return static_cast<bool>(row_);
    }
    // The row waits with the others until the table is taken: one array for
    // the table at the end costs less than an append a row.
    bool end_row() noexcept {
        if (!move_into(row_.get(), pending_)) {
            fill_failed_ = true;
            return false;
        }
        return rows_.push(std::move(row_));
    }
    bool item(std::int64_t begin, std::int64_t end) noexcept {
        return pending_.push(Ref::steal(leaf(data_ + begin, end - begin)));
    }
    // From the wide loop, which knows the OR of the content's code points.
    bool item(std::int64_t begin, std::int64_t end, std::uint32_t bits) noexcept {
        const U* from = data_ + begin;
        const Py_ssize_t n = end - begin;
        PyObject* shared = shared_leaf(from, n);
        if (shared != nullptr) {
            return pending_.push(Ref::steal(shared));
        }
        return pending_.push(Ref::steal(new_leaf(from, n, simd::class_of_bits(bits))));
    }

    /// A failure to put the items into their row is reported as a failure to
    /// append an item, which is what it replaces.
    codec::Fault row_end_fault(codec::Fault fault) const noexcept {
        if (!fill_failed_) {
            return fault;
        }
        return fault == codec::Fault::narrow_row_end_sink ? codec::Fault::narrow_item_sink
                                                          : codec::Fault::wide_item_sink;
    }

    /// The finished table, a new reference for the caller; null with
    /// MemoryError where the rows cannot be put into it, which is reported
    /// as a failure to close the last row (see table_fault).
    PyObject* take_table() noexcept {
        const std::size_t n = rows_.size();
        if (!free_threaded_paths && n != 0 && layout::has_no_items(table_.get())) {
            // The rows' own array becomes the table's: no copy, and no
            // second array beside it.
            PyObject** items = rows_.release_array();
            if (items == nullptr) {
                return nullptr;
            }
            layout::adopt_items(table_.get(), items, static_cast<Py_ssize_t>(n));
            return table_.release();
        }
        return move_into(table_.get(), rows_) ? table_.release() : nullptr;
    }
    codec::Fault table_fault() const noexcept {
        return sizeof(U) < 4 ? codec::Fault::narrow_row_end_sink : codec::Fault::wide_row_end_sink;
    }

  private:
    static constexpr bool caching = sizeof(U) < 4;
    // Below this length both passes over a leaf run in the first-level
    // cache, and a leaf that turns out not to be ASCII would cost a second
    // allocation for nothing.
    static constexpr Py_ssize_t read_once_min = 512;
    // A leaf found not ASCII late has been copied in vain up to there. Such
    // copies may reach 1 / max_waste_ratio of the units of the long leaves
    // made so far; past that, leaves are scanned first until the others catch
    // up, so that a document of leaves each widened near its end pays for few.
    static constexpr std::int64_t max_waste_ratio = 8;
    struct NoCache {
        explicit NoCache(std::int64_t) noexcept {}
    };
    template <typename W> struct CacheFor {
        using type = NoCache;
    };
    template <typename W>
        requires(sizeof(W) < 4)
    struct CacheFor<W> {
        using type = codec::LeafCache<W, PyObject*>;
    };
    using Cache = typename CacheFor<U>::type;

    // The interpreter's own str for the empty leaf and for a one-character
    // leaf below U+0100; null for any other leaf. These are shared singletons
    // that cost no allocation, and the interpreter's substring hands back the
    // very same objects. Each is asked for once per call and kept here.
    PyObject* shared_leaf(const U* from, Py_ssize_t n) noexcept {
        if (n == 0) {
            if (empty_ == nullptr) {
                empty_ = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
            }
            return Py_NewRef(empty_);
        }
        if (n == 1 && from[0] <= simd::latin1_max) {
            PyObject*& one = latin1_[from[0]];
            if (one == nullptr) {
                one = layout::latin1_singleton(from[0]);
                if (one == nullptr) {
                    // Null here means "not shared": the caller then makes the
                    // leaf itself, so no error may stay pending.
                    PyErr_Clear();
                    return nullptr;
                }
            }
            return Py_NewRef(one);
        }
        return nullptr;
    }

    // A new reference to the leaf [from, from + n) of a 1- or 2-byte
    // document: shared, cached, or made now. Null with an exception set.
    PyObject* leaf(const U* from, Py_ssize_t n) noexcept {
        PyObject* shared = shared_leaf(from, n);
        if (shared != nullptr) {
            return shared;
        }
        const auto count = static_cast<std::size_t>(n);
        if constexpr (caching) {
            if (cache_.candidate(count)) {
                const auto probe = cache_.lookup(from, count);
                if (probe.hit != nullptr) {
                    return Py_NewRef(probe.hit);
                }
                if (probe.slot != nullptr) {
                    PyObject* made = make(from, n);
                    if (made != nullptr) {
                        // The cache keeps a reference of its own.
                        Ref displaced =
                            Ref::steal(cache_.fill(probe.slot, from, count, Py_NewRef(made)));
                    }
                    return made;
                }
            }
        }
        return make(from, n);
    }

    PyObject* make(const U* from, Py_ssize_t n) noexcept {
        if (sizeof(U) == 1 && ascii_) {
            return new_leaf(from, n, simd::ascii_max);
        }
        const auto count = static_cast<std::size_t>(n);
        std::size_t ascii_units = 0;
        if (n >= read_once_min) {
            long_units_ += n;
        }
        if (n >= read_once_min && wasted_units_ <= long_units_ / max_waste_ratio) {
            // Made as ASCII, as most long leaves are, and checked while it is
            // copied: the leaf is read once instead of scanned, then copied.
            PyObject* text = PyUnicode_New(n, simd::ascii_max);
            if (text == nullptr) {
                return nullptr;
            }
            ascii_units =
                simd::copy_ascii_prefix(from, count, static_cast<Py_UCS1*>(PyUnicode_DATA(text)));
            if (ascii_units == count) {
                return text;
            }
            wasted_units_ += static_cast<std::int64_t>(ascii_units);
            Py_DECREF(text);
        }
        // The units before `ascii_units` are known to be ASCII.
        const std::uint32_t rest = simd::widest_class(from + ascii_units, count - ascii_units);
        return new_leaf(from, n, rest);
    }

    // Moves the waiting references into `list`, which nothing else can reach yet.
    static bool move_into(PyObject* list, PendingItems& waiting) noexcept {
        const std::size_t n = waiting.size();
        if (n == 0) {
            return true;
        }
        // Without the GIL the list's storage is written only through the API.
        if (!free_threaded_paths && layout::has_no_items(list)) {
            // An empty new list owns no item array yet: give it one of exactly
            // n slots, from the allocator that the list frees it with.
            PyObject** items = PyMem_New(PyObject*, n);
            if (items == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            waiting.move_to(items); // the list takes over each reference
            layout::adopt_items(list, items, static_cast<Py_ssize_t>(n));
            return true;
        }
        for (std::size_t k = 0; k < n; ++k) {
            if (PyList_Append(list, waiting[k]) < 0) {
                return false;
            }
        }
        waiting.clear();
        return true;
    }

    const U* data_; // the input's storage, borrowed for the whole call
    bool ascii_;    // every code point of the input is below U+0080
    Ref table_;
    Ref row_;
    PendingItems pending_; // the items of the current row
    PendingItems rows_;    // the rows ended so far
    Cache cache_;
    std::int64_t long_units_ = 0;         // units of the leaves of read_once_min or more
    std::int64_t wasted_units_ = 0;       // units copied by attempts that failed
    PyObject* empty_ = nullptr;           // borrowed: the interpreter's own
    std::array<PyObject*, 256> latin1_{}; // borrowed, made on first use
    bool fill_failed_ = false;
};

} // namespace dwex

#endif
