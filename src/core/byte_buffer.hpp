// byte_buffer.hpp: the project's one growable byte buffer. Its memory comes
// from an allocator of three static functions (malloc's by default, so that
// a C interface's release callback can free what it hands out without a
// copy), and every failure is a false return. Interpreter-free.
#ifndef DWEX_CODEC_BYTE_BUFFER_HPP
#define DWEX_CODEC_BYTE_BUFFER_HPP

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace dwex::codec {

/// The C library's allocator.
struct Malloc {
    static void* allocate(std::size_t n) noexcept { return std::malloc(n); }
    static void* reallocate(void* p, std::size_t n) noexcept { return std::realloc(p, n); }
    static void release(void* p) noexcept { std::free(p); }
};

template <typename Allocator = Malloc> class ByteBuffer {
  public:
    /// A first growth goes at least this far, past the many small steps.
    static constexpr std::size_t least_capacity = 256;

    ByteBuffer() noexcept = default;
    ByteBuffer(ByteBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)),
          capacity_(std::exchange(o.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& o) noexcept {
        ByteBuffer old(std::move(*this));
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { Allocator::release(data_); }

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    void resize(std::size_t n) noexcept { size_ = n; } ///< within the capacity

    /// Room for `n` bytes in all, doubling at least. Pages never written
    /// cost no memory, and exact() cuts a buffer to size where it matters.
    bool reserve(std::size_t n) noexcept {
        if (n <= capacity_) {
            return true;
        }
        return exact(std::max({n, 2 * capacity_, least_capacity}));
    }
    /// Capacity of exactly max(n, 1) bytes (never a null buffer), keeping the
    /// contents that fit.
    bool exact(std::size_t n) noexcept {
        const std::size_t bytes = n ? n : 1;
        void* p =
            data_ == nullptr ? Allocator::allocate(bytes) : Allocator::reallocate(data_, bytes);
        if (p == nullptr) {
            return false;
        }
        data_ = static_cast<std::uint8_t*>(p);
        capacity_ = bytes;
        size_ = std::min(size_, n);
        return true;
    }

  private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace dwex::codec

#endif
