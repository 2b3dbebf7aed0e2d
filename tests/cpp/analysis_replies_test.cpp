// Tests of reply merging: which records share a reply, and how their counts combine.
#include "analysis/replies.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro {
namespace {

struct rec {
    std::optional<std::string> message_id;
    std::optional<std::string> request_id;
    std::optional<std::uint64_t> output;  // nullopt: the record carries no usage
    std::int64_t second = 0;
    role who = role::assistant;
    std::optional<double> cost = std::nullopt;
};

struct expected_reply {
    std::vector<std::uint32_t> messages;
    std::uint64_t output;
    std::int64_t second;
    std::optional<double> cost;
};

struct replies_case {
    const char* name;
    std::vector<rec> records;
    std::vector<expected_reply> replies;
};

std::vector<transcript_message> messages_of(const std::vector<rec>& records) {
    std::vector<transcript_message> out;
    for (const rec& r : records) {
        transcript_message& m = out.emplace_back();
        m.role = r.who;
        m.message_id = r.message_id;
        m.request_id = r.request_id;
        m.timestamp = date_time{r.second, 0};
        m.cost_usd = r.cost;
        if (r.output) {
            m.usage.emplace().output_tokens = r.output;
            m.usage->input_tokens = 7;
        }
    }
    return out;
}

class replies_table : public ::testing::TestWithParam<replies_case> {};

TEST_P(replies_table, groups_and_counts) {
    const auto replies = merge_replies(messages_of(GetParam().records));
    ASSERT_EQ(replies.size(), GetParam().replies.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        const expected_reply& want = GetParam().replies[i];
        EXPECT_EQ(replies[i].messages, want.messages) << i;
        EXPECT_EQ(replies[i].output_tokens, want.output) << i;
        EXPECT_EQ(replies[i].input_tokens, 7u) << i;
        EXPECT_EQ(replies[i].timestamp.seconds, want.second) << i;
        EXPECT_EQ(replies[i].cost_usd, want.cost) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    analysis, replies_table,
    ::testing::Values(
        replies_case{"streamed_in_order",
                     {{"m", "r", 3, 1}, {"m", "r", 172, 2}, {"m", "r", 172, 3}},
                     {{{0, 1, 2}, 172, 1, std::nullopt}}},
        replies_case{"streamed_reversed",
                     {{"m", "r", 172, 3}, {"m", "r", 172, 2}, {"m", "r", 3, 1}},
                     {{{0, 1, 2}, 172, 1, std::nullopt}}},
        replies_case{"interleaved_replies",
                     {{"a", "r1", 5, 1}, {"b", "r2", 9, 2}, {"a", "r1", 6, 3}},
                     {{{0, 2}, 6, 1, std::nullopt}, {{1}, 9, 2, std::nullopt}}},
        replies_case{"message_id_alone_without_request_id",
                     {{"m", std::nullopt, 4, 1}, {"m", std::nullopt, 8, 2}, {"m", "r", 9, 3}},
                     {{{0, 1}, 8, 1, std::nullopt}, {{2}, 9, 3, std::nullopt}}},
        replies_case{"empty_request_id_is_not_a_missing_one",
                     {{"m", "", 4, 1}, {"m", std::nullopt, 8, 2}},
                     {{{0}, 4, 1, std::nullopt}, {{1}, 8, 2, std::nullopt}}},
        replies_case{"no_message_id_is_a_reply_of_its_own",
                     {{std::nullopt, "r", 4, 1}, {std::nullopt, "r", 8, 2}},
                     {{{0}, 4, 1, std::nullopt}, {{1}, 8, 2, std::nullopt}}},
        replies_case{"without_usage_or_from_the_user_no_reply",
                     {{"m", "r", std::nullopt, 1}, {"u", "r", 5, 2, role::user}, {"m", "r", 6, 3}},
                     {{{2}, 6, 3, std::nullopt}}},
        replies_case{"largest_cost_and_earliest_time",
                     {{"m", "r", 1, 9, role::assistant, 0.5},
                      {"m", "r", 2, 4, role::assistant, std::nullopt},
                      {"m", "r", 3, 6, role::assistant, 0.25}},
                     {{{0, 1, 2}, 3, 4, 0.5}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(analysis, reply_counts_are_each_the_maximum_absent_counting_zero) {
    std::vector<transcript_message> m(2);
    for (auto& x : m) {
        x.role = role::assistant;
        x.message_id = "m";
    }
    m[0].usage = usage_counts{1, 10, 100, std::nullopt, 60, 40, std::nullopt};
    m[1].usage = usage_counts{std::nullopt, 20, 90, 5, std::nullopt, 45, std::nullopt};
    const auto replies = merge_replies(m);
    ASSERT_EQ(replies.size(), 1u);
    const transcript_reply& r = replies[0];
    EXPECT_EQ(
        (std::vector<std::uint64_t>{r.input_tokens, r.output_tokens, r.cache_creation_input_tokens,
                                    r.cache_read_input_tokens, r.ephemeral_5m_input_tokens,
                                    r.ephemeral_1h_input_tokens}),
        (std::vector<std::uint64_t>{1, 20, 100, 5, 60, 45}));
}

}  // namespace
}  // namespace kestro
