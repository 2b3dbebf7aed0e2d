// Reply merging: streamed records of one reply repeat its usage, so counts are not summed.
#include "analysis/replies.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "types/flat_index.hpp"

namespace kestro {

namespace {

void raise_to(std::uint64_t& to, const std::optional<std::uint64_t>& value) {
    if (value) to = std::max(to, *value);
}

void raise_cost(std::optional<double>& to, const std::optional<double>& value) {
    if (value && (!to || *value > *to)) to = value;
}

}  // namespace

std::optional<reply_key> key_of(const std::optional<std::string_view>& message_id,
                                const std::optional<std::string_view>& request_id) {
    if (!message_id) return std::nullopt;
    return reply_key{*message_id, request_id.value_or(std::string_view()), request_id.has_value()};
}

void add_to_reply(reply_figures& reply, const usage_counts& u, const date_time& timestamp,
                  const std::optional<double>& cost_usd, bool first) {
    if (first || timestamp < reply.timestamp) reply.timestamp = timestamp;
    raise_to(reply.input_tokens, u.input_tokens);
    raise_to(reply.output_tokens, u.output_tokens);
    raise_to(reply.cache_creation_input_tokens, u.cache_creation_input_tokens);
    raise_to(reply.cache_read_input_tokens, u.cache_read_input_tokens);
    raise_to(reply.ephemeral_5m_input_tokens, u.ephemeral_5m_input_tokens);
    raise_to(reply.ephemeral_1h_input_tokens, u.ephemeral_1h_input_tokens);
    raise_cost(reply.cost_usd, cost_usd);
}

void merge_figures(reply_figures& kept, const reply_figures& again) {
    kept.timestamp = std::min(kept.timestamp, again.timestamp);
    kept.input_tokens = std::max(kept.input_tokens, again.input_tokens);
    kept.output_tokens = std::max(kept.output_tokens, again.output_tokens);
    kept.cache_creation_input_tokens =
        std::max(kept.cache_creation_input_tokens, again.cache_creation_input_tokens);
    kept.cache_read_input_tokens =
        std::max(kept.cache_read_input_tokens, again.cache_read_input_tokens);
    kept.ephemeral_5m_input_tokens =
        std::max(kept.ephemeral_5m_input_tokens, again.ephemeral_5m_input_tokens);
    kept.ephemeral_1h_input_tokens =
        std::max(kept.ephemeral_1h_input_tokens, again.ephemeral_1h_input_tokens);
    raise_cost(kept.cost_usd, again.cost_usd);
}

std::vector<transcript_reply> merge_replies(const std::vector<transcript_message>& messages) {
    std::vector<transcript_reply> replies;
    flat_index<reply_key, reply_key_hash> by_key(messages.size());
    for (std::uint32_t i = 0; i < messages.size(); ++i) {
        const transcript_message& m = messages[i];
        if (m.role != role::assistant || !m.usage) continue;
        std::size_t at = replies.size();
        if (auto key = key_of(m.message_id, m.request_id)) {
            at = *by_key.try_emplace(*key, at).first;
        }
        if (at == replies.size()) {
            transcript_reply& reply = replies.emplace_back();
            reply.message_id = m.message_id;
            reply.request_id = m.request_id;
        }
        transcript_reply& reply = replies[at];
        add_to_reply(reply, *m.usage, m.timestamp, m.cost_usd, reply.messages.empty());
        reply.messages.push_back(i);
        if (m.model) reply.model = m.model;
        if (m.stop_reason) reply.stop_reason = m.stop_reason;
    }
    return replies;
}

}  // namespace kestro
