// abi.hpp: the Arrow C data and C stream interface structures, as that
// interface fixes them (the guards let another copy of them coexist), and
// the pieces dwexio builds with them: owned buffers, the schema of a table of
// string columns, and the release callbacks. No Arrow library is linked: the
// interface is a stable ABI of three structs, and these few helpers keep the
// wheel free of one.
#ifndef DWEXIO_ARROW_ABI_HPP
#define DWEXIO_ARROW_ABI_HPP

#include "dwexio/arrow/formats.hpp"

#include "core/byte_buffer.hpp"
#include "testing/alloc_faults.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
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

/// Buffers handed out through the C interface: malloc's, which the
/// release callbacks free without a copy (counted in a test build).
using Buffer = dwex::codec::ByteBuffer<dwex::faults::Malloc>;

/// Exports the schema of a struct of string columns with these names (each
/// nullable, as any Arrow string column may be, though these hold no nulls).
/// Returns false when memory runs out, with `out` untouched.
bool export_schema(const std::vector<std::string>& names, const char* column_format,
                   ArrowSchema* out) noexcept;

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
