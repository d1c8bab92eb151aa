// batch.cpp: a row's cells are copied into the columns in whole
// 16-byte steps where short, and unwound if a later column has no room, so a
// batch always holds whole rows.
#include "dwexio/arrow/batch.hpp"

#include "core/simd.hpp"

#include <climits>
#include <cstring>
#include <new>
#include <type_traits>

namespace dwexio::arrow {
namespace {

/// An Arrow string array's offsets are 32-bit: a batch's column ends before it would pass this.
constexpr std::size_t max_column_bytes = INT32_MAX;

/// Cells up to this long are copied in whole steps, reading and writing up to
/// copy_slack bytes past their end; longer ones by memcpy.
constexpr std::size_t stepped_copy_bytes = 4 * copy_step;

/// The rows a batch's first buffers have room for before they grow.
constexpr std::size_t first_rows = 1024;

inline void copy_cell(std::uint8_t* to, const std::uint8_t* from, std::size_t size) noexcept {
#if DWEX_SIMD
    // Whole steps, into the slack past the cell: a short cell costs one test
    // of its size, which seldom changes its way, not one test a step.
    const auto steps = [&](std::size_t count) {
        for (std::size_t k = 0; k < count * copy_step; k += copy_step) {
            dwex::simd::store(to + k, dwex::simd::load(from + k));
        }
    };
    // Each step is one vector's load and store.
    static_assert(copy_step == dwex::simd::vector_bytes);
    static_assert(copy_slack == 2 * copy_step, "a short cell takes two steps, a longer one four");
    if (size <= 2 * copy_step) {
        steps(2);
        return;
    }
    if (size <= stepped_copy_bytes) {
        steps(4);
        return;
    }
#endif
    std::memcpy(to, from, size);
}

/// The width of one row's entry in a column's first buffer: an offset or a view.
constexpr std::size_t entry_bytes(Layout layout) noexcept {
    return layout == Layout::string_view    ? view::bytes
           : layout == Layout::large_string ? sizeof(std::int64_t)
                                            : sizeof(std::int32_t);
}

/// The bytes of a column's first buffer before its first row's entry: an
/// offset of 0, where there are offsets.
constexpr std::size_t first_entry_bytes(Layout layout) noexcept {
    return layout == Layout::string_view ? 0 : entry_bytes(layout);
}

/// Whether a cell's bytes go to the column's data buffer: all of them but
/// the views' inline ones.
constexpr bool stored(Layout layout, std::size_t size) noexcept {
    return layout != Layout::string_view || size > view::inline_bytes;
}

/// A column's bytes in one batch at most: offsets, and a view's offset into
/// its buffer, are 32-bit but for large_string's.
constexpr std::size_t column_limit(Layout layout) noexcept {
    return layout == Layout::large_string ? static_cast<std::size_t>(INT64_MAX) : max_column_bytes;
}

/// The cell's entry at `at` (room reserved): the offset where its bytes end,
/// or its view (length; then the bytes inline, or a prefix, buffer 0 and
/// where they start).
template <Layout L>
void put_entry(std::uint8_t* at, const std::uint8_t* cell, std::size_t size,
               std::size_t used) noexcept {
    if constexpr (L == Layout::string_view) {
        std::memset(at, 0, view::bytes);
        const auto length = static_cast<std::int32_t>(size);
        std::memcpy(at + view::length_at, &length, sizeof(length));
        if (size <= view::inline_bytes) {
            std::memcpy(at + view::inline_at, cell, size);
        } else {
            // Buffer 0, the only one: the memset wrote its index.
            const auto offset = static_cast<std::int32_t>(used);
            std::memcpy(at + view::inline_at, cell, view::prefix_bytes);
            std::memcpy(at + view::offset_at, &offset, sizeof(offset));
        }
    } else {
        using Offset = std::conditional_t<L == Layout::string, std::int32_t, std::int64_t>;
        const auto end = static_cast<Offset>(used + size);
        std::memcpy(at, &end, sizeof(end));
    }
}

} // namespace

bool BatchBuilder::start() noexcept {
    // Room for the rows grows with them; the data starts at the size the
    // column had in the previous batch.
    const std::size_t rows = std::min(static_cast<std::size_t>(batch_rows_),
                                      first_rows_ != 0 ? first_rows_ : first_rows);
    first_rows_ = 0;
    const std::size_t entry = entry_bytes(layout_);
    // Offsets start with a 0; views have no entry before the first row.
    const std::size_t first = first_entry_bytes(layout_);
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        auto& c = columns_[k];
        if (!c.offsets.exact(rows * entry + first) || !c.data.exact(sizes_[k])) {
            return false;
        }
        std::memset(c.offsets.data(), 0, first);
        c.offsets.resize(first);
        c.data.resize(0);
    }
    room_ = rows;
    rows_ = 0;
    open_ = true;
    return true;
}

bool BatchBuilder::grow_entries() noexcept {
    const auto most = static_cast<std::size_t>(batch_rows_);
    const std::size_t rows =
        std::max(static_cast<std::size_t>(rows_) + 1, std::min(2 * room_, most));
    const std::size_t bytes = rows * entry_bytes(layout_) + first_entry_bytes(layout_);
    for (ColumnBuffers& c : columns_) {
        if (!c.offsets.reserve(bytes)) {
            return false;
        }
    }
    room_ = rows;
    return true;
}

void BatchBuilder::unwind(const dwex::codec::Span* cells, std::size_t count) noexcept {
    for (std::size_t j = 0; j < count; ++j) {
        auto& c = columns_[j];
        const dwex::codec::Span cell = cells[(*selected_)[j]];
        const auto size = static_cast<std::size_t>(cell.end - cell.begin);
        c.offsets.resize(c.offsets.size() - entry_bytes(layout_));
        if (stored(layout_, size)) {
            c.data.resize(c.data.size() - size);
        }
    }
}

bool BatchBuilder::column_full(std::size_t j, std::size_t size) const noexcept {
    return size > column_limit(layout_) - columns_[j].data.size();
}

template <Layout L>
std::size_t BatchBuilder::append_as(const std::uint8_t* row,
                                    const dwex::codec::Span* cells) noexcept {
    constexpr std::size_t entry = entry_bytes(L);
    // Every column has room for the row's entry once the row count is below
    // the room, so a cell tests only its data's room.
    if (static_cast<std::size_t>(rows_) >= room_ && !grow_entries()) {
        return 0;
    }
    // Locals, each read before any byte is stored: a store of bytes may
    // alias any member, which would otherwise be read again after it.
    const std::size_t* const chosen = selected_->data();
    const std::size_t n = selected_->size();
    ColumnBuffers* const columns = columns_.data();
    for (std::size_t j = 0; j < n; ++j) {
        ColumnBuffers& c = columns[j];
        const dwex::codec::Span cell = cells[chosen[j]];
        const auto size = static_cast<std::size_t>(cell.end - cell.begin);
        const std::uint8_t* const from = row + cell.begin;
        std::uint8_t* const entries = c.offsets.data();
        const std::size_t at = c.offsets.size();
        const std::size_t used = c.data.size();
        if (size > column_limit(L) - used) {
            return j;
        }
        if (stored(L, size)) {
            // Room for a copy in whole 16-byte steps, which may run past the cell.
            const std::size_t need = used + size + copy_slack;
            if (need > c.data.capacity() && !c.data.reserve(need)) {
                return j;
            }
            copy_cell(c.data.data() + used, from, size);
            c.data.resize(used + size);
        }
        put_entry<L>(entries + at, from, size, used);
        c.offsets.resize(at + entry);
    }
    return n;
}

std::size_t BatchBuilder::append(const std::uint8_t* row, const dwex::codec::Span* cells) noexcept {
    switch (layout_) {
    case Layout::string:
        return append_as<Layout::string>(row, cells);
    case Layout::large_string:
        return append_as<Layout::large_string>(row, cells);
    case Layout::string_view:
        return append_as<Layout::string_view>(row, cells);
    }
    return 0;
}

bool BatchBuilder::emit(ArrowArray* out) noexcept {
    for (std::size_t k = 0; k < columns_.size(); ++k) {
        // Exact sizes: a whole table read into memory holds no slack.
        sizes_[k] = columns_[k].data.size();
        bytes_out_[k] += sizes_[k];
        columns_[k].data.exact(sizes_[k]);
        columns_[k].offsets.exact(columns_[k].offsets.size());
    }
    if (!export_batch(columns_, rows_, layout_, out)) {
        return false;
    }
    open_ = false;
    rows_out_ += rows_;
    rows_ = 0;
    return true;
}

bool BatchQueue::push(ArrowArray& batch) noexcept {
    try {
        batches_.push_back(batch);
    } catch (const std::bad_alloc&) {
        batch.release(&batch);
        return false;
    }
    return true;
}

void BatchQueue::pop(ArrowArray* out) noexcept {
    *out = batches_.front();
    batches_.pop_front();
}

bool BatchQueue::take(BatchQueue& other) noexcept {
    std::size_t added = 0;
    try {
        for (; added < other.batches_.size(); ++added) {
            batches_.push_back(other.batches_[added]);
        }
    } catch (const std::bad_alloc&) {
        for (; added > 0; --added) {
            batches_.pop_back();
        }
        return false;
    }
    other.batches_.clear();
    return true;
}

void BatchQueue::clear() noexcept {
    for (ArrowArray& batch : batches_) {
        if (batch.release != nullptr) {
            batch.release(&batch);
        }
    }
    batches_.clear();
}

} // namespace dwexio::arrow
