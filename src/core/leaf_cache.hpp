// leaf_cache.hpp: a per-call table of short leaves already made, so that a
// leaf repeated in a document (a field name, a category, a flag) is made once
// and shared. Header-only and free of the interpreter: it stores the caller's
// handle for each leaf and hands back the one it displaces, so the caller
// keeps its ownership rules.
#ifndef DWEX_CODEC_LEAF_CACHE_HPP
#define DWEX_CODEC_LEAF_CACHE_HPP

#include "core/format.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace dwex::codec {

/// When the cache looks leaves up. The first `warm_up` candidates are made
/// without it, so that a small document never pays for the table; then every
/// candidate is looked up, and a window of `window` lookups with fewer than
/// one hit in `min_hit_ratio` switches it off for the rest of the call.
struct CacheRules {
    /// Leaves of 2 to 16 units, and of one unit where it is not a byte (the
    /// caller hands out the interpreter's own one-character strings for those).
    static constexpr std::size_t min_bytes = 2;
    static constexpr std::size_t max_units = 16;
    static constexpr std::uint32_t warm_up = 256;
    static constexpr std::uint32_t window = 1024;
    static constexpr std::uint32_t min_hit_ratio = 8;
    /// The table holds one slot per `units_per_slot` code units of the
    /// document, a power of two between these bounds: small beside the
    /// table it helps to build (a leaf takes at least 8 bytes of its row).
    /// The upper bound keeps it in the first-level data cache (1024 slots
    /// of 24 bytes) while the document and the new rows stream past it.
    static constexpr std::int64_t units_per_slot = 256;
    static constexpr std::size_t min_slots = 64;
    static constexpr std::size_t max_slots = std::size_t{1} << 10;
};

/// Number of slots for a document of `length` code units.
constexpr std::size_t cache_slots(std::int64_t length) noexcept {
    const auto wanted = static_cast<std::size_t>(length / CacheRules::units_per_slot);
    if (wanted <= CacheRules::min_slots) {
        return CacheRules::min_slots;
    }
    if (wanted >= CacheRules::max_slots) {
        return CacheRules::max_slots;
    }
    return std::bit_ceil(wanted);
}

/// Direct-mapped: each leaf's hash picks one slot, and a miss replaces what
/// the slot held. Keys are the leaves' places in the document, which outlives
/// the call, so nothing is copied. Only 1- and 2-byte documents use it: in a
/// 4-byte document the lookups cost more than the allocations they spare.
template <format::CodeUnit U, typename V>
    requires(sizeof(U) < 4)
class LeafCache {
  public:
    enum class State : std::uint8_t { warming, on, off };

    struct Slot {
        const U* src = nullptr; // the first unit of the leaf held, in the document
        V value{};
        std::uint32_t n = 0;
        std::uint32_t hash = 0;
    };

    /// What a lookup found: a hit's value, or the slot that the leaf made on
    /// a miss goes into (null while the cache is not in use).
    struct Probe {
        V hit{};
        Slot* slot = nullptr;
    };

    explicit LeafCache(std::int64_t document_length) noexcept
        : slots_(cache_slots(document_length)) {}

    /// Whether a leaf of `n` units goes through the cache at all.
    static constexpr bool candidate(std::size_t n) noexcept {
        return n * sizeof(U) >= CacheRules::min_bytes && n <= CacheRules::max_units;
    }

    /// Looks up the candidate leaf [p, p + n).
    Probe lookup(const U* p, std::size_t n) noexcept {
        if (state_ != State::on) {
            if (state_ == State::off || !start()) {
                return Probe{};
            }
        }
        if (lookups_ == CacheRules::window) {
            if (hits_ * CacheRules::min_hit_ratio < lookups_) {
                state_ = State::off;
                return Probe{};
            }
            lookups_ = 0;
            hits_ = 0;
        }
        ++lookups_;
        const std::uint32_t h = hash(p, n);
        Slot& slot = table_[h & (slots_ - 1)];
        if (slot.hash == h && slot.n == n && slot.src != nullptr && equal(slot.src, p, n)) {
            ++hits_;
            return Probe{slot.value, nullptr};
        }
        return Probe{V{}, &slot};
    }

    /// Puts the leaf made after a miss into its slot; returns the value the
    /// slot held before (empty if none), which the caller releases.
    V fill(Slot* slot, const U* p, std::size_t n, V value) noexcept {
        V old = slot->value;
        *slot = Slot{p, value, static_cast<std::uint32_t>(n), hash(p, n)};
        return old;
    }

    /// Calls `f` on every value held, for the caller to release them.
    template <typename F> void for_each_value(F f) const {
        if (table_) {
            for (std::size_t k = 0; k < slots_; ++k) {
                if (table_[k].src != nullptr) {
                    f(table_[k].value);
                }
            }
        }
    }

  private:
    friend struct CacheInspector; // the unit tests' view of `state_`

    // Counts a candidate while warming up; after the last one, makes the
    // table. A table that cannot be made just leaves the cache off.
    bool start() noexcept {
        if (++warmed_ <= CacheRules::warm_up) {
            return false;
        }
        table_.reset(new (std::nothrow) Slot[slots_]());
        state_ = table_ ? State::on : State::off;
        return static_cast<bool>(table_);
    }

    template <typename W> static W load(const std::uint8_t* at) noexcept {
        W w;
        std::memcpy(&w, at, sizeof w);
        return w;
    }

    // Two overlapping loads cover every byte of a leaf of 2 to 16 bytes;
    // longer leaves (2-byte units) hash their first and last 8 bytes only,
    // which `equal` makes up for.
    static std::uint32_t hash(const U* p, std::size_t n) noexcept {
        const auto* b = reinterpret_cast<const std::uint8_t*>(p);
        const std::size_t bytes = n * sizeof(U);
        std::uint64_t first;
        std::uint64_t last;
        if (bytes >= 8) {
            first = load<std::uint64_t>(b);
            last = load<std::uint64_t>(b + bytes - 8);
        } else if (bytes >= 4) {
            first = load<std::uint32_t>(b);
            last = load<std::uint32_t>(b + bytes - 4);
        } else {
            first = load<std::uint16_t>(b);
            last = load<std::uint16_t>(b + bytes - 2);
        }
        const std::uint64_t mixed =
            (first * 0x9E3779B97F4A7C15ULL ^ std::rotl(last, 29)) * 0xC2B2AE3D27D4EB4FULL + bytes;
        return static_cast<std::uint32_t>(mixed >> 32);
    }

    // The two leaves hold the same units; they have the same length, of at
    // most 32 bytes, so two overlapping compares of the widest fitting size do.
    static bool equal(const U* a, const U* b, std::size_t n) noexcept {
        const auto* x = reinterpret_cast<const std::uint8_t*>(a);
        const auto* y = reinterpret_cast<const std::uint8_t*>(b);
        const std::size_t bytes = n * sizeof(U);
        if (bytes >= 16) {
            return std::memcmp(x, y, 16) == 0 &&
                   std::memcmp(x + bytes - 16, y + bytes - 16, 16) == 0;
        }
        if (bytes >= 8) {
            return load<std::uint64_t>(x) == load<std::uint64_t>(y) &&
                   load<std::uint64_t>(x + bytes - 8) == load<std::uint64_t>(y + bytes - 8);
        }
        if (bytes >= 4) {
            return load<std::uint32_t>(x) == load<std::uint32_t>(y) &&
                   load<std::uint32_t>(x + bytes - 4) == load<std::uint32_t>(y + bytes - 4);
        }
        return load<std::uint16_t>(x) == load<std::uint16_t>(y) &&
               load<std::uint16_t>(x + bytes - 2) == load<std::uint16_t>(y + bytes - 2);
    }

    std::size_t slots_;
    std::unique_ptr<Slot[]> table_;
    State state_ = State::warming;
    std::uint32_t warmed_ = 0;
    std::uint32_t lookups_ = 0;
    std::uint32_t hits_ = 0;
};

} // namespace dwex::codec

#endif
