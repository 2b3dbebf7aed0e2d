// Tests of the complete reader over bytes: what each line becomes, the problem texts, both
// JSON paths, and the thread walk.
#include "session/transcript.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestro {
namespace {

const std::string u1 = "00000000-0000-4000-8000-000000000001";

std::string user_line(const std::string& extra) {
    return R"({"type":"user","uuid":")" + u1 +
           R"(","timestamp":"2025-06-01T08:00:00Z","message":{"role":"user","content":"hi"})" +
           extra + "}";
}

struct line_case {
    const char* name;
    std::string line;
    record_kind kind;
    const char* type_or_reason;
};

class line_table : public ::testing::TestWithParam<line_case> {};

TEST_P(line_table, maps_each_line) {
    const transcript t = read_transcript_text(GetParam().line + "\n", "t.jsonl");
    ASSERT_EQ(t.records.size(), 1u);
    const transcript_record& r = t.records[0];
    EXPECT_EQ(r.kind, GetParam().kind);
    EXPECT_EQ(r.line, 1u);
    EXPECT_EQ(r.kind == record_kind::problem ? r.reason : r.type, GetParam().type_or_reason);
}

INSTANTIATE_TEST_SUITE_P(
    session, line_table,
    ::testing::Values(
        line_case{"user", user_line(""), record_kind::message, "user"},
        line_case{"system", R"({"type":"system","subtype":"api_error"})", record_kind::known,
                  "system"},
        line_case{"unknown", R"({"type":"pr-link","prUrl":"x"})", record_kind::other, "pr-link"},
        line_case{"cut_short", R"({"type":"system","sub)", record_kind::problem,
                  "not JSON: EOF while parsing a string at line 1 column 21"},
        line_case{"not_utf8", "{\"type\":\"system\",\"x\":\"\xff\"}", record_kind::problem,
                  "not valid UTF-8"},
        line_case{"array", "[]", record_kind::problem, "not a JSON object"},
        line_case{"no_type", R"({"uuid":"x"})", record_kind::problem, "missing field 'type'"},
        line_case{"parent_not_text", user_line(R"(,"parentUuid":5)"), record_kind::problem,
                  "field 'parentUuid' is not a string"},
        // Other records keep what reads and leave out fields of the wrong type.
        line_case{"other_record_parent_not_text", R"({"type":"system","parentUuid":5})",
                  record_kind::known, "system"},
        line_case{"title_missing", R"({"type":"custom-title"})", record_kind::known,
                  "custom-title"},
        line_case{"newer_field_wrong_type", user_line(R"(,"gitBranch":5,"agentId":[])"),
                  record_kind::message, "user"},
        line_case{"summary_without_text", R"({"type":"summary","leafUuid":"x"})",
                  record_kind::problem, "missing field 'summary'"},
        line_case{"no_message", R"({"type":"user","uuid":"u","timestamp":"2025-06-01T08:00:00Z"})",
                  record_kind::problem, "missing field 'message'"},
        line_case{
            "content_number",
            R"({"type":"user","uuid":"u","timestamp":"2025-06-01T08:00:00Z","message":{"content":1}})",
            record_kind::problem, "field 'message.content' is not a string or an array"},
        line_case{
            "block_without_type",
            R"({"type":"user","uuid":"u","timestamp":"2025-06-01T08:00:00Z","message":{"content":[{}]}})",
            record_kind::problem, "missing field 'message.content[0].type'"},
        line_case{
            "tool_use_without_name",
            R"({"type":"assistant","uuid":"u","timestamp":"2025-06-01T08:00:00Z","message":{"content":[{"type":"tool_use","id":"t"}]}})",
            record_kind::problem, "missing field 'message.content[0].name'"},
        line_case{
            "nested_block_not_object",
            R"({"type":"user","uuid":"u","timestamp":"2025-06-01T08:00:00Z","message":{"content":[{"type":"tool_result","tool_use_id":"t","content":[3]}]}})",
            record_kind::problem, "field 'message.content[0].content[0]' is not an object"},
        line_case{"negative_count", user_line(R"(,"durationMs":-1)"), record_kind::problem,
                  "field 'durationMs' is not a non-negative integer"},
        line_case{"sidechain_not_bool", user_line(R"(,"isSidechain":"yes")"), record_kind::problem,
                  "field 'isSidechain' is not a boolean"}),
    [](const auto& info) { return std::string(info.param.name); });

// A number beyond 64 bits sends the line down the precise reader's path; the record it gives
// must be the one the fast path gives.
TEST(session, both_json_paths_give_the_same_message) {
    const std::string tail =
        R"(,"version":"2.1.0","agentId":"ag","requestId":"req","cwd":"/w","toolUseResult":{"agentId":"ag"})";
    const transcript fast = read_transcript_text(user_line(tail) + "\n", "f");
    const transcript slow = read_transcript_text(
        user_line(tail + R"(,"big":123456789012345678901234567890)") + "\n", "s");
    ASSERT_EQ(fast.messages.size(), 1u);
    ASSERT_EQ(slow.messages.size(), 1u);
    const transcript_message& a = fast.messages[0];
    const transcript_message& b = slow.messages[0];
    EXPECT_EQ(a.agent_id, b.agent_id);
    EXPECT_EQ(a.request_id, b.request_id);
    EXPECT_EQ(a.version.view(), b.version.view());
    EXPECT_EQ(a.cwd.view(), b.cwd.view());
    EXPECT_EQ(a.content.to_json_value(), b.content.to_json_value());
    EXPECT_EQ(a.tool_use_result->to_json_value(), b.tool_use_result->to_json_value());
    EXPECT_EQ(fast.records[0].uuid, slow.records[0].uuid);
    EXPECT_EQ(slow.version, "2.1.0");
}

TEST(session, unknown_records_keep_their_whole_line) {
    const transcript fast = read_transcript_text(R"({"type":"x","a":[1,{"b":null}]})"
                                                 "\n",
                                                 "f");
    const transcript slow = read_transcript_text(R"({"type":"x","a":[1,{"b":null}],"n":1e999999})"
                                                 "\n",
                                                 "s");
    EXPECT_EQ(fast.records[0].kind, record_kind::other);
    EXPECT_EQ(slow.records[0].kind, record_kind::problem);  // a number beyond a double's range
    const auto a = find_path(fast.records[0].raw.root(), {"a"});
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->size(), 2u);
}

std::string linked(const std::string& type, int n, int parent) {
    auto id = [](int k) { return "00000000-0000-4000-8000-00000000000" + std::to_string(k); };
    std::string line = R"({"type":")" + type + R"(","uuid":")" + id(n) + R"(","parentUuid":")" +
                       id(parent) + R"(","timestamp":"2025-06-01T08:00:0)" + std::to_string(n) +
                       "Z\"";
    if (type == "user") line += R"(,"message":{"content":"x"})";
    return line + "}\n";
}

TEST(session, thread_walk_ends_on_a_loop_and_links_the_last_duplicate) {
    // 1 -> 3 (system) -> 2 -> 1: a loop; 4 twice, the second naming 2; 5 under 4.
    const transcript t =
        read_transcript_text(linked("user", 1, 3) + linked("user", 2, 1) + linked("system", 3, 2) +
                                 linked("user", 4, 9) + linked("user", 4, 2) + linked("user", 5, 4),
                             "t");
    auto thread = [&](std::uint32_t record) {
        std::vector<std::uint64_t> lines;
        for (std::uint32_t m : thread_of(t, record))
            lines.push_back(t.records[t.messages[m].record].line);
        return lines;
    };
    EXPECT_EQ(thread(0), (std::vector<std::uint64_t>{2, 1}));
    EXPECT_EQ(thread(1), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(thread(5), (std::vector<std::uint64_t>{1, 2, 5, 6}));
    EXPECT_EQ(main_leaf(t), 5u);
}

}  // namespace
}  // namespace kestro
