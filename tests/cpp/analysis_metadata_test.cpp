// Tests of the session metadata: cost, saturating sums, tool usage, time span. The counts and
// sums of ordinary sessions are checked on random sessions by the Python property tests.
#include "analysis/metadata.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <tuple>
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
constexpr auto user = message_type::user;
constexpr auto assistant = message_type::assistant;

content_block tool_use(std::string name) {
    return content_block{tool_use_block{"id-" + name, std::move(name), json_value{}}};
}

content_block text(std::string t) {
    return content_block{text_block{std::move(t)}};
}

TEST(analysis, cost_adds_only_present_values_in_file_order) {
    // In file order 1e16 + 1 rounds back to 1e16 and the last value cancels it: 0. Summed in
    // time order (1e16, -1e16, 1) the result would be 1.
    std::vector<message_record> r{rec(assistant, 10), rec(user, 5), rec(assistant, 30),
                                  rec(user, 20)};
    r[0].cost_usd = 1e16;
    r[2].cost_usd = 1.0;
    r[3].cost_usd = -1e16;
    EXPECT_EQ(compute_metadata(r, "").total_cost_usd, 0.0);
}

struct token_case {
    const char* name;
    std::vector<token_usage> usages;    // one record each
    std::array<std::uint32_t, 4> sums;  // input, output, cache creation, cache read
};

class token_sums : public ::testing::TestWithParam<token_case> {};

TEST_P(token_sums, saturate_instead_of_wrapping) {
    std::vector<message_record> r;
    for (const token_usage& u : GetParam().usages) {
        r.push_back(rec(assistant, 1));
        r.back().message.usage = u;
    }
    r.push_back(rec(user, 2));  // no usage: adds nothing
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ((std::array{md.total_input_tokens, md.total_output_tokens, md.cache_creation_tokens,
                          md.cache_read_tokens}),
              GetParam().sums);
}

const std::vector<token_case> token_cases{
    {"missing_cache_counts_add_nothing",
     {{10, std::nullopt, 7, 20, {}}, {5, 2, std::nullopt, 1, {}}},
     {15, 21, 2, 7}},
    {"input_passes_the_maximum",
     {{u32_max - 1, 0, 0, 7, {}}, {2, 0, 0, 8, {}}, {5, 0, 0, 9, {}}},
     {u32_max, 24, 0, 0}},
    {"every_sum_saturates",
     {{u32_max, u32_max, u32_max, u32_max, {}}, {1, 1, 1, 1, {}}},
     {u32_max, u32_max, u32_max, u32_max}}};

INSTANTIATE_TEST_SUITE_P(analysis, token_sums, ::testing::ValuesIn(token_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(analysis, durations_total_all_and_average_assistants_only) {
    std::vector<message_record> r{rec(assistant, 1), rec(user, 2), rec(assistant, 3),
                                  rec(assistant, 4)};
    r[0].duration_ms = 100;
    r[1].duration_ms = 1000;
    r[2].duration_ms = 251;
    // r[3] has no duration and must not count as 0 in the mean.
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(std::tuple(md.total_duration_ms, md.average_response_time_ms),
              std::tuple(1351u, 175.5));
    // User records alone give a total but no average.
    const session_metadata users = compute_metadata(std::span(r).subspan(1, 1), "");
    EXPECT_EQ(std::tuple(users.total_duration_ms, users.average_response_time_ms),
              std::tuple(1000u, std::nullopt));
    // Huge durations saturate the total; a 64-bit sum would wrap and halve the mean to ~9.2e18.
    r[0].duration_ms = r[2].duration_ms = u64_max;
    const session_metadata huge = compute_metadata(std::span(r).first(3), "");
    EXPECT_EQ(std::tuple(huge.total_duration_ms, huge.average_response_time_ms),
              std::tuple(u64_max, 18446744073709551616.0));
}

TEST(analysis, time_span_uses_earliest_and_latest_in_any_file_order) {
    std::vector<message_record> r{rec(user, 100, 500), rec(assistant, 40, 750),
                                  rec(assistant, 100, 499), rec(user, 70, 0)};
    const session_metadata md = compute_metadata(r, "");
    EXPECT_EQ(md.first_message_timestamp, (date_time{40, 750}));
    EXPECT_EQ(md.last_message_timestamp, (date_time{100, 500}));
    EXPECT_EQ(md.session_duration, (time_span{59, 999'999'750}));
    EXPECT_EQ(compute_metadata(std::span(r).first(1), "").session_duration, (time_span{0, 0}));
}

TEST(analysis, tools_are_counted_in_first_use_order) {
    std::vector<message_record> r{rec(assistant, 9), rec(user, 1), rec(assistant, 5)};
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
