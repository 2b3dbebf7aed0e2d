// Content blocks of a message: text, thinking, tool use, tool result, image.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "types/packed_json.hpp"

namespace kestro {

struct content_block;

struct text_block {
    std::string text;
};

struct thinking_block {
    std::string thinking;
    std::string signature;
};

struct tool_use_block {
    std::string id;
    std::string name;
    packed_json input;
};

// A tool result's content: a plain string, or nested blocks (which may hold tool results again).
struct tool_result_content {
    std::variant<std::string, std::vector<content_block>> value;
};

struct tool_result_block {
    std::string tool_use_id;
    std::optional<tool_result_content> content;
    std::optional<bool> is_error;
};

struct image_source {
    std::string type;
    std::string media_type;
    std::string data;
};

struct image_block {
    image_source source;
};

// Alternatives in the order of the log's type names: text, thinking, tool_use, tool_result, image.
struct content_block {
    std::variant<text_block, thinking_block, tool_use_block, tool_result_block, image_block> value;
};

// The text form of a tool result's content: the string itself, or the text of every text
// block joined with "\n" (other blocks contribute nothing).
std::string tool_result_text(const tool_result_content& content);

// The texts of the text blocks among `blocks` joined with "\n"; "" without any.
std::string join_text_blocks(std::span<const content_block> blocks);

}  // namespace kestro
