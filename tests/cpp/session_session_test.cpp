// Tests of the loaded session: identifier table, threads, message text and path names.
#include "session/session.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "analysis/message_text.hpp"
#include "session/names.hpp"
#include "types/utf8.hpp"

namespace kestro {
namespace {

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

const std::optional<std::uint8_t> none;

TEST(session, threads_follow_parents_from_the_last_record_of_each_identifier) {
    auto s = session_of({record(1, none), record(5, none), record(5, 1), record(2, 7), record(3, 2),
                         record(8, 9), record(9, 8), record(10, 8)});
    using indices = std::vector<std::size_t>;
    EXPECT_EQ(thread_indices(*s, id(5)), (indices{0, 2}));      // the later 5 answers 1
    EXPECT_EQ(thread_indices(*s, id(3)), (indices{3, 4}));      // 2's parent is unknown
    EXPECT_EQ(thread_indices(*s, id(10)), (indices{6, 5, 7}));  // enters the loop 8, 9
    EXPECT_EQ(thread_indices(*s, id(99)), indices{});
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
}

TEST(session, message_text_joins_text_blocks_only) {
    message_payload m;
    m.content = {text("a"), tool_use("u", "Bash"), text("b"),
                 content_block{thinking_block{"hidden", "sig"}}, tool_use("v", "Bash")};
    EXPECT_EQ(message_text(m), "a\nb");
    EXPECT_EQ(message_tools(m), (std::vector<std::string_view>{"Bash", "Bash"}));
    EXPECT_TRUE(message_uses_tool(m, "Bash"));
    EXPECT_FALSE(message_uses_tool(m, "bash"));
    EXPECT_EQ(message_text(message_payload{}), "");
}

TEST(session, final_component_names_the_last_normal_component) {
    const std::vector<std::pair<const char*, const char*>> cases{{"//home//proj//", "proj"},
                                                                 {"a/b/.", "b"},
                                                                 {"../proj", "proj"},
                                                                 {"/", "unknown"},
                                                                 {".", "unknown"},
                                                                 {"a/b/..", "unknown"},
                                                                 {"/home/\xff\xfe", "unknown"}};
    for (const auto& [path, name] : cases)
        EXPECT_EQ(final_component_name(path), name) << path;
}

TEST(session, utf8_check_accepts_well_formed_sequences_only) {
    EXPECT_TRUE(is_valid_utf8("a\xc3\xa9\xf0\x9f\x98\x80"));
    // Overlong, surrogate, above U+10FFFF, truncated.
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\xe2\x82"})
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
}

TEST(session, canonical_uuid_is_only_the_lower_case_hyphenated_form) {
    EXPECT_EQ(parse_canonical_uuid("123e4567-e89b-12d3-a456-426614174000")->to_string(),
              "123e4567-e89b-12d3-a456-426614174000");
    for (const char* other :
         {"123E4567-E89B-12D3-A456-426614174000", "123e4567e89b12d3a456426614174000",
          "123e4567-e89b-12d3-a456-42661417400g"})
        EXPECT_FALSE(parse_canonical_uuid(other).has_value()) << other;
}

}  // namespace
}  // namespace kestro
