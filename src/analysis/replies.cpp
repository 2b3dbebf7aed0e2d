// Reply merging: streamed records of one reply repeat its usage, so counts are not summed.
#include "analysis/replies.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

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

bool holds_key(const std::optional<std::string>& message_id,
               const std::optional<std::string>& request_id, const reply_key& key) {
    return message_id && *message_id == key.message_id &&
           request_id.has_value() == key.has_request_id &&
           (!key.has_request_id || *request_id == key.request_id);
}

void reply_merger::add(const transcript_message& m, std::uint32_t index) {
    if (m.role != role::assistant || !m.usage) return;
    std::size_t at = replies_.size();
    if (auto key = key_of(m.message_id, m.request_id)) {
        auto holds = [&](std::size_t row) {
            return holds_key(replies_[row].message_id, replies_[row].request_id, *key);
        };
        // A streamed reply's records come one after another: most are the reply last used.
        if (last_ < replies_.size() && holds(last_)) {
            at = last_;
        } else {
            at = *by_key_.try_emplace(reply_key_hash{}(*key), row_index::row_of(at), holds).first;
        }
    }
    last_ = at;
    const bool first = at == replies_.size();
    if (first) {
        transcript_reply& reply = replies_.emplace_back();
        reply.message_id = m.message_id;
        reply.request_id = m.request_id;
    }
    transcript_reply& reply = replies_[at];
    add_to_reply(reply, *m.usage, m.timestamp, m.cost_usd, first);
    reply.messages.push_back(index);
    if (m.model && reply.model != m.model) reply.model = m.model;
    if (m.stop_reason) reply.stop_reason = m.stop_reason;
}

std::vector<transcript_reply> merge_replies(const std::vector<transcript_message>& messages) {
    reply_merger merger(messages.size());
    for (std::uint32_t i = 0; i < messages.size(); ++i)
        merger.add(messages[i], i);
    return std::move(merger).finish();
}

}  // namespace kestro
