// Ordering an object's members by key, as every JSON value of the core holds them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

namespace kestro {

// Sorts [first, last) by key bytes, stably, and keeps the last member of each run of equal
// keys (the one a reader keeps when a key repeats); returns the new end. Short ranges sort by
// insertion: stable too, and nothing to allocate. `key` gives a member's key as a string_view.
template <class It, class Key>
It sort_unique_by_key(It first, It last, Key key) {
    constexpr std::ptrdiff_t short_range = 16;
    if (std::distance(first, last) <= short_range) {
        for (It it = first; it != last; ++it) {
            auto member = std::move(*it);
            It hole = it;
            for (; hole != first && key(member) < key(*std::prev(hole)); --hole) {
                *hole = std::move(*std::prev(hole));
            }
            *hole = std::move(member);
        }
    } else {
        std::stable_sort(first, last,
                         [&](const auto& a, const auto& b) { return key(a) < key(b); });
    }
    It kept = first;
    for (It it = first; it != last; ++it) {
        if (std::next(it) != last && key(*std::next(it)) == key(*it)) continue;
        if (kept != it) *kept = std::move(*it);
        ++kept;
    }
    return kept;
}

}  // namespace kestro
