// Tests of the session metadata: counts, cost, saturating sums, tool usage, time span.
#include "analysis/metadata.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestro {
namespace {

constexpr std::uint32_t u32_max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

message_record rec(message_type type, std::int64_t seconds, std::uint32_t nanos = 0) {
    message_record m;
    m.message_type = type;
    m.message.role = type == message_type::user ? role::user : role::assistant;
    m.timestamp = date_time{seconds, nanos};
    return m;
}

content_block tool_use(std::string name) {
    return content_block{tool_use_block{"id-" + name, std::move(name), json_value{}}};
}

content_block text(std::string t) {
    return content_block{text_block{std::move(t)}};
}

TEST(analysis, counts_and_empty_session) {
    std::vector<message_record> r{rec(message_type::user, 1), rec(message_type::assistant, 2),
                                  rec(message_type::assistant, 3)};
    const session_metadata md = compute_metadata(r, "/logs/-p/s.jsonl");
    EXPECT_EQ(md.total_messages, 3u);
    EXPECT_EQ(md.user_messages, 1u);
    EXPECT_EQ(md.assistant_messages, 2u);
    EXPECT_EQ(md.session_file_path, "/logs/-p/s.jsonl");
    const session_metadata empty = compute_metadata({}, "e.jsonl");
    EXPECT_EQ(empty.total_cost_usd, 0.0);
    EXPECT_FALSE(empty.first_message_timestamp.has_value());
    EXPECT_FALSE(empty.session_duration.has_value());
    EXPECT_FALSE(empty.average_response_time_ms.has_value());
}

TEST(analysis, cost_adds_only_present_values_in_file_order) {
    // In file order 1e16 + 1 rounds back to 1e16 and the last value cancels it: 0. Summed in
    // time order (1e16, -1e16, 1) the result would be 1.
    std::vector<message_record> r{rec(message_type::assistant, 10), rec(message_type::user, 5),
                                  rec(message_type::assistant, 30), rec(message_type::user, 20)};
    r[0].cost_usd = 1e16;
    r[2].cost_usd = 1.0;
    r[3].cost_usd = -1e16;
    EXPECT_EQ(compute_metadata(r, "").total_cost_usd, 0.0);
}

struct token_case {
    const char* name;
    std::vector<token_usage> usages;  // one record each
    std::uint32_t input, output, cache_creation, cache_read;
};

class token_sums : public ::testing::TestWithParam<token_case> {};

TEST_P(token_sums, saturate_instead_of_wrapping) {
    const token_case& c = GetParam();
    std::vector<message_record> r;
    for (const token_usage& u : c.usages) {
        r.push_back(rec(message_type::assistant, 1));
        r.back().message.usage = u;
    }
    r.push_back(rec(message_type::user, 2));  // no usage: adds nothing
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(md.total_input_tokens, c.input);
    EXPECT_EQ(md.total_output_tokens, c.output);
    EXPECT_EQ(md.cache_creation_tokens, c.cache_creation);
    EXPECT_EQ(md.cache_read_tokens, c.cache_read);
}

INSTANTIATE_TEST_SUITE_P(
    analysis, token_sums,
    ::testing::Values(token_case{"missing_cache_counts_add_nothing",
                                 {{10, std::nullopt, 7, 20, {}}, {5, 2, std::nullopt, 1, {}}},
                                 15,
                                 21,
                                 2,
                                 7},
                      token_case{"input_passes_the_maximum",
                                 {{u32_max - 1, 0, 0, 7, {}}, {2, 0, 0, 8, {}}, {5, 0, 0, 9, {}}},
                                 u32_max,
                                 24,
                                 0,
                                 0},
                      token_case{"every_sum_saturates",
                                 {{u32_max, u32_max, u32_max, u32_max, {}}, {1, 1, 1, 1, {}}},
                                 u32_max,
                                 u32_max,
                                 u32_max,
                                 u32_max}),
    [](const ::testing::TestParamInfo<token_case>& p) { return std::string(p.param.name); });

TEST(analysis, durations_total_all_and_average_assistants_only) {
    std::vector<message_record> r{rec(message_type::assistant, 1), rec(message_type::user, 2),
                                  rec(message_type::assistant, 3), rec(message_type::assistant, 4)};
    r[0].duration_ms = 100;
    r[1].duration_ms = 1000;
    r[2].duration_ms = 251;
    // r[3] has no duration and must not count as 0 in the mean.
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(md.total_duration_ms, 1351u);
    EXPECT_EQ(md.average_response_time_ms, 175.5);
    // User records alone give a total but no average.
    const session_metadata users = compute_metadata(std::span(r).subspan(1, 1), "");
    EXPECT_EQ(users.total_duration_ms, 1000u);
    EXPECT_FALSE(users.average_response_time_ms.has_value());
}

TEST(analysis, huge_durations_saturate_the_total_and_keep_the_mean) {
    std::vector<message_record> r{rec(message_type::assistant, 1), rec(message_type::assistant, 2)};
    r[0].duration_ms = u64_max;
    r[1].duration_ms = u64_max;
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(md.total_duration_ms, u64_max);
    // A 64-bit sum would wrap and halve the mean to about 9.2e18.
    EXPECT_EQ(md.average_response_time_ms, 18446744073709551616.0);
}

TEST(analysis, time_span_uses_earliest_and_latest_in_any_file_order) {
    std::vector<message_record> r{
        rec(message_type::user, 100, 500), rec(message_type::assistant, 40, 750),
        rec(message_type::assistant, 100, 499), rec(message_type::user, 70, 0)};
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(md.first_message_timestamp, (date_time{40, 750}));
    EXPECT_EQ(md.last_message_timestamp, (date_time{100, 500}));
    EXPECT_EQ(md.session_duration, (time_span{59, 999'999'750}));
    const session_metadata one = compute_metadata(std::span(r).first(1), "");
    EXPECT_EQ(one.session_duration, (time_span{0, 0}));
}

TEST(analysis, tools_are_counted_in_first_use_order) {
    std::vector<message_record> r{rec(message_type::assistant, 9), rec(message_type::user, 1),
                                  rec(message_type::assistant, 5)};
    r[0].message.content = {text("plan"), tool_use("Write"), tool_use("Read"), tool_use("Write"),
                            tool_use("Write")};
    // A tool use nested in a tool result's content is output, not a call.
    std::vector<content_block> nested{tool_use("Nested"), text("x")};
    r[1].message.content = {
        content_block{tool_result_block{"id-Write", tool_result_content{nested}, std::nullopt}},
        content_block{thinking_block{"hmm", "sig"}},
        content_block{image_block{{"base64", "image/png", "AAAA"}}}};
    r[2].message.content = {tool_use("Bash"), tool_use("Write"), tool_use("Read")};
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(md.unique_tools_used, (std::vector<std::string>{"Write", "Read", "Bash"}));
    const std::vector<std::pair<std::string, std::uint64_t>> counts{
        {"Write", 4}, {"Read", 2}, {"Bash", 1}};
    EXPECT_EQ(md.tool_usage_count, counts);
    EXPECT_EQ(md.total_tool_calls, 7u);
}

}  // namespace
}  // namespace kestro
