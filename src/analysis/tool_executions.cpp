// Pairing tool uses with their results in one pass over the records.
#include "analysis/tool_executions.hpp"

#include <string_view>
#include <unordered_map>
#include <variant>

namespace kestro {

namespace detail {
namespace {

struct pending_use {
    std::string_view name;
    const packed_json* input;
    date_time time;
};

}  // namespace
}  // namespace detail

std::vector<tool_execution> pair_tool_executions(std::span<const message_record> records) {
    // Keys and names are views into the records, which outlive the pairing.
    std::unordered_map<std::string_view, detail::pending_use> pending;
    std::vector<tool_execution> executions;

    // Only the message's own blocks take part: tool results nested inside a result's content
    // are output text, not answers of their own.
    for (const message_record& m : records) {
        for (const content_block& b : m.message.content) {
            if (const auto* use = std::get_if<tool_use_block>(&b.value)) {
                pending.insert_or_assign(use->id,
                                         detail::pending_use{use->name, &use->input, m.timestamp});
                continue;
            }
            const auto* res = std::get_if<tool_result_block>(&b.value);
            if (!res) continue;
            auto it = pending.find(res->tool_use_id);
            if (it == pending.end()) continue;
            const detail::pending_use use = it->second;
            pending.erase(it);

            const std::int64_t ms = (m.timestamp - use.time).whole_milliseconds();
            tool_execution e;
            e.tool_name = use.name;
            e.input = use.input;
            e.output.tool_use_id = res->tool_use_id;
            if (res->content) e.output.source = &*res->content;
            e.output.is_error = res->is_error.value_or(false);
            e.duration_ms = ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
            e.timestamp = m.timestamp;
            executions.push_back(std::move(e));
        }
    }
    return executions;
}

}  // namespace kestro
