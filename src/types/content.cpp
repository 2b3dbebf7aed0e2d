// The text form of a tool result's content.
#include "types/content.hpp"

namespace kestro {

std::string tool_result_text(const tool_result_content& content) {
    if (const auto* s = std::get_if<std::string>(&content.value)) return *s;
    return join_text_blocks(std::get<std::vector<content_block>>(content.value));
}

std::string join_text_blocks(std::span<const content_block> blocks) {
    std::string out;
    bool first = true;
    for (const auto& block : blocks) {
        if (const auto* t = std::get_if<text_block>(&block.value)) {
            if (!first) out += '\n';
            out += t->text;
            first = false;
        }
    }
    return out;
}

}  // namespace kestro
