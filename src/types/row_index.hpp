// Rows of a table found by a key the rows themselves hold: only the hash and the row's number
// are stored, so no key is copied and no stored key is read until its hash matches.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

namespace kestro {

// Linear probing over (hash, row) slots. The caller hashes the key (with a keyed hash: the keys
// come from files) and says, for a candidate row whose hash matches, whether that row holds the
// key. A table that grows rehashes from the stored hashes, never from the rows. Rows must not
// be SIZE_MAX.
class row_index {
  public:
    row_index() = default;
    // Room for `expected` keys without growing.
    explicit row_index(std::size_t expected) { allocate(capacity_for(expected)); }

    // The row of the key hashed to `hash` and false when some row holds it, as `holds(row)`
    // tells; otherwise `row` is recorded for it, and true. The pointer is valid until the next
    // insertion. O(1) expected.
    template <class Holds>
    std::pair<std::size_t*, bool> try_emplace(std::uint64_t hash, std::size_t row, Holds&& holds) {
        if ((size_ + 1) * 4 > slots_.size() * 3) allocate(capacity_for(size_ + 1));
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            slot& s = slots_[i];
            if (s.row == vacant) {
                s = slot{hash, row};
                ++size_;
                return {&s.row, true};
            }
            if (s.hash == hash && holds(s.row)) return {&s.row, false};
        }
    }

    // The row of the key hashed to `hash`, or nullptr when no row holds it.
    template <class Holds>
    [[nodiscard]] const std::size_t* find(std::uint64_t hash, Holds&& holds) const {
        if (slots_.empty()) return nullptr;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            const slot& s = slots_[i];
            if (s.row == vacant) return nullptr;
            if (s.hash == hash && holds(s.row)) return &s.row;
        }
    }

    [[nodiscard]] std::size_t size() const { return size_; }

  private:
    static constexpr std::size_t vacant = std::numeric_limits<std::size_t>::max();

    struct slot {
        std::uint64_t hash = 0;
        std::size_t row = vacant;
    };

    // At most three quarters full, so that a probe sequence stays short.
    static std::size_t capacity_for(std::size_t count) {
        return std::bit_ceil(std::max<std::size_t>(16, count + count / 3 + 1));
    }

    // The top bits: a keyed hash mixes every input bit into all of them.
    [[nodiscard]] std::size_t home(std::uint64_t hash) const {
        return static_cast<std::size_t>(hash >> shift_);
    }

    void allocate(std::size_t capacity) {
        std::vector<slot> old = std::exchange(slots_, std::vector<slot>(capacity));
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        const std::size_t mask = capacity - 1;
        for (const slot& s : old) {
            if (s.row == vacant) continue;
            std::size_t i = home(s.hash);
            while (slots_[i].row != vacant)
                i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<slot> slots_;
    std::size_t size_ = 0;
    unsigned shift_ = 64;
};

}  // namespace kestro
