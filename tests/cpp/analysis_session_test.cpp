// Tests of the loaded session: identifier table, threads, message text and path names.
#include "analysis/session.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestro {
namespace {

template <class Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

uuid id(std::uint8_t n) {
    uuid u;
    u.bytes[15] = n;
    return u;
}

message_record record(std::uint8_t self, std::optional<std::uint8_t> parent) {
    message_record r;
    r.uuid = id(self);
    if (parent) r.parent_uuid = id(*parent);
    return r;
}

content_block text(std::string t) {
    return content_block{text_block{std::move(t)}};
}
content_block tool_use(std::string use_id, std::string name) {
    return content_block{tool_use_block{std::move(use_id), std::move(name), json_value()}};
}

std::shared_ptr<const session> session_of(std::vector<message_record> records) {
    parsed_session parsed;
    parsed.messages = std::move(records);
    return build_session(std::move(parsed));
}

// Records are named by the last byte of their identifier.
struct thread_case {
    const char* name;
    std::vector<std::pair<std::uint8_t, std::optional<std::uint8_t>>> records;
    std::uint8_t target;
    std::vector<std::size_t> expected;  // record indices, oldest first
};

class thread_test : public ::testing::TestWithParam<thread_case> {};

TEST_P(thread_test, follows_parents_from_the_last_record_of_each_identifier) {
    std::vector<message_record> records;
    for (const auto& [self, parent] : GetParam().records)
        records.push_back(record(self, parent));
    auto s = session_of(std::move(records));
    EXPECT_EQ(thread_indices(*s, id(GetParam().target)), GetParam().expected);
}

const std::optional<std::uint8_t> none;

INSTANTIATE_TEST_SUITE_P(
    session, thread_test,
    ::testing::Values(
        thread_case{"root_alone", {{1, none}, {2, 1}}, 1, {0}},
        thread_case{"three_levels_deep", {{1, none}, {2, 1}, {3, 2}, {4, 3}}, 4, {0, 1, 2, 3}},
        thread_case{"reply_before_parent_in_file", {{2, 1}, {1, none}}, 2, {1, 0}},
        thread_case{"unknown_target", {{1, none}}, 9, {}},
        thread_case{"parent_missing_stops_there", {{2, 7}, {3, 2}}, 3, {0, 1}},
        thread_case{"two_node_cycle", {{1, 2}, {2, 1}}, 1, {1, 0}},
        thread_case{"self_parent", {{1, 1}}, 1, {0}},
        thread_case{"cycle_entered_from_outside", {{1, 2}, {2, 1}, {3, 1}}, 3, {1, 0, 2}},
        thread_case{"duplicate_identifier_uses_last", {{1, none}, {5, none}, {5, 1}}, 5, {0, 2}}),
    case_name<thread_case>);

TEST(session, identifier_table_keeps_the_last_duplicate) {
    auto s = session_of({record(1, none), record(2, 1), record(1, 2)});
    ASSERT_EQ(s->last_index_by_uuid.size(), 2u);
    EXPECT_EQ(s->last_index_by_uuid.at(id(1)), 2u);
    EXPECT_EQ(s->last_index_by_uuid.at(id(2)), 1u);
}

TEST(session, executions_point_into_the_sessions_own_records) {
    auto use = record(1, none);
    use.message.content.push_back(tool_use("t1", "Read"));
    auto answer = record(2, 1);
    answer.message.content.push_back(content_block{tool_result_block{"t1", std::nullopt, true}});
    auto s = session_of({use, answer});
    ASSERT_EQ(s->tool_executions.size(), 1u);
    const auto& input =
        std::get<tool_use_block>(s->parsed.messages[0].message.content[0].value).input;
    EXPECT_EQ(s->tool_executions[0].input, &input);
    EXPECT_TRUE(s->tool_executions[0].output.is_error);
}

TEST(session, tree_statistics_are_computed_once_at_build) {
    parsed_session parsed;
    parsed.messages = {record(1, none), record(2, 1), record(3, 1)};
    parsed.conversation_tree = build_conversation_tree(parsed.messages);
    auto s = build_session(std::move(parsed));
    EXPECT_EQ(s->tree_stats, (conversation_stats{3, 2, 1, 2}));
}

TEST(session, message_text_joins_text_blocks_only) {
    message_payload m;
    m.content = {text("a"), tool_use("u", "Bash"), text("b"),
                 content_block{thinking_block{"hidden", "sig"}}, tool_use("v", "Bash")};
    EXPECT_EQ(message_text(m), "a\nb");
    EXPECT_EQ(message_tools(m), (std::vector<std::string_view>{"Bash", "Bash"}));
    EXPECT_TRUE(message_uses_tool(m, "Bash"));
    EXPECT_FALSE(message_uses_tool(m, "bash"));
}

TEST(session, message_without_text_blocks_has_empty_text) {
    message_payload m;
    m.content = {content_block{tool_result_block{"x", std::nullopt, std::nullopt}}};
    EXPECT_EQ(message_text(m), "");
    EXPECT_TRUE(message_tools(m).empty());
}

struct component_case {
    const char* name;
    const char* path;
    const char* expected;
};

class final_component_test : public ::testing::TestWithParam<component_case> {};

TEST_P(final_component_test, names_the_last_normal_component) {
    EXPECT_EQ(final_component_name(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    session, final_component_test,
    ::testing::Values(component_case{"absolute", "/home/u/proj", "proj"},
                      component_case{"trailing_separator", "/home/u/proj/", "proj"},
                      component_case{"repeated_separators", "//home//proj//", "proj"},
                      component_case{"trailing_current_dir", "a/b/.", "b"},
                      component_case{"inner_current_dir", "a/./b", "b"},
                      component_case{"relative_single", "proj", "proj"},
                      component_case{"leading_parent", "../proj", "proj"},
                      component_case{"root", "/", "unknown"},
                      component_case{"empty", "", "unknown"},
                      component_case{"current_dir_only", ".", "unknown"},
                      component_case{"trailing_parent", "a/b/..", "unknown"},
                      component_case{"trailing_parent_and_separator", "a/../", "unknown"},
                      component_case{"not_utf8", "/home/\xff\xfe", "unknown"},
                      component_case{"multibyte", "/home/caf\xc3\xa9", "caf\xc3\xa9"}),
    case_name<component_case>);

struct utf8_case {
    const char* name;
    std::string bytes;
    bool valid;
};

class utf8_test : public ::testing::TestWithParam<utf8_case> {};

TEST_P(utf8_test, accepts_well_formed_sequences_only) {
    EXPECT_EQ(is_valid_utf8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(session, utf8_test,
                         ::testing::Values(utf8_case{"ascii", "plain", true},
                                           utf8_case{"two_byte", "\xc3\xa9", true},
                                           utf8_case{"four_byte", "\xf0\x9f\x98\x80", true},
                                           utf8_case{"lone_continuation", "\x80", false},
                                           utf8_case{"overlong_slash", "\xc0\xaf", false},
                                           utf8_case{"overlong_three_byte", "\xe0\x80\xaf", false},
                                           utf8_case{"surrogate", "\xed\xa0\x80", false},
                                           utf8_case{"above_max", "\xf4\x90\x80\x80", false},
                                           utf8_case{"truncated", "a\xe2\x82", false}),
                         case_name<utf8_case>);

struct uuid_text_case {
    const char* name;
    const char* text;
    bool accepted;
};

class canonical_uuid_test : public ::testing::TestWithParam<uuid_text_case> {};

TEST_P(canonical_uuid_test, accepts_only_the_lower_case_hyphenated_form) {
    EXPECT_EQ(parse_canonical_uuid(GetParam().text).has_value(), GetParam().accepted);
}

INSTANTIATE_TEST_SUITE_P(
    session, canonical_uuid_test,
    ::testing::Values(uuid_text_case{"canonical", "123e4567-e89b-12d3-a456-426614174000", true},
                      uuid_text_case{"upper_case", "123E4567-E89B-12D3-A456-426614174000", false},
                      uuid_text_case{"braces", "{123e4567-e89b-12d3-a456-426614174000}", false},
                      uuid_text_case{"simple", "123e4567e89b12d3a456426614174000", false},
                      uuid_text_case{"garbage_of_right_length",
                                     "123e4567-e89b-12d3-a456-42661417400g", false}),
    case_name<uuid_text_case>);

}  // namespace
}  // namespace kestro
