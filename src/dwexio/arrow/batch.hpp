// batch.hpp: the string columns of one record batch being built from
// rows of a document's bytes, and the batches built ahead of their turn.
// Both the reader's own loop and each stretch of a parallel read own one.
#ifndef DWEXIO_ARROW_BATCH_HPP
#define DWEXIO_ARROW_BATCH_HPP

#include "dwexio/arrow/abi.hpp"

#include "core/parse_utf8.hpp"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <vector>

namespace dwexio::arrow {

/// Cells are copied 16 bytes at a time, two steps at least: a column's
/// buffer keeps `copy_slack` bytes of room past its end, and a buffer that
/// cells are copied from as much past its bytes.
inline constexpr std::size_t copy_step = 16;
inline constexpr std::size_t copy_slack = 2 * copy_step;

/// The selected cells of rows, appended to one batch's columns. Allocation
/// failure is a short count or a false return, never an exception.
class BatchBuilder {
  public:
    /// `selected` (the columns built, 0-based) must outlive the builder.
    BatchBuilder(Layout layout, std::int64_t batch_rows, const std::vector<std::size_t>& selected)
        : layout_(layout), batch_rows_(batch_rows), selected_(&selected), columns_(selected.size()),
          sizes_(selected.size(), 0), bytes_out_(selected.size(), 0) {}

    bool open() const noexcept { return open_; }
    std::int64_t rows() const noexcept { return rows_; }
    bool full() const noexcept { return rows_ >= batch_rows_; }

    /// Sizes the next batch started for `rows` rows whose selected columns
    /// hold `bytes[j]` bytes: a guess, past which the buffers grow as ever.
    void expect(std::size_t rows, const std::vector<std::size_t>& bytes) noexcept {
        first_rows_ = rows;
        std::copy(bytes.begin(), bytes.end(), sizes_.begin());
    }
    /// The rows, and each selected column's bytes, of the batches handed out.
    std::int64_t rows_out() const noexcept { return rows_out_; }
    const std::vector<std::size_t>& bytes_out() const noexcept { return bytes_out_; }

    /// Starts a batch; false when memory runs out.
    bool start() noexcept;
    /// Appends the selected cells of the row at `row` to the open batch,
    /// returning how many it appended: fewer where a column is full or memory
    /// runs out, and those are to be taken back out with unwind().
    std::size_t append(const std::uint8_t* row, const dwex::codec::Span* cells) noexcept;
    void unwind(const dwex::codec::Span* cells, std::size_t count) noexcept;
    /// Counts the row just appended whole.
    void added() noexcept { ++rows_; }
    /// Whether selected column `j` has no room for `size` more bytes in this batch.
    bool column_full(std::size_t j, std::size_t size) const noexcept;
    /// Hands the open batch out (cut to size) and closes it; false when memory runs out.
    bool emit(ArrowArray* out) noexcept;

  private:
    /// Room for one more row's entry in every column; false when memory runs out.
    bool grow_entries() noexcept;
    template <Layout L>
    std::size_t append_as(const std::uint8_t* row, const dwex::codec::Span* cells) noexcept;

    Layout layout_;
    std::int64_t batch_rows_;
    const std::vector<std::size_t>* selected_;
    std::vector<ColumnBuffers> columns_;
    std::vector<std::size_t>
        sizes_; // each column's data size in the last batch, or the one expected
    std::vector<std::size_t> bytes_out_;
    std::int64_t rows_out_ = 0;
    std::size_t first_rows_ = 0; // rows expected in the next batch; 0: not known
    std::int64_t rows_ = 0;
    std::size_t room_ = 0; // rows every column's first buffer has room for
    bool open_ = false;
};

/// Batches handed out of their builders and not yet taken, in order; the
/// ones never taken are released with the queue.
class BatchQueue {
  public:
    BatchQueue() = default;
    BatchQueue(const BatchQueue&) = delete;
    BatchQueue& operator=(const BatchQueue&) = delete;
    ~BatchQueue() { clear(); }

    bool empty() const noexcept { return batches_.empty(); }
    /// Takes `batch`, releasing it where memory runs out (false).
    bool push(ArrowArray& batch) noexcept;
    /// Moves the oldest batch to `out`.
    void pop(ArrowArray* out) noexcept;
    /// Moves every batch of `other` behind these; false (both left whole) when memory runs out.
    bool take(BatchQueue& other) noexcept;
    void clear() noexcept;

  private:
    std::deque<ArrowArray> batches_;
};

} // namespace dwexio::arrow

#endif
