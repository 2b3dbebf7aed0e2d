// Session metadata: one pass over the records in file order.
#include "analysis/metadata.hpp"

#include <limits>
#include <string_view>
#include <utility>

#include "types/flat_index.hpp"

namespace kestro {

namespace detail {
namespace {

void add_saturating(std::uint32_t& sum, std::uint32_t value) {
    constexpr std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
    sum = value > max - sum ? max : sum + value;
}

void add_saturating(std::uint64_t& sum, std::uint64_t value) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    sum = value > max - sum ? max : sum + value;
}

}  // namespace
}  // namespace detail

session_metadata compute_metadata(std::span<const message_record> records, std::string file_path) {
    metadata_accumulator acc;
    for (const message_record& m : records)
        acc.add(m);
    return std::move(acc).finish(std::move(file_path));
}

void metadata_accumulator::add(const message_record& m) {
    session_metadata& md = md_;
    ++md.total_messages;
    if (m.message_type == message_type::user) {
        ++md.user_messages;
    } else {
        ++md.assistant_messages;
    }
    if (m.cost_usd) md.total_cost_usd += *m.cost_usd;

    if (const auto& u = m.message.usage) {
        detail::add_saturating(md.total_input_tokens, u->input_tokens);
        detail::add_saturating(md.total_output_tokens, u->output_tokens);
        if (u->cache_creation_input_tokens) {
            detail::add_saturating(md.cache_creation_tokens, *u->cache_creation_input_tokens);
        }
        if (u->cache_read_input_tokens) {
            detail::add_saturating(md.cache_read_tokens, *u->cache_read_input_tokens);
        }
    }

    if (m.duration_ms) {
        detail::add_saturating(md.total_duration_ms, *m.duration_ms);
        if (m.message_type == message_type::assistant) {
            response_sum_ += *m.duration_ms;
            ++response_count_;
        }
    }

    for (const content_block& b : m.message.content) {
        const auto* use = std::get_if<tool_use_block>(&b.value);
        if (!use) continue;
        ++md.total_tool_calls;
        auto [at, inserted] = tool_position_.try_emplace(use->name, md.tool_usage_count.size());
        if (inserted) {
            md.unique_tools_used.push_back(use->name);
            md.tool_usage_count.emplace_back(use->name, 0);
        }
        ++md.tool_usage_count[*at].second;
    }

    if (!md.first_message_timestamp || m.timestamp < *md.first_message_timestamp) {
        md.first_message_timestamp = m.timestamp;
    }
    if (!md.last_message_timestamp || m.timestamp > *md.last_message_timestamp) {
        md.last_message_timestamp = m.timestamp;
    }
}

session_metadata metadata_accumulator::finish(std::string file_path) && {
    session_metadata md = std::move(md_);
    md.session_file_path = std::move(file_path);
    if (md.first_message_timestamp) {
        md.session_duration = *md.last_message_timestamp - *md.first_message_timestamp;
    }
    if (response_count_ > 0) {
        md.average_response_time_ms =
            static_cast<double>(response_sum_) / static_cast<double>(response_count_);
    }
    return md;
}

}  // namespace kestro
