// The character classes of JSON text that both readers test.
//
// Internal to parser/.
#pragma once

namespace kestro::detail {

inline bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_json_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace kestro::detail
