// Finding a member's key among a record's known keys: a 64-slot table filled at compile time.
//
// Internal to parser/. The slot of a key comes from its length and its first and last bytes,
// and one comparison confirms it: cheaper than comparing against every key of a record, which
// most members of a line would otherwise do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kestro::detail {

constexpr std::size_t key_slot(std::string_view key) {
    return (key.size() * 21 + static_cast<unsigned char>(key.front()) +
            static_cast<unsigned char>(key.back()) * 3) &
           63;
}

// For each slot, one more than the index of the key that lands there, or 0.
using key_index = std::array<std::uint8_t, 64>;

template <std::size_t N>
constexpr key_index index_keys(const std::array<std::string_view, N>& keys) {
    key_index index{};
    for (std::size_t i = 0; i < N; ++i) {
        index[key_slot(keys[i])] = static_cast<std::uint8_t>(i + 1);
    }
    return index;
}

// Whether the keys are in ascending byte order (the order members are mapped in).
template <std::size_t N>
constexpr bool ascending(const std::array<std::string_view, N>& keys) {
    for (std::size_t i = 1; i < N; ++i) {
        if (!(keys[i - 1] < keys[i])) return false;
    }
    return true;
}

// Whether no two keys share a slot; every table is checked with it at compile time.
template <std::size_t N>
constexpr bool slots_distinct(const std::array<std::string_view, N>& keys) {
    const key_index index = index_keys(keys);
    for (std::size_t i = 0; i < N; ++i) {
        if (index[key_slot(keys[i])] != i + 1) return false;
    }
    return true;
}

namespace key_bytes {

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Whether n (at least 1) bytes agree. Keys are a few bytes long: word compares, the last word
// overlapping the one before, cost less than a call or a byte loop.
inline bool same(const char* a, const char* b, std::size_t n) {
    if (n >= 8) {
        for (std::size_t i = 0; i + 8 < n; i += 8) {
            if (load<std::uint64_t>(a + i) != load<std::uint64_t>(b + i)) return false;
        }
        return load<std::uint64_t>(a + n - 8) == load<std::uint64_t>(b + n - 8);
    }
    if (n >= 4) {
        return load<std::uint32_t>(a) == load<std::uint32_t>(b) &&
               load<std::uint32_t>(a + n - 4) == load<std::uint32_t>(b + n - 4);
    }
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

}  // namespace key_bytes

// The index of `key` among `keys`, or N.
template <std::size_t N>
std::size_t find_key(const std::array<std::string_view, N>& keys, const key_index& index,
                     std::string_view key) {
    if (key.empty()) return N;
    const std::size_t found = index[key_slot(key)];
    if (found == 0) return N;
    const std::string_view known = keys[found - 1];
    if (known.size() != key.size()) return N;
    return key_bytes::same(known.data(), key.data(), key.size()) ? found - 1 : N;
}

}  // namespace kestro::detail
