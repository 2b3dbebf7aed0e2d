// Rows of a table found by a key the rows themselves hold: only part of the hash and the row's
// number are stored, so no key is copied and no stored key is read until its hash matches.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>
#include <vector>

namespace kestro {

// Linear probing over (hash, row) slots of 8 bytes: a table for a 100 MB log stays in the
// CPU's second-level cache, where a slot a record looks up is met without a trip to memory.
// The caller hashes the key (with a keyed hash: the keys come from files) and says, for a
// candidate row whose hash matches, whether that row holds the key. A slot keeps the hash's
// top 32 bits, the bits that choose a slot, so a table that grows rehashes from the slots,
// never from the rows. Rows are below 2^32 - 1.
class row_index {
  public:
    using row_type = std::uint32_t;

    row_index() = default;
    // Room for `expected` keys without growing.
    explicit row_index(std::size_t expected) { allocate(capacity_for(expected)); }

    // The row of the key hashed to `hash` and false when some row holds it, as `holds(row)`
    // tells; otherwise `row` is recorded for it, and true. The pointer is valid until the next
    // insertion. O(1) expected.
    template <class Holds>
    std::pair<row_type*, bool> try_emplace(std::uint64_t hash, row_type row, Holds&& holds) {
        if ((size_ + 1) * 4 > slots_.size() * 3) allocate(capacity_for(size_ + 1));
        const std::size_t mask = slots_.size() - 1;
        const auto top = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = home(top);; i = (i + 1) & mask) {
            slot& s = slots_[i];
            if (s.row == vacant) {
                s = slot{top, row};
                ++size_;
                return {&s.row, true};
            }
            if (s.top == top && holds(std::size_t(s.row))) return {&s.row, false};
        }
    }

    // The row of the key hashed to `hash`, or nullptr when no row holds it.
    template <class Holds>
    [[nodiscard]] const row_type* find(std::uint64_t hash, Holds&& holds) const {
        if (slots_.empty()) return nullptr;
        const std::size_t mask = slots_.size() - 1;
        const auto top = static_cast<std::uint32_t>(hash >> 32);
        for (std::size_t i = home(top);; i = (i + 1) & mask) {
            const slot& s = slots_[i];
            if (s.row == vacant) return nullptr;
            if (s.top == top && holds(std::size_t(s.row))) return &s.row;
        }
    }

    [[nodiscard]] std::size_t size() const { return size_; }

    // `n` as a row number; std::bad_alloc when a table has grown past what the index can number
    // (billions of rows, beyond any memory that could hold them).
    static row_type row_of(std::size_t n) {
        if (n >= vacant) throw std::bad_alloc();
        return static_cast<row_type>(n);
    }

  private:
    static constexpr row_type vacant = std::numeric_limits<row_type>::max();

    struct slot {
        std::uint32_t top = 0;
        row_type row = vacant;
    };

    // At most three quarters full, so that a probe sequence stays short; at most 2^32 slots,
    // so that the kept bits choose every slot.
    static std::size_t capacity_for(std::size_t count) {
        return std::bit_ceil(std::max<std::size_t>(16, count + count / 3 + 1));
    }

    [[nodiscard]] std::size_t home(std::uint32_t top) const {
        return static_cast<std::size_t>(top >> shift_);
    }

    void allocate(std::size_t capacity) {
        std::vector<slot> old = std::exchange(slots_, std::vector<slot>(capacity));
        shift_ = 32 - static_cast<unsigned>(std::countr_zero(capacity));
        const std::size_t mask = capacity - 1;
        for (const slot& s : old) {
            if (s.row == vacant) continue;
            std::size_t i = home(s.top);
            while (slots_[i].row != vacant)
                i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<slot> slots_;
    std::size_t size_ = 0;
    unsigned shift_ = 32;
};

}  // namespace kestro
