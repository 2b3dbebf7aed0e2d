// Construction of sorted JSON objects.
#include "types/json_value.hpp"

#include <algorithm>
#include <string_view>

#include "types/sorted_keys.hpp"

namespace kestro {

json_value json_value::make_object(object members) {
    // Most objects arrive with their keys already in order and unique; they need no sort.
    auto out_of_order =
        std::adjacent_find(members.begin(), members.end(),
                           [](const auto& a, const auto& b) { return !(a.first < b.first); });
    if (out_of_order == members.end()) {
        return json_value(storage(std::in_place_type<object>, std::move(members)));
    }
    const auto key = [](const object::value_type& m) { return std::string_view(m.first); };
    members.erase(sort_unique_by_key(members.begin(), members.end(), key), members.end());
    return json_value(storage(std::in_place_type<object>, std::move(members)));
}

}  // namespace kestro
