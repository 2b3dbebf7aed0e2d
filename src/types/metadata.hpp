// Per-session summary figures computed from the message records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "types/date_time.hpp"

namespace kestro {

struct session_metadata {
    std::uint64_t total_messages = 0;
    std::uint64_t user_messages = 0;
    std::uint64_t assistant_messages = 0;
    double total_cost_usd = 0.0;
    std::uint32_t total_input_tokens = 0;  // the four token sums saturate at 2^32 - 1
    std::uint32_t total_output_tokens = 0;
    std::uint32_t cache_creation_tokens = 0;
    std::uint32_t cache_read_tokens = 0;
    std::vector<std::string> unique_tools_used;  // first use in file order
    std::uint64_t total_tool_calls = 0;
    // Uses per tool name, in the order of unique_tools_used.
    std::vector<std::pair<std::string, std::uint64_t>> tool_usage_count;
    std::string session_file_path;  // bytes as given to the parser
    std::optional<date_time> first_message_timestamp;
    std::optional<date_time> last_message_timestamp;
    std::optional<time_span> session_duration;
    std::uint64_t total_duration_ms = 0;  // saturates at 2^64 - 1
    std::optional<double> average_response_time_ms;
};

}  // namespace kestro
