// Pairing tool uses with their results in one pass over the records.
#include "analysis/tool_executions.hpp"

#include <optional>
#include <string_view>
#include <variant>

namespace kestro {

std::vector<tool_execution> pair_tool_executions(std::span<const message_record> records) {
    tool_pairing pairing;
    for (const message_record& m : records)
        pairing.add(m);
    return std::move(pairing).finish();
}

void tool_pairing::add(const message_record& m) {
    // Only the message's own blocks take part: tool results nested inside a result's content
    // are output text, not answers of their own.
    for (const content_block& b : m.message.content) {
        if (const auto* use = std::get_if<tool_use_block>(&b.value)) {
            const pending_use opened{use->name, &use->input, m.timestamp};
            auto [slot, inserted] = pending_by_id_.try_emplace(use->id, pending_.size());
            if (!inserted) *slot = pending_.size();  // a repeated id replaces its pending use
            pending_.push_back(opened);
            continue;
        }
        const auto* res = std::get_if<tool_result_block>(&b.value);
        if (!res) continue;
        const std::optional<std::size_t> slot = pending_by_id_.take(res->tool_use_id);
        if (!slot) continue;
        const pending_use use = pending_[*slot];

        const std::int64_t ms = (m.timestamp - use.time).whole_milliseconds();
        tool_execution e;
        e.tool_name = use.name;
        e.input = use.input;
        e.output.tool_use_id = res->tool_use_id;
        if (res->content) e.output.source = &*res->content;
        e.output.is_error = res->is_error.value_or(false);
        e.duration_ms = ms > 0 ? static_cast<std::uint64_t>(ms) : 0;
        e.timestamp = m.timestamp;
        executions_.push_back(std::move(e));
    }
}

}  // namespace kestro
