// Construction of sorted JSON objects.
#include "types/json_value.hpp"

#include <algorithm>

namespace kestro {

json_value json_value::make_object(object members) {
    // Most objects arrive with their keys already in order and unique; they need no sort.
    auto out_of_order =
        std::adjacent_find(members.begin(), members.end(),
                           [](const auto& a, const auto& b) { return !(a.first < b.first); });
    if (out_of_order == members.end()) {
        return json_value(storage(std::in_place_type<object>, std::move(members)));
    }
    std::stable_sort(members.begin(), members.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // After a stable sort equal keys keep their input order, so the last of each run wins.
    object unique;
    unique.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
        unique.push_back(std::move(members[i]));
    }
    return json_value(storage(std::in_place_type<object>, std::move(unique)));
}

}  // namespace kestro
