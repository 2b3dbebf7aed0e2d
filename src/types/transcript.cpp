// Lookups inside packed values, for readers of the complete reader's raw records.
#include "types/transcript.hpp"

#include <array>
#include <variant>

#include "types/uuid.hpp"

namespace kestro {

namespace {

constexpr std::array<bool, 256> lower_hex_table() {
    std::array<bool, 256> table{};
    for (char c : std::string_view("0123456789abcdef"))
        table[static_cast<unsigned char>(c)] = true;
    return table;
}
constexpr std::array<bool, 256> lower_hex = lower_hex_table();

// Lower-case hex in groups 8-4-4-4-12: the form logs write, kept as it is without parsing.
bool is_canonical(std::string_view text) {
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
        text[23] != '-') {
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; i < 36; ++i) {
        ok &= lower_hex[static_cast<unsigned char>(text[i])] || i == 8 || i == 13 || i == 18 ||
              i == 23;
    }
    return ok;
}

}  // namespace

std::optional<std::uint32_t> find_record(const transcript& t, std::string_view uuid) {
    const row_index::row_type* at = t.by_uuid.find(
        text_hasher{}(uuid), [&](std::size_t row) { return t.records[row].uuid == uuid; });
    if (at == nullptr) return std::nullopt;
    return *at;
}

std::string canonical_id(std::string_view text) {
    if (is_canonical(text)) return std::string(text);
    auto parsed = uuid::parse(text);
    if (parsed) return parsed.value().to_string();
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
