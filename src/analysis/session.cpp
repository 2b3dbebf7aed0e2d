// Building a loaded session and the small queries its Python face needs.
#include "analysis/session.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <variant>

namespace kestro {

std::shared_ptr<const session> build_session(parsed_session&& parsed) {
    auto s = std::make_shared<session>();
    s->parsed = std::move(parsed);
    // The executions point into the records' content blocks, which the move leaves in place.
    if (s->parsed.tool_executions) {
        s->tool_executions = std::move(*s->parsed.tool_executions);
        s->parsed.tool_executions.reset();
    } else {
        s->tool_executions = pair_tool_executions(s->parsed.messages);
    }
    s->tree_stats = compute_stats(s->parsed.conversation_tree);
    // The parser's tree was built from these records, and its index is the one threads need.
    auto& identifiers = s->parsed.conversation_tree.identifiers;
    if (identifiers.number.empty() && !s->parsed.messages.empty()) {
        identifiers = identifier_index::of(s->parsed.messages);
    }
    return s;
}

std::string message_text(const message_payload& message) {
    std::string text;
    bool first = true;
    for (const auto& block : message.content) {
        if (const auto* t = std::get_if<text_block>(&block.value)) {
            if (!first) text += '\n';
            text += t->text;
            first = false;
        }
    }
    return text;
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

std::vector<std::size_t> thread_indices(const session& s, const uuid& target) {
    std::vector<std::size_t> thread;
    std::unordered_set<std::size_t> seen;
    const auto& records = s.parsed.messages;
    const auto& identifiers = s.parsed.conversation_tree.identifiers;
    uuid current = target;
    for (;;) {
        const std::optional<std::size_t> last = identifiers.last_record_of(current);
        if (!last) break;
        if (!seen.insert(*last).second) break;
        thread.push_back(*last);
        const auto& parent = records[*last].parent_uuid;
        if (!parent) break;
        current = *parent;
    }
    std::reverse(thread.begin(), thread.end());
    return thread;
}

std::optional<uuid> parse_canonical_uuid(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    auto parsed = uuid::parse(text);
    const auto* id = std::get_if<uuid>(&parsed);
    if (id == nullptr || id->to_string() != text) return std::nullopt;
    return *id;
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
