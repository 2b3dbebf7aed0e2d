// How sessions and projects are named from outside: identifiers as text, names from paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "types/uuid.hpp"

namespace kestro {

// The identifier if `text` is exactly its 36-character lower-case hyphenated form. Python
// callers compare identifiers as that text, so other spellings must match nothing.
std::optional<uuid> parse_canonical_uuid(std::string_view text);

// The last normal component of a '/'-separated path: trailing separators and "." components
// are ignored; none for an empty path, the root, or a path ending in "..".
std::optional<std::string_view> final_path_component(std::string_view path);

// final_path_component as text, or "unknown" when there is none or it is not UTF-8.
std::string final_component_name(std::string_view path);

}  // namespace kestro
