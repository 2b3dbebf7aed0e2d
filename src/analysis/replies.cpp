// Reply merging: streamed records of one reply repeat its usage, so counts are not summed.
#include "analysis/replies.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "types/flat_index.hpp"

namespace kestro {

namespace {

// The ids point into the messages, which outlive the index. A missing request id differs from
// an empty one.
struct reply_key {
    std::string_view message_id;
    std::string_view request_id;
    bool has_request_id = false;
    friend bool operator==(const reply_key&, const reply_key&) = default;
};

struct reply_key_hash {
    std::size_t operator()(const reply_key& k) const noexcept {
        // A message id has one request id but in rare logs: equality tells those apart.
        return text_hasher{}(k.message_id);
    }
};

void raise_to(std::uint64_t& to, const std::optional<std::uint64_t>& value) {
    if (value) to = std::max(to, *value);
}

void add_record(transcript_reply& reply, const transcript_message& m, std::uint32_t index) {
    const usage_counts& u = *m.usage;
    if (reply.messages.empty() || m.timestamp < reply.timestamp) reply.timestamp = m.timestamp;
    reply.messages.push_back(index);
    raise_to(reply.input_tokens, u.input_tokens);
    raise_to(reply.output_tokens, u.output_tokens);
    raise_to(reply.cache_creation_input_tokens, u.cache_creation_input_tokens);
    raise_to(reply.cache_read_input_tokens, u.cache_read_input_tokens);
    raise_to(reply.ephemeral_5m_input_tokens, u.ephemeral_5m_input_tokens);
    raise_to(reply.ephemeral_1h_input_tokens, u.ephemeral_1h_input_tokens);
    if (m.model) reply.model = m.model;
    if (m.stop_reason) reply.stop_reason = m.stop_reason;
    if (m.cost_usd && (!reply.cost_usd || *m.cost_usd > *reply.cost_usd)) {
        reply.cost_usd = m.cost_usd;
    }
}

}  // namespace

std::vector<transcript_reply> merge_replies(const std::vector<transcript_message>& messages) {
    std::vector<transcript_reply> replies;
    flat_index<reply_key, reply_key_hash> by_key(messages.size());
    for (std::uint32_t i = 0; i < messages.size(); ++i) {
        const transcript_message& m = messages[i];
        if (m.role != role::assistant || !m.usage) continue;
        std::size_t at = replies.size();
        if (m.message_id) {
            const reply_key key{*m.message_id, m.request_id ? *m.request_id : std::string_view(),
                                m.request_id.has_value()};
            at = *by_key.try_emplace(key, at).first;
        }
        if (at == replies.size()) {
            transcript_reply& reply = replies.emplace_back();
            reply.message_id = m.message_id;
            reply.request_id = m.request_id;
        }
        add_record(replies[at], m, i);
    }
    return replies;
}

}  // namespace kestro
