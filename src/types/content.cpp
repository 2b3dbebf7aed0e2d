// The text form of a tool result's content.
#include "types/content.hpp"

namespace kestro {

std::string tool_result_text(const tool_result_content& content) {
    if (const auto* s = std::get_if<std::string>(&content.value)) return *s;
    std::string out;
    bool first = true;
    for (const auto& block : std::get<std::vector<content_block>>(content.value)) {
        if (const auto* t = std::get_if<text_block>(&block.value)) {
            if (!first) out += '\n';
            out += t->text;
            first = false;
        }
    }
    return out;
}

}  // namespace kestro
