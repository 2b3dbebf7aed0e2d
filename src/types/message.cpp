// Texts of the record enumerations.
#include "types/message.hpp"

namespace kestro {

std::string_view to_json_text(user_type v) {
    return v == user_type::external ? "external" : "internal";
}
std::string_view to_json_text(message_type v) {
    return v == message_type::user ? "user" : "assistant";
}
std::string_view to_json_text(role v) {
    return v == role::user ? "user" : "assistant";
}
std::string_view debug_text(role v) {
    return v == role::user ? "User" : "Assistant";
}

std::string_view to_json_text(stop_reason v) {
    switch (v) {
        case stop_reason::end_turn:
            return "end_turn";
        case stop_reason::max_tokens:
            return "max_tokens";
        case stop_reason::stop_sequence:
            return "stop_sequence";
        case stop_reason::tool_use:
            return "tool_use";
        case stop_reason::error:
            return "error";
    }
    return {};
}

}  // namespace kestro
