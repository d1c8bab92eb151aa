// output.hpp: the growing buffer that the serializer writes the document into,
// one code unit per character at the narrowest width seen so far (1, 2 or 4
// bytes), widened in place when a wider character arrives. Interpreter-free.
#ifndef DWEX_CODEC_OUTPUT_HPP
#define DWEX_CODEC_OUTPUT_HPP

#include "core/byte_buffer.hpp"
#include "core/format.hpp"

#include <cstring>
#include <utility>

namespace dwex::codec {

/// `Allocator` supplies allocate, reallocate and release as static functions.
template <typename Allocator> class Output {
  public:
    Output() noexcept = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    std::size_t size() const noexcept { return size_; }
    int width() const noexcept { return width_; }
    const void* data() const noexcept { return bytes_.data(); }

    /// Makes room for `extra` more units at a width of at least `width`
    /// bytes; false when memory runs out (the buffer is then unchanged).
    bool reserve(std::size_t extra, int width) noexcept {
        if (width > width_ && !widen(width)) {
            return false;
        }
        if (extra > capacity_ - size_) {
            return grow(extra);
        }
        return true;
    }

    /// The next free unit, at the current width `U`; `advance` commits them.
    template <format::CodeUnit U> U* cursor() noexcept {
        return reinterpret_cast<U*>(bytes_.data()) + size_;
    }
    template <format::CodeUnit U> void advance_to(U* end) noexcept {
        size_ = static_cast<std::size_t>(end - reinterpret_cast<U*>(bytes_.data()));
    }

  private:
    bool grow(std::size_t extra) noexcept {
        std::size_t capacity = capacity_ < 256 ? 256 : capacity_ * 2;
        if (capacity - size_ < extra) {
            capacity = size_ + extra;
        }
        if (capacity > max_bytes / static_cast<std::size_t>(width_)) {
            return false;
        }
        if (!bytes_.exact(capacity * static_cast<std::size_t>(width_))) {
            return false;
        }
        capacity_ = capacity;
        return true;
    }

    template <format::CodeUnit From, format::CodeUnit To>
    static void convert(const void* from, void* to, std::size_t n) noexcept {
        const From* src = static_cast<const From*>(from);
        To* dst = static_cast<To*>(to);
        for (std::size_t k = 0; k < n; ++k) {
            dst[k] = src[k];
        }
    }

    template <format::CodeUnit To> void convert_from_current(void* to) const noexcept {
        if (width_ == 1) {
            convert<std::uint8_t, To>(bytes_.data(), to, size_);
        } else {
            convert<std::uint16_t, To>(bytes_.data(), to, size_);
        }
    }

    bool widen(int width) noexcept {
        const std::size_t capacity = capacity_ < 256 ? 256 : capacity_;
        if (capacity > max_bytes / static_cast<std::size_t>(width)) {
            return false;
        }
        ByteBuffer<Allocator> wider;
        if (!wider.exact(capacity * static_cast<std::size_t>(width))) {
            return false;
        }
        if (width == 2) {
            convert_from_current<std::uint16_t>(wider.data());
        } else {
            convert_from_current<std::uint32_t>(wider.data());
        }
        bytes_ = std::move(wider);
        capacity_ = capacity;
        width_ = width;
        return true;
    }

    static constexpr std::size_t max_bytes = std::size_t{1} << 62;
    ByteBuffer<Allocator> bytes_; // its own size unused: units are counted here
    std::size_t size_ = 0;        // units written
    std::size_t capacity_ = 0;    // units allocated
    int width_ = 1;               // bytes per unit
};

} // namespace dwex::codec

#endif
