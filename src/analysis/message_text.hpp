// What a message says: its text and the tools it calls.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "types/message.hpp"

namespace kestro {

// The texts of the message's text blocks joined with "\n"; "" without any.
std::string message_text(const message_payload& message);

// The names of the message's tool-use blocks in block order, duplicates kept. The views point
// into `message`.
std::vector<std::string_view> message_tools(const message_payload& message);

// Whether some tool-use block of the message names `tool_name` exactly.
bool message_uses_tool(const message_payload& message, std::string_view tool_name);

}  // namespace kestro
