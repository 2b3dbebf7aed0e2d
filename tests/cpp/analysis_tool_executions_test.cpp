// Tests of pairing tool uses with their results.
#include "analysis/tool_executions.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestro {
namespace {

message_record rec(std::int64_t seconds, std::vector<content_block> blocks,
                   std::uint32_t nanos = 0) {
    message_record m;
    m.timestamp = date_time{seconds, nanos};
    m.message.content = std::move(blocks);
    return m;
}

content_block use(std::string id, std::string name, std::string arg = "") {
    json_value input{json_value::object{{"arg", json_value{std::move(arg)}}}};
    return content_block{tool_use_block{std::move(id), std::move(name), std::move(input)}};
}

content_block result(std::string id, std::optional<tool_result_content> content = std::nullopt,
                     std::optional<bool> is_error = std::nullopt) {
    return content_block{tool_result_block{std::move(id), std::move(content), is_error}};
}

content_block text(std::string t) {
    return content_block{text_block{std::move(t)}};
}

struct duration_case {
    const char* name;
    date_time use_time;
    date_time result_time;
    std::uint64_t expected_ms;
};

class durations : public ::testing::TestWithParam<duration_case> {};

TEST_P(durations, are_whole_milliseconds_never_negative) {
    const duration_case& c = GetParam();
    std::vector<message_record> r{rec(c.use_time.seconds, {use("t1", "Bash")}, c.use_time.nanos),
                                  rec(c.result_time.seconds, {result("t1")}, c.result_time.nanos)};
    const auto ex = pair_tool_executions(r);
    ASSERT_EQ(ex.size(), 1u);
    EXPECT_EQ(ex[0].duration_ms, c.expected_ms);
    EXPECT_EQ(ex[0].timestamp, c.result_time);
}

const std::vector<duration_case> duration_cases{
    {"three_and_a_quarter_seconds", {100, 0}, {103, 250'000'000}, 3250},
    {"truncates_partial_millisecond", {100, 0}, {100, 1'999'999}, 1},
    {"across_a_second_boundary", {100, 999'500'000}, {101, 200'000'000}, 200},
    {"result_earlier_than_use", {105, 0}, {100, 0}, 0}};

INSTANTIATE_TEST_SUITE_P(analysis, durations, ::testing::ValuesIn(duration_cases),
                         [](const auto& p) { return std::string(p.param.name); });

struct pairing_case {
    const char* name;
    std::vector<message_record> records;
    const char* expected;  // "<tool>(<arg>)=<content> <ms>", one per execution
};

class pairing : public ::testing::TestWithParam<pairing_case> {};

TEST_P(pairing, follows_the_rules) {
    std::string got;
    for (const tool_execution& e : pair_tool_executions(GetParam().records)) {
        const json_value input = e.input->to_json_value();
        const auto& arg = std::get<json_value::object>(input.get()).at(0).second.get();
        got += (got.empty() ? "" : " ") + std::string(e.tool_name) + "(" +
               std::get<std::string>(arg) + ")=" + e.output.content() + " " +
               std::to_string(e.duration_ms);
    }
    EXPECT_EQ(got, GetParam().expected);
}

const std::vector<pairing_case> pairing_cases{
    {"unanswered_and_unknown_ids_yield_nothing",
     {rec(1, {use("a", "X")}), rec(2, {result("zzz")})},
     ""},
    {"later_use_of_the_same_id_replaces_the_earlier",
     {rec(1, {use("a", "First", "1")}), rec(5, {use("a", "Second", "2")}), rec(6, {result("a")})},
     "Second(2)= 1000"},
    {"second_result_for_one_use_finds_nothing",
     {rec(1, {use("a", "X")}), rec(2, {result("a", tool_result_content{"first"})}),
      rec(3, {result("a", tool_result_content{"second"})})},
     "X()=first 1000"},
    {"result_before_its_use_is_ignored_even_in_one_record",
     {rec(1, {result("a"), use("a", "X")}), rec(2, {text("later")})},
     ""},
    {"result_order_and_nested_results_skipped",
     {rec(1, {use("a", "A"), use("b", "B"), use("c", "C")}),
      rec(2,
          {result("c"), result("a", tool_result_content{std::vector{result("b"), text("out")}})}),
      rec(3, {result("b")})},
     "C()= 1000 A()=out 1000 B()= 2000"}};

INSTANTIATE_TEST_SUITE_P(analysis, pairing, ::testing::ValuesIn(pairing_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(analysis, execution_carries_use_and_result_fields) {
    std::vector<content_block> parts{text("one"), content_block{image_block{{"b", "i/p", "d"}}},
                                     text("two")};
    std::vector<message_record> r{
        rec(10, {text("go"), use("t1", "Bash", "ls"), use("t2", "Read"), use("t3", "Grep")}),
        rec(12, {result("t1", tool_result_content{"a.txt"}, true),
                 result("t2", tool_result_content{parts}, false), result("t3")})};
    const auto ex = pair_tool_executions(r);
    ASSERT_EQ(ex.size(), 3u);
    EXPECT_EQ(ex[0].tool_name, "Bash");
    // The input is the record's own value, not a copy.
    EXPECT_EQ(ex[0].input, &std::get<tool_use_block>(r[0].message.content[1].value).input);
    EXPECT_EQ(ex[0].output.tool_use_id, "t1");
    EXPECT_EQ(ex[0].output.content(), "a.txt");
    EXPECT_FALSE(ex[0].output.stdout_text || ex[0].output.stderr_text || ex[0].output.interrupted);
    EXPECT_EQ(ex[1].output.content(), "one\ntwo");
    EXPECT_EQ(ex[2].output.content(), "");
    EXPECT_EQ(
        (std::vector<bool>{ex[0].output.is_error, ex[1].output.is_error, ex[2].output.is_error}),
        (std::vector<bool>{true, false, false}));
}

}  // namespace
}  // namespace kestro
