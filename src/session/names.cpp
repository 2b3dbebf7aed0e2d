// Identifiers as text and names from paths.
#include "session/names.hpp"

#include <variant>

#include "types/utf8.hpp"

namespace kestro {

std::optional<uuid> parse_canonical_uuid(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    auto parsed = uuid::parse(text);
    if (!parsed || parsed.value().to_string() != text) return std::nullopt;
    return parsed.value();
}

std::optional<std::string_view> final_path_component(std::string_view path) {
    std::optional<std::string_view> last;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t next = path.find('/', pos);
        if (next == std::string_view::npos) next = path.size();
        std::string_view part = path.substr(pos, next - pos);
        if (!part.empty() && part != ".") last = part;
        pos = next + 1;
    }
    if (!last || *last == "..") return std::nullopt;
    return last;
}

std::string final_component_name(std::string_view path) {
    auto name = final_path_component(path);
    if (!name || !is_valid_utf8(*name)) return "unknown";
    return std::string(*name);
}

}  // namespace kestro
