// arrow_abi.hpp: the Arrow C data and C stream interface structures, as that
// interface fixes them (the guards let another copy of them coexist), and
// the pieces dwexio builds with them: owned buffers, the schema of a table of
// string columns, and the release callbacks. No Arrow library is linked: the
// interface is a stable ABI of three structs, and these few helpers keep the
// wheel free of one.
#ifndef DWEXIO_ARROW_ABI_HPP
#define DWEXIO_ARROW_ABI_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    int64_t flags;
    int64_t n_children;
    struct ArrowSchema** children;
    struct ArrowSchema* dictionary;
    void (*release)(struct ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    int64_t length;
    int64_t null_count;
    int64_t offset;
    int64_t n_buffers;
    int64_t n_children;
    const void** buffers;
    struct ArrowArray** children;
    struct ArrowArray* dictionary;
    void (*release)(struct ArrowArray*);
    void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
    int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
    int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
    const char* (*get_last_error)(struct ArrowArrayStream*);
    void (*release)(struct ArrowArrayStream*);
    void* private_data;
};
#endif
}

namespace dwexio::arrow {

/// A growable byte buffer from malloc, which the C interface hands to other
/// libraries' release calls without copying. Every failure is a false return.
class Buffer {
  public:
    Buffer() noexcept = default;
    Buffer(Buffer&& o) noexcept : data_(o.data_), size_(o.size_), capacity_(o.capacity_) {
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
    }
    Buffer& operator=(Buffer&& o) noexcept {
        Buffer old(std::move(*this));
        data_ = o.data_;
        size_ = o.size_;
        capacity_ = o.capacity_;
        o.data_ = nullptr;
        o.size_ = o.capacity_ = 0;
        return *this;
    }
    Buffer(const Buffer&) = delete;
    ~Buffer() { std::free(data_); }

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void resize(std::size_t n) noexcept { size_ = n; } ///< within the capacity

    /// Room for `n` bytes in all, doubling at least (and to 256 bytes at
    /// once, past the many small steps). Pages never written cost no memory,
    /// and a batch's buffers are cut to size when it is handed out.
    bool reserve(std::size_t n) noexcept {
        if (n <= capacity_) {
            return true;
        }
        const std::size_t grown = 2 * capacity_;
        return exact(std::max({n, grown, std::size_t{256}}));
    }
    /// Capacity of exactly max(n, 1) bytes (never a null buffer), keeping the contents.
    bool exact(std::size_t n) noexcept {
        n = n ? n : 1;
        void* p = std::realloc(data_, n);
        if (p == nullptr) {
            return false;
        }
        data_ = static_cast<std::uint8_t*>(p);
        capacity_ = n;
        return true;
    }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// Exports the schema of a struct of string columns with these names (each
/// nullable, as any Arrow string column may be, though these hold no nulls).
/// Returns false when memory runs out, with `out` untouched.
bool export_schema(const std::vector<std::string>& names, const char* column_format,
                   ArrowSchema* out) noexcept;

/// How a column of strings is laid out: its offsets are 32-bit (string) or
/// 64-bit (large_string), or each row is a 16-byte view (string_view): the
/// length, then up to 12 bytes inline, or else a 4-byte prefix and the
/// index and offset of the bytes in a data buffer.
enum class Layout : std::uint8_t { string, large_string, string_view };

/// The C data interface's format string of a column of `layout`.
const char* format_of(Layout layout) noexcept;

/// A string_view's bytes inline in its view, at most.
constexpr std::size_t view_inline_bytes = 12;
constexpr std::size_t view_bytes = 16;

/// One exported string column: the struct's child owns its buffers. A
/// string_view column keeps its views in `offsets` and its one data
/// buffer's size in `variadic_size`, the buffer the interface asks for.
struct ColumnBuffers {
    Buffer offsets;
    Buffer data;
    std::int64_t variadic_size = 0;
};

/// Exports `rows` rows of string columns laid out as `layout` as a struct
/// array, taking the buffers. Returns false when memory runs out, leaving
/// the columns with the caller.
bool export_batch(std::vector<ColumnBuffers>& columns, std::int64_t rows, Layout layout,
                  ArrowArray* out) noexcept;

} // namespace dwexio::arrow

#endif
