// Strict UTF-8 validity of byte strings that are not JSON (paths, file names).
#pragma once

#include <string_view>

namespace kestro {

// No overlong forms, no surrogates, nothing above U+10FFFF. O(n).
bool is_valid_utf8(std::string_view bytes);

}  // namespace kestro
