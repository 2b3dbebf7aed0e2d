// A message's text and the tools it calls.
#include "analysis/message_text.hpp"

#include <algorithm>
#include <variant>

namespace kestro {

std::string message_text(const message_payload& message) {
    return join_text_blocks(message.content);
}

std::vector<std::string_view> message_tools(const message_payload& message) {
    std::vector<std::string_view> names;
    for (const auto& block : message.content) {
        if (const auto* u = std::get_if<tool_use_block>(&block.value)) names.push_back(u->name);
    }
    return names;
}

bool message_uses_tool(const message_payload& message, std::string_view tool_name) {
    return std::any_of(message.content.begin(), message.content.end(), [&](const auto& block) {
        const auto* u = std::get_if<tool_use_block>(&block.value);
        return u != nullptr && u->name == tool_name;
    });
}

}  // namespace kestro
