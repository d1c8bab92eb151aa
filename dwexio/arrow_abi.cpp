// arrow_abi.cpp: exporting schemas and batches through the Arrow C data
// interface. Every child owns its own memory and has its own release, so a
// consumer may move children out of their parent and release them in any
// order; a parent releases only the children still in place.
#include "arrow_abi.hpp"

#include <new>
#include <utility>

namespace dwexio::arrow {
namespace {

struct ChildSchema {
    std::string name;
};

void release_child_schema(ArrowSchema* schema) noexcept {
    delete static_cast<ChildSchema*>(schema->private_data);
    schema->release = nullptr;
}

struct ParentSchema {
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> pointers;
};

/// Releases the children still in place (a consumer may have moved some
/// out), then the parent's own record.
template <typename Parent, typename Struct> void release_parent(Struct* s) noexcept {
    auto* parent = static_cast<Parent*>(s->private_data);
    for (Struct& child : parent->children) {
        if (child.release != nullptr) {
            child.release(&child);
        }
    }
    delete parent;
    s->release = nullptr;
}

void release_child_array(ArrowArray* array) noexcept {
    delete static_cast<ColumnBuffers*>(array->private_data);
    delete[] array->buffers;
    array->release = nullptr;
}

struct ParentArray {
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> pointers;
    const void* buffers[1] = {nullptr};
};

} // namespace

bool export_schema(const std::vector<std::string>& names, const char* column_format,
                   ArrowSchema* out) noexcept {
    ParentSchema* parent = nullptr;
    try {
        parent = new ParentSchema;
        parent->children.resize(names.size());
        parent->pointers.resize(names.size());
        for (std::size_t k = 0; k < names.size(); ++k) {
            auto* child = new ChildSchema{names[k]};
            parent->children[k] = ArrowSchema{column_format, child->name.c_str(), nullptr,
                                              ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
                                              release_child_schema, child};
            parent->pointers[k] = &parent->children[k];
        }
    } catch (const std::bad_alloc&) {
        if (parent != nullptr) {
            ArrowSchema partial{};
            partial.private_data = parent;
            release_parent<ParentSchema>(&partial);
        }
        return false;
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(names.size()),
                       parent->pointers.data(), nullptr, release_parent<ParentSchema, ArrowSchema>, parent};
    return true;
}

const char* format_of(Layout layout) noexcept {
    switch (layout) {
    case Layout::large_string:
        return "U";
    case Layout::string_view:
        return "vu";
    case Layout::string:
        break;
    }
    return "u";
}

bool export_batch(std::vector<ColumnBuffers>& columns, std::int64_t rows, Layout layout,
                  ArrowArray* out) noexcept {
    // A view column has its views, one data buffer and that buffer's size.
    const std::int64_t n_buffers = layout == Layout::string_view ? 4 : 3;
    // Everything that can fail is allocated first; the buffers move last.
    ParentArray* parent = nullptr;
    std::size_t made = 0;
    try {
        parent = new ParentArray;
        parent->children.resize(columns.size());
        parent->pointers.resize(columns.size());
        for (; made < columns.size(); ++made) {
            ArrowArray& child = parent->children[made];
            child = ArrowArray{rows, 0, 0, n_buffers, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
            child.buffers = new const void*[static_cast<std::size_t>(n_buffers)];
            child.private_data = new ColumnBuffers;
            child.release = release_child_array;
            parent->pointers[made] = &child;
        }
    } catch (const std::bad_alloc&) {
        if (parent != nullptr) {
            for (std::size_t k = 0; k <= made && k < parent->children.size(); ++k) {
                ArrowArray& child = parent->children[k];
                delete[] child.buffers;
                delete static_cast<ColumnBuffers*>(child.private_data);
            }
            delete parent;
        }
        return false;
    }
    for (std::size_t k = 0; k < columns.size(); ++k) {
        ArrowArray& child = parent->children[k];
        auto* owned = static_cast<ColumnBuffers*>(child.private_data);
        owned->offsets = std::move(columns[k].offsets);
        owned->data = std::move(columns[k].data);
        child.buffers[0] = nullptr;
        child.buffers[1] = owned->offsets.data();
        child.buffers[2] = owned->data.data();
        if (layout == Layout::string_view) {
            owned->variadic_size = static_cast<std::int64_t>(owned->data.size());
            child.buffers[3] = &owned->variadic_size;
        }
    }
    *out = ArrowArray{rows, 0, 0, 1, static_cast<std::int64_t>(columns.size()), parent->buffers,
                      parent->pointers.data(), nullptr, release_parent<ParentArray, ArrowArray>, parent};
    return true;
}

} // namespace dwexio::arrow
