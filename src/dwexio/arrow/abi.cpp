// abi.cpp: exporting schemas and batches through the Arrow C data
// interface. Every child owns its own memory and has its own release, so a
// consumer may move children out of their parent and release them in any
// order; a parent releases only the children still in place.
#include "dwexio/arrow/abi.hpp"

#include <memory>
#include <new>
#include <utility>

namespace dwexio::arrow {
namespace {

struct ChildSchema {
    std::string name;
};

void release_child_schema(ArrowSchema* schema) noexcept {
    const std::unique_ptr<ChildSchema> owned{static_cast<ChildSchema*>(schema->private_data)};
    schema->release = nullptr;
}

/// A struct's record: its children, and their addresses as the interface
/// lists them. Ending, it releases the children still in place (a consumer
/// may have moved some out).
template <typename Struct> struct Parent {
    explicit Parent(std::size_t n) : children(n), pointers(n) {
        for (std::size_t k = 0; k < n; ++k) {
            pointers[k] = &children[k];
        }
    }
    Parent(const Parent&) = delete;
    Parent& operator=(const Parent&) = delete;
    ~Parent() {
        for (Struct& child : children) {
            if (child.release != nullptr) {
                child.release(&child);
            }
        }
    }

    std::vector<Struct> children; // value-initialized: no release until made whole
    std::vector<Struct*> pointers;
    const void* buffers[1] = {nullptr}; // an array's: the struct's absent validity
};

template <typename Struct> void release_parent(Struct* s) noexcept {
    const std::unique_ptr<Parent<Struct>> owned{static_cast<Parent<Struct>*>(s->private_data)};
    s->release = nullptr;
}

/// A column as handed out: its buffers, and the list of their addresses.
struct ExportedColumn {
    ColumnBuffers owned;
    const void* buffers[4] = {nullptr, nullptr, nullptr, nullptr};
};

void release_child_array(ArrowArray* array) noexcept {
    const std::unique_ptr<ExportedColumn> owned{static_cast<ExportedColumn*>(array->private_data)};
    array->release = nullptr;
}

} // namespace

bool export_schema(const std::vector<std::string>& names, const char* column_format,
                   ArrowSchema* out) noexcept {
    std::unique_ptr<Parent<ArrowSchema>> parent;
    try {
        parent = std::make_unique<Parent<ArrowSchema>>(names.size());
        for (std::size_t k = 0; k < names.size(); ++k) {
            auto child = std::make_unique<ChildSchema>(ChildSchema{names[k]});
            parent->children[k] = ArrowSchema{column_format,
                                              child->name.c_str(),
                                              nullptr,
                                              ARROW_FLAG_NULLABLE,
                                              0,
                                              nullptr,
                                              nullptr,
                                              release_child_schema,
                                              child.release()};
        }
    } catch (const std::bad_alloc&) {
        return false; // the children made so far go with the parent
    }
    *out = ArrowSchema{struct_format.data(),
                       "",
                       nullptr,
                       0,
                       static_cast<std::int64_t>(names.size()),
                       parent->pointers.data(),
                       nullptr,
                       release_parent<ArrowSchema>,
                       parent.get()};
    parent.release(); // the schema's now
    return true;
}

bool export_batch(std::vector<ColumnBuffers>& columns, std::int64_t rows, Layout layout,
                  ArrowArray* out) noexcept {
    // A view column has its views, one data buffer and that buffer's size.
    const std::int64_t n_buffers = layout == Layout::string_view ? 4 : 3;
    // Everything that can fail is allocated first; the buffers move last.
    std::unique_ptr<Parent<ArrowArray>> parent;
    try {
        parent = std::make_unique<Parent<ArrowArray>>(columns.size());
        for (ArrowArray& child : parent->children) {
            auto column = std::make_unique<ExportedColumn>();
            child = ArrowArray{rows,
                               0,
                               0,
                               n_buffers,
                               0,
                               column->buffers,
                               nullptr,
                               nullptr,
                               release_child_array,
                               column.release()};
        }
    } catch (const std::bad_alloc&) {
        return false; // the columns made so far go with the parent
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
        auto* column = static_cast<ExportedColumn*>(parent->children[k].private_data);
        ColumnBuffers& owned = column->owned;
        owned.offsets = std::move(columns[k].offsets);
        owned.data = std::move(columns[k].data);
        column->buffers[1] = owned.offsets.data();
        column->buffers[2] = owned.data.data();
        if (layout == Layout::string_view) {
            owned.variadic_size = static_cast<std::int64_t>(owned.data.size());
            column->buffers[3] = &owned.variadic_size;
        }
    }
    *out = ArrowArray{rows,
                      0,
                      0,
                      1,
                      static_cast<std::int64_t>(columns.size()),
                      parent->buffers,
                      parent->pointers.data(),
                      nullptr,
                      release_parent<ArrowArray>,
                      parent.get()};
    parent.release(); // the array's now
    return true;
}

} // namespace dwexio::arrow
