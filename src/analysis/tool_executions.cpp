// Pairing tool uses with their results in one pass over the records.
#include "analysis/tool_executions.hpp"

#include <optional>
#include <string_view>
#include <variant>

#include "types/flat_index.hpp"

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
    // Keys and names are views into the records, which outlive the pairing. Uses are answered
    // soon, so few are pending at a time and the table stays small; `pending` keeps every use
    // in file order, and its recent end, which the table points into, stays in cache.
    text_index pending_by_id;
    std::vector<detail::pending_use> pending;
    std::vector<tool_execution> executions;

    // Only the message's own blocks take part: tool results nested inside a result's content
    // are output text, not answers of their own.
    for (const message_record& m : records) {
        for (const content_block& b : m.message.content) {
            if (const auto* use = std::get_if<tool_use_block>(&b.value)) {
                const detail::pending_use opened{use->name, &use->input, m.timestamp};
                auto [slot, inserted] = pending_by_id.try_emplace(use->id, pending.size());
                if (!inserted) *slot = pending.size();  // a repeated id replaces its pending use
                pending.push_back(opened);
                continue;
            }
            const auto* res = std::get_if<tool_result_block>(&b.value);
            if (!res) continue;
            const std::optional<std::size_t> slot = pending_by_id.take(res->tool_use_id);
            if (!slot) continue;
            const detail::pending_use use = pending[*slot];

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
