// Lookups inside packed values, for readers of the complete reader's raw records.
#include "types/transcript.hpp"

#include <variant>

#include "types/uuid.hpp"

namespace kestro {

std::string canonical_id(std::string_view text) {
    auto parsed = uuid::parse(text);
    if (const auto* u = std::get_if<uuid>(&parsed)) return u->to_string();
    return std::string(text);
}

std::optional<packed_json::view> find_member(packed_json::view object, std::string_view key) {
    if (object.kind() != packed_json::kind::object) return std::nullopt;
    packed_json::view k = object.first_child();
    for (std::size_t i = 0; i < object.size(); ++i) {
        packed_json::view value = k.next_sibling();
        if (k.string() == key) return value;
        k = value.next_sibling();
    }
    return std::nullopt;
}

std::optional<packed_json::view> find_path(packed_json::view root,
                                           std::initializer_list<std::string_view> keys) {
    std::optional<packed_json::view> at = root;
    for (std::string_view key : keys) {
        at = find_member(*at, key);
        if (!at) break;
    }
    return at;
}

std::optional<std::string_view> find_text(packed_json::view root,
                                          std::initializer_list<std::string_view> keys) {
    auto at = find_path(root, keys);
    if (!at || at->kind() != packed_json::kind::string) return std::nullopt;
    return at->string();
}

}  // namespace kestro
