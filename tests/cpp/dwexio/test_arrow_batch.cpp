// Batches built from rows of cells and exported through the Arrow C data
// interface in each string layout: a consumer reads back every cell, may
// move children out and release them in any order, and every release
// returns all the memory the batch took. The queue of batches keeps their
// order and releases those never taken.
#include "dwexio/arrow/batch.hpp"
#include "dwexio/arrow/columns.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// Blocks the C library has handed out and not had back, counted here in front
// of it: its own statistics count the chunks it caches as still in use.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<long long> live_blocks{0};
} // namespace

extern "C" {
void* malloc(std::size_t n) {
    void* p = __libc_malloc(n);
    live_blocks += p != nullptr;
    return p;
}
void* calloc(std::size_t n, std::size_t size) {
    void* p = __libc_calloc(n, size);
    live_blocks += p != nullptr;
    return p;
}
void* realloc(void* p, std::size_t n) {
    void* q = __libc_realloc(p, n);
    live_blocks += (p == nullptr && q != nullptr) - (p != nullptr && n == 0);
    return q;
}
void free(void* p) {
    live_blocks -= p != nullptr;
    __libc_free(p);
}
}

namespace {

using dwex::codec::Span;
using dwexio::arrow::BatchBuilder;
using dwexio::arrow::BatchQueue;
using dwexio::arrow::copy_slack;
using dwexio::arrow::Layout;

long long heap_in_use() { return live_blocks.load(); }

/// One row's bytes, with the slack a builder may read past them, and its
/// cells' spans.
struct Row {
    std::vector<std::uint8_t> bytes;
    std::vector<Span> cells;

    explicit Row(const std::vector<std::string>& texts) {
        for (const std::string& text : texts) {
            const auto begin = static_cast<std::int64_t>(bytes.size());
            bytes.insert(bytes.end(), text.begin(), text.end());
            cells.push_back({begin, static_cast<std::int64_t>(bytes.size())});
        }
        bytes.resize(bytes.size() + copy_slack);
    }
};

// Short cells, a view's longest inline one, one just past it and a long one.
const std::vector<std::vector<std::string>> table = {
    {"", "a", "twelve bytes"},
    {"thirteen byte", "é\xF0\x9F\x98\x80", std::string(200, 'x')},
    {"z", "", "twelve bytes"},
};

/// Builds `table` (columns 2 and 0, in that order) into one batch.
void build(Layout layout, ArrowArray* out) {
    const std::vector<std::size_t> selected = {2, 0};
    BatchBuilder builder(layout, 10, selected);
    ASSERT_TRUE(builder.start());
    for (const auto& texts : table) {
        const Row row(texts);
        ASSERT_EQ(builder.append(row.bytes.data(), row.cells.data()), selected.size());
        builder.added();
    }
    ASSERT_TRUE(builder.emit(out));
    EXPECT_FALSE(builder.open());
    EXPECT_EQ(builder.rows_out(), 3);
    // A view's data holds only the cells past its inline bytes.
    EXPECT_EQ(builder.bytes_out()[0], layout == Layout::string_view ? 200U : 12U + 200U + 12U);
}

std::string cell(const ArrowArray& column, Layout layout, std::int64_t row) {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    dwexio::arrow::string_at(column, layout, row, &data, &size);
    return {reinterpret_cast<const char*>(data), size};
}

class Export : public testing::TestWithParam<Layout> {};

TEST_P(Export, EveryCellReadsBackAndTheReleaseReturnsEveryByte) {
    const Layout layout = GetParam();
    const long long before = heap_in_use();
    ArrowArray batch{};
    build(layout, &batch);
    ASSERT_NE(batch.release, nullptr);
    EXPECT_EQ(batch.length, 3);
    ASSERT_EQ(batch.n_children, 2);
    for (std::int64_t j = 0; j < 2; ++j) {
        const ArrowArray& column = *batch.children[j];
        EXPECT_EQ(column.n_buffers, layout == Layout::string_view ? 4 : 3);
        EXPECT_EQ(column.null_count, 0);
        for (std::int64_t r = 0; r < 3; ++r) {
            EXPECT_EQ(cell(column, layout, r), table[static_cast<std::size_t>(r)][j == 0 ? 2 : 0]);
        }
    }
    if (layout == Layout::string_view) {
        // Only the cells past 12 bytes are in the data buffer.
        const auto* sizes = static_cast<const std::int64_t*>(batch.children[0]->buffers[3]);
        EXPECT_EQ(sizes[0], 200);
    }
    batch.release(&batch);
    EXPECT_EQ(batch.release, nullptr);
    EXPECT_EQ(heap_in_use(), before);
}

TEST_P(Export, AChildMovedOutLivesOnAndIsReleasedOnItsOwn) {
    const Layout layout = GetParam();
    const long long before = heap_in_use();
    ArrowArray batch{};
    build(layout, &batch);
    ArrowArray moved = *batch.children[1];
    batch.children[1]->release = nullptr;
    batch.release(&batch);
    EXPECT_EQ(cell(moved, layout, 1), "thirteen byte");
    moved.release(&moved);
    EXPECT_EQ(heap_in_use(), before);
}

TEST_P(Export, TheSchemaNamesEachColumnInTheLayoutsFormat) {
    const Layout layout = GetParam();
    const long long before = heap_in_use();
    ArrowSchema schema{};
    ASSERT_TRUE(
        dwexio::arrow::export_schema({"a", "b"}, dwexio::arrow::format_of(layout), &schema));
    EXPECT_STREQ(schema.format, "+s");
    ASSERT_EQ(schema.n_children, 2);
    EXPECT_STREQ(schema.children[1]->name, "b");
    EXPECT_EQ(dwexio::arrow::layout_of(schema.children[0]->format), layout);
    ArrowSchema moved = *schema.children[0];
    schema.children[0]->release = nullptr;
    schema.release(&schema);
    EXPECT_STREQ(moved.name, "a");
    moved.release(&moved);
    EXPECT_EQ(heap_in_use(), before);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Export,
                         testing::Values(Layout::string, Layout::large_string,
                                         Layout::string_view));

TEST(BatchBuilder, AnUnwoundRowLeavesOnlyWholeRowsAndFullMeansTheRowLimit) {
    const std::vector<std::size_t> selected = {0, 1};
    BatchBuilder builder(Layout::string_view, 2, selected);
    ASSERT_TRUE(builder.start());
    const Row first({"kept", "also kept, past twelve"});
    const Row second({"dropped, past twelve", "dropped"});
    ASSERT_EQ(builder.append(first.bytes.data(), first.cells.data()), 2U);
    builder.added();
    // As when the second column had no room: the first column's cell goes.
    ASSERT_EQ(builder.append(second.bytes.data(), second.cells.data()), 2U);
    builder.unwind(second.cells.data(), 2);
    EXPECT_EQ(builder.rows(), 1);
    EXPECT_FALSE(builder.full());
    ASSERT_EQ(builder.append(first.bytes.data(), first.cells.data()), 2U);
    builder.added();
    EXPECT_TRUE(builder.full());
    ArrowArray batch{};
    ASSERT_TRUE(builder.emit(&batch));
    EXPECT_EQ(batch.length, 2);
    EXPECT_EQ(cell(*batch.children[0], Layout::string_view, 1), "kept");
    EXPECT_EQ(cell(*batch.children[1], Layout::string_view, 1), "also kept, past twelve");
    // The data buffer holds the kept long cell twice and nothing unwound.
    EXPECT_EQ(static_cast<const std::int64_t*>(batch.children[1]->buffers[3])[0], 2 * 22);
    batch.release(&batch);
}

TEST(BatchBuilder, ABatchStartedAfterAnotherIsEmptyAndSizedByTheExpectation) {
    const std::vector<std::size_t> selected = {0};
    BatchBuilder builder(Layout::string, 100, selected);
    const Row row({"abc"});
    for (int batch_number = 0; batch_number < 2; ++batch_number) {
        if (batch_number == 1) {
            builder.expect(1, {3});
        }
        ASSERT_TRUE(builder.start());
        ASSERT_EQ(builder.append(row.bytes.data(), row.cells.data()), 1U);
        builder.added();
        ArrowArray batch{};
        ASSERT_TRUE(builder.emit(&batch));
        ASSERT_EQ(batch.length, 1);
        EXPECT_EQ(cell(*batch.children[0], Layout::string, 0), "abc");
        batch.release(&batch);
    }
    EXPECT_EQ(builder.rows_out(), 2);
    EXPECT_EQ(builder.bytes_out()[0], 6U);
}

/// A batch that records its release in `released`.
ArrowArray counted(std::int64_t length, std::vector<std::int64_t>* released) {
    ArrowArray array{};
    array.length = length;
    array.private_data = released;
    array.release = [](ArrowArray* a) {
        static_cast<std::vector<std::int64_t>*>(a->private_data)->push_back(a->length);
        a->release = nullptr;
    };
    return array;
}

TEST(BatchQueue, BatchesComeOutInOrderAndTheUntakenAreReleasedWithTheQueue) {
    std::vector<std::int64_t> released;
    {
        BatchQueue queue;
        BatchQueue later;
        for (std::int64_t k = 1; k <= 3; ++k) {
            ArrowArray batch = counted(k, &released);
            ASSERT_TRUE((k < 3 ? queue : later).push(batch));
        }
        ASSERT_TRUE(queue.take(later));
        EXPECT_TRUE(later.empty());
        ArrowArray first{};
        queue.pop(&first);
        EXPECT_EQ(first.length, 1);
        first.release(&first);
        EXPECT_EQ(released, (std::vector<std::int64_t>{1}));
    }
    EXPECT_EQ(released, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(BatchQueue, ClearReleasesEveryBatchOnceAndLeavesTheQueueEmpty) {
    std::vector<std::int64_t> released;
    BatchQueue queue;
    for (std::int64_t k = 1; k <= 2; ++k) {
        ArrowArray batch = counted(k, &released);
        ASSERT_TRUE(queue.push(batch));
    }
    queue.clear();
    EXPECT_TRUE(queue.empty());
    queue.clear();
    EXPECT_EQ(released, (std::vector<std::int64_t>{1, 2}));
}

} // namespace
