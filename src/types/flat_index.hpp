// A flat open-addressing table from keys to record-sized indices, for the passes that link records.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "types/keyed_hash.hpp"
#include "types/uuid.hpp"

namespace kestro {

// Maps keys to std::size_t values with linear probing in one array: the passes after parsing
// insert one key per record, and a node per key was most of their cost. Keys are copied in, so a
// std::string_view key must outlive the table. Values must not be SIZE_MAX. The table grows by
// doubling; sized from the expected count it never does. Lookups and inserts are O(1) expected
// when Hash spreads the keys it is given: the keys come from files, so the hashes below are keyed
// per process and a file cannot choose keys that pile up on one slot.
template <class Key, class Hash>
class flat_index {
  public:
    flat_index() = default;
    // Room for `expected` keys without growing.
    explicit flat_index(std::size_t expected) { allocate(capacity_for(expected)); }

    // The value of `key` and true when it was absent and now maps to `value`; the value of the
    // present entry and false otherwise. The pointer is valid until the next insertion.
    std::pair<std::size_t*, bool> try_emplace(const Key& key, std::size_t value) {
        if ((size_ + 1) * 4 > slots_.size() * 3) allocate(capacity_for(size_ + 1));
        slot& s = slots_[locate(key)];
        if (s.value != vacant) return {&s.value, false};
        s.key = key;
        s.value = value;
        ++size_;
        return {&s.value, true};
    }

    // The value of `key`, or nullptr when it is absent.
    [[nodiscard]] const std::size_t* find(const Key& key) const {
        if (slots_.empty()) return nullptr;
        const slot& s = slots_[locate(key)];
        return s.value != vacant ? &s.value : nullptr;
    }

    // Removes `key` and returns its value, or none when it is absent. Later keys of its probe
    // sequence move back, so the table stays as small as its live keys: a table whose keys come
    // and go (pending tool uses) fits in a few cache lines.
    std::optional<std::size_t> take(const Key& key) {
        if (slots_.empty()) return std::nullopt;
        std::size_t hole = locate(key);
        if (slots_[hole].value == vacant) return std::nullopt;
        const std::size_t value = slots_[hole].value;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = (hole + 1) & mask; slots_[i].value != vacant; i = (i + 1) & mask) {
            // An entry may fill the hole only if its home is not cyclically in (hole, i].
            const std::size_t h = home(slots_[i].key);
            if (((i - h) & mask) >= ((i - hole) & mask)) {
                slots_[hole] = std::move(slots_[i]);
                hole = i;
            }
        }
        slots_[hole].value = vacant;
        --size_;
        return value;
    }

    // How many slots past its home each key sits, summed over the keys: the extra probes that
    // finding every key once costs. Linear in the keys when the hash spreads them, quadratic
    // when they share a home. O(capacity); for tests and diagnostics.
    [[nodiscard]] std::size_t displacement() const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t total = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].value != vacant) total += (i - home(slots_[i].key)) & mask;
        }
        return total;
    }

    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] bool empty() const { return size_ == 0; }

  private:
    static constexpr std::size_t vacant = std::numeric_limits<std::size_t>::max();

    struct slot {
        Key key{};
        std::size_t value = vacant;
    };

    // At most three quarters full, so that a probe sequence stays short.
    static std::size_t capacity_for(std::size_t count) {
        return std::bit_ceil(std::max<std::size_t>(16, count + count / 3 + 1));
    }

    // The top bits of a 64-bit hash: a keyed hash mixes every input bit into all of them.
    [[nodiscard]] std::size_t home(const Key& key) const {
        return static_cast<std::size_t>(std::uint64_t(Hash{}(key)) >> shift_);
    }

    // The slot holding `key`, or the vacant slot where it would go; the table is never full.
    [[nodiscard]] std::size_t locate(const Key& key) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = home(key);; i = (i + 1) & mask) {
            const slot& s = slots_[i];
            if (s.value == vacant || s.key == key) return i;
        }
    }

    void allocate(std::size_t capacity) {
        std::vector<slot> old = std::exchange(slots_, std::vector<slot>(capacity));
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        for (slot& s : old) {
            if (s.value != vacant) slots_[locate(s.key)] = std::move(s);
        }
    }

    std::vector<slot> slots_;
    std::size_t size_ = 0;
    unsigned shift_ = 63;
};

// Record identifiers.
using uuid_index = flat_index<uuid, uuid_hash>;
// Texts viewed in the records, such as tool-use ids and tool names.
using text_index = flat_index<std::string_view, text_hash>;

}  // namespace kestro
