// Picking the members a mapping reads out of a JSON object, by key, in one pass.
//
// Internal to parser/: used with the JSON views.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/json_view.hpp"
#include "parser/key_table.hpp"

namespace kestro::detail {

// For each key length below 32, the keys of that length as a bit set: a member is compared
// only with the keys as long as it, most members with none.
template <std::size_t N>
constexpr std::array<std::uint32_t, 32> keys_by_length(
    const std::array<std::string_view, N>& keys) {
    static_assert(N <= 32);
    std::array<std::uint32_t, 32> sets{};
    for (std::size_t i = 0; i < N; ++i)
        sets[keys[i].size()] |= std::uint32_t{1} << i;
    return sets;
}

template <std::size_t N>
std::size_t find_key(const std::array<std::string_view, N>& keys,
                     const std::array<std::uint32_t, 32>& by_length, std::string_view key) {
    if (key.size() >= by_length.size()) return N;
    for (std::uint32_t set = by_length[key.size()]; set != 0; set &= set - 1) {
        const auto i = static_cast<std::size_t>(std::countr_zero(set));
        if (key.empty() || key_bytes::same(keys[i].data(), key.data(), key.size())) return i;
    }
    return N;
}

// The members of an object that the mapping reads, by key; the last of repeated keys wins.
template <class V, std::size_t N>
struct members {
    std::array<V, N> value{};
    std::array<bool, N> present{};

    members(V object, const std::array<std::string_view, N>& keys,
            const std::array<std::uint32_t, 32>& by_length) {
        object.for_each_member([&](std::string_view key, V v) {
            std::size_t i = find_key(keys, by_length, key);
            if (i < N) {
                value[i] = v;
                present[i] = true;
            }
        });
    }
    [[nodiscard]] bool has(std::size_t i) const {
        return present[i] && value[i].kind() != json_kind::null;
    }
};

}  // namespace kestro::detail
