// Record mapping: failure texts of each family, on the fast (DOM) and precise (json_value) paths.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "parser/json_reader.hpp"
#include "parser/record_mapping.hpp"

namespace kestro::detail {
namespace {

// A valid user record; `with` replaces or adds members (raw JSON), `without` drops them.
std::string record(const std::map<std::string, std::string>& with = {},
                   const std::vector<std::string>& without = {}) {
    std::vector<std::pair<std::string, std::string>> fields{
        {"parentUuid", "null"},
        {"isSidechain", "false"},
        {"userType", R"("external")"},
        {"cwd", R"("/w")"},
        {"sessionId", R"("s1")"},
        {"version", R"("1.0")"},
        {"type", R"("user")"},
        {"message", R"({"role":"user","content":"hello"})"},
        {"uuid", R"("11111111-1111-1111-1111-111111111111")"},
        {"timestamp", R"("2025-06-01T12:00:00Z")"}};
    std::string out = "{";
    auto add = [&](const std::string& k, const std::string& v) {
        out += (out.size() > 1 ? ",\"" : "\"") + k + "\":" + v;
    };
    for (const auto& [k, v] : fields) {
        if (std::find(without.begin(), without.end(), k) == without.end() && !with.count(k)) {
            add(k, v);
        }
    }
    for (const auto& [k, v] : with) {
        add(k, v);
    }
    return out + "}";
}

std::string message(const std::string& content) {
    return R"({"role":"assistant","content":)" + content + "}";
}

// Maps the line on both paths; both must agree. Returns the failure text or "".
struct mapped {
    std::string error;
    message_record record;
};

mapped map_line(const std::string& line, bool summary = false) {
    mapped out[2];
    for (int path = 0; path < 2; ++path) {
        record_mapper mapper;
        summary_record s;
        bool ok = false;
        line_reader reader;
        json_value value;
        std::string json_error;
        if (path == 0) {
            auto o = reader.parse(line, line.size());
            if (o == line_reader::outcome::failed) {
                ADD_FAILURE() << reader.error();
                return {};
            }
            ok = o == line_reader::outcome::dom
                     ? (summary ? mapper.map_summary(dom_view(reader.dom()), s)
                                : mapper.map_message(dom_view(reader.dom()), out[path].record))
                     : (summary ? mapper.map_summary(json_view(reader.value()), s)
                                : mapper.map_message(json_view(reader.value()), out[path].record));
        } else {
            if (!parse_json_precise(line, value, json_error)) {
                ADD_FAILURE() << json_error;
                return {};
            }
            ok = summary ? mapper.map_summary(json_view(value), s)
                         : mapper.map_message(json_view(value), out[path].record);
        }
        out[path].error = ok ? "" : mapper.error();
    }
    EXPECT_EQ(out[0].error, out[1].error) << "paths disagree on " << line;
    return std::move(out[1]);
}

struct failure_case {
    const char* name;
    std::string line;
    std::string expected;
};

class parser_mapping_failures : public testing::TestWithParam<failure_case> {};

TEST_P(parser_mapping_failures, reports_text) {
    const auto& c = GetParam();
    bool summary = c.line.find(R"("type":"summary")") != std::string::npos;
    EXPECT_EQ(map_line(c.line, summary).error, c.expected);
}

const std::string summary_base =
    R"({"type":"summary","summary":"s","leafUuid":"11111111-1111-1111-1111-111111111111")";

INSTANTIATE_TEST_SUITE_P(
    parser, parser_mapping_failures,
    testing::Values(
        // missing fields, in declaration order after all present fields
        failure_case{"missing_uuid", record({}, {"uuid"}), "missing field `uuid`"},
        failure_case{"missing_two_reports_first_declared", record({}, {"timestamp", "isSidechain"}),
                     "missing field `isSidechain`"},
        failure_case{"invalid_beats_missing", record({{"cwd", "5"}}, {"uuid"}),
                     "invalid type: integer `5`, expected path string"},
        failure_case{"sorted_key_order", record({{"isSidechain", "1"}, {"costUSD", "\"x\""}}),
                     "invalid type: string \"x\", expected f64"},
        failure_case{"earlier_duplicate_ignored", R"({"cwd":5,)" + record().substr(1), ""},
        failure_case{"last_duplicate_counts",
                     record().substr(0, record().size() - 1) + R"(,"cwd":5})",
                     "invalid type: integer `5`, expected path string"},
        failure_case{"required_null", record({{"sessionId", "null"}}),
                     "invalid type: null, expected a string"},
        failure_case{"bool_from_string",
                     record({{"isSidechain", R"("a\"\\\n\t\r\u0000\u001b\u007f\u0085é")"}}),
                     "invalid type: string \"a\\\"\\\\\\n\\t\\r\\0\\u{1b}\\u{7f}\\u{85}é\", "
                     "expected a boolean"},
        // numbers
        failure_case{"duration_fraction", record({{"durationMs", "1.5"}}),
                     "invalid type: floating point `1.5`, expected u64"},
        failure_case{"duration_negative", record({{"durationMs", "-1"}}),
                     "invalid value: integer `-1`, expected u64"},
        failure_case{"duration_negative_zero", record({{"durationMs", "-0"}}),
                     "invalid type: floating point `-0.0`, expected u64"},
        failure_case{"duration_huge_double", record({{"durationMs", "1e20"}}),
                     "invalid type: floating point `100000000000000000000.0`, expected u64"},
        failure_case{"duration_big_integer", record({{"durationMs", "18446744073709551616"}}),
                     "invalid type: floating point `18446744073709552000.0`, expected u64"},
        failure_case{
            "tokens_above_u32",
            record({{"message",
                     R"({"role":"user","usage":{"input_tokens":1,"output_tokens":4294967296}})"}}),
            "invalid value: integer `4294967296`, expected u32"},
        failure_case{"tokens_negative",
                     record({{"message",
                              R"({"role":"user","usage":{"input_tokens":-1,"output_tokens":1}})"}}),
                     "invalid value: integer `-1`, expected u32"},
        failure_case{
            "tokens_whole_double",
            record({{"message",
                     R"({"role":"user","usage":{"input_tokens":5.0,"output_tokens":1}})"}}),
            "invalid type: floating point `5.0`, expected u32"},
        failure_case{"usage_missing_output",
                     record({{"message", R"({"role":"user","usage":{"input_tokens":1}})"}}),
                     "missing field `output_tokens`"},
        failure_case{"cost_from_bool", record({{"costUSD", "true"}}),
                     "invalid type: boolean `true`, expected f64"},
        // enums
        failure_case{"user_type_unknown", record({{"userType", R"("admin")"}}),
                     "unknown variant `admin`, expected `external` or `internal`"},
        failure_case{"user_type_empty_map", record({{"userType", "{}"}}),
                     "invalid value: map, expected map with a single key"},
        failure_case{"user_type_two_keys",
                     record({{"userType", R"({"external":null,"internal":null})"}}),
                     "invalid value: map, expected map with a single key"},
        failure_case{"user_type_unknown_key", record({{"userType", R"({"x":null})"}}),
                     "unknown variant `x`, expected `external` or `internal`"},
        failure_case{"user_type_non_null_value", record({{"userType", R"({"external":1})"}}),
                     "invalid type: integer `1`, expected unit variant"},
        failure_case{"user_type_number", record({{"userType", "-5"}}),
                     "invalid type: integer `-5`, expected string or map"},
        failure_case{"user_type_array", record({{"userType", "[]"}}),
                     "invalid type: sequence, expected string or map"},
        failure_case{"stop_reason_unknown",
                     record({{"message", R"({"role":"assistant","stop_reason":"done"})"}}),
                     "unknown variant `done`, expected one of `end_turn`, `max_tokens`, "
                     "`stop_sequence`, `tool_use`, `error`"},
        failure_case{"role_missing", record({{"message", R"({"content":"x"})"}}),
                     "missing field `role`"},
        // identifiers and timestamps
        failure_case{"uuid_not_string", record({{"uuid", "5"}}),
                     "invalid type: integer `5`, expected a UUID string"},
        failure_case{
            "timestamp_not_string", record({{"timestamp", "{}"}}),
            "invalid type: map, expected a formatted date and time string or a unix timestamp"},
        // nested records
        failure_case{"message_not_struct", record({{"message", "5"}}),
                     "invalid type: integer `5`, expected struct Message"},
        failure_case{"message_array_short", record({{"message", R"([null,"user"])"}}),
                     "invalid length 2, expected struct Message with 6 elements"},
        failure_case{"message_array_long",
                     record({{"message", R"([null,"user",null,"hi",null,null,1])"}}),
                     "invalid length 7, expected fewer elements in array"},
        failure_case{"message_array_bad_before_short", record({{"message", R"([5])"}}),
                     "invalid type: integer `5`, expected a string"},
        failure_case{"usage_array_short", record({{"message", R"({"role":"user","usage":[1]})"}}),
                     "invalid length 1, expected struct TokenUsage with 5 elements"},
        // content
        failure_case{"content_null", record({{"message", message("null")}}),
                     "invalid type: null, expected string or array of content blocks"},
        failure_case{"block_not_object", record({{"message", message("[5]")}}),
                     "invalid type: integer `5`, expected internally tagged enum ContentBlock"},
        failure_case{"block_without_type", record({{"message", message(R"([{"text":"a"}])")}}),
                     "missing field `type`"},
        failure_case{"block_type_not_string", record({{"message", message(R"([{"type":5}])")}}),
                     "invalid type: integer `5`, expected variant identifier"},
        failure_case{"block_type_unknown", record({{"message", message(R"([{"type":"video"}])")}}),
                     "unknown variant `video`, expected one of `text`, `thinking`, `tool_use`, "
                     "`tool_result`, `image`"},
        failure_case{"text_without_text", record({{"message", message(R"([{"type":"text"}])")}}),
                     "missing field `text`"},
        failure_case{"thinking_without_signature",
                     record({{"message", message(R"([{"type":"thinking","thinking":"t"}])")}}),
                     "missing field `signature`"},
        failure_case{"tool_use_without_input",
                     record({{"message", message(R"([{"type":"tool_use","id":"i","name":"n"}])")}}),
                     "missing field `input`"},
        failure_case{
            "image_without_media_type",
            record({{"message",
                     message(R"([{"type":"image","source":{"type":"base64","data":"x"}}])")}}),
            "missing field `media_type`"},
        failure_case{
            "image_source_array_long",
            record({{"message", message(R"([{"type":"image","source":["a","b","c","d"]}])")}}),
            "invalid length 4, expected 3 elements in sequence"},
        failure_case{
            "tool_result_content_null",
            record({{"message",
                     message(R"([{"type":"tool_result","tool_use_id":"t","content":null}])")}}),
            "invalid type: null, expected optional string or array of content blocks"},
        failure_case{
            "tool_result_content_map",
            record({{"message",
                     message(R"([{"type":"tool_result","tool_use_id":"t","content":{}}])")}}),
            "invalid type: map, expected optional string or array of content blocks"},
        failure_case{
            "nested_content_before_outer_id",
            record(
                {{"message",
                  message(
                      R"([{"type":"tool_result","content":[{"type":"tool_result","tool_use_id":"u","content":[{"type":"text"}]}]}])")}}),
            "missing field `text`"},
        failure_case{
            "outer_id_after_nested_content",
            record(
                {{"message",
                  message(
                      R"([{"type":"tool_result","content":[{"type":"tool_result","tool_use_id":"u","content":[{"type":"text","text":"a"}]}]}])")}}),
            "missing field `tool_use_id`"},
        failure_case{
            "nested_is_error_after_content",
            record(
                {{"message",
                  message(
                      R"([{"type":"tool_result","tool_use_id":"t","is_error":"no","content":[]}])")}}),
            "invalid type: string \"no\", expected a boolean"},
        failure_case{"block_array_empty", record({{"message", message("[[]]")}}),
                     "invalid length 0, expected internally tagged enum ContentBlock"},
        failure_case{"block_array_text_short", record({{"message", message(R"([["text"]])")}}),
                     "invalid length 0, expected struct variant ContentBlock::Text with 1 element"},
        failure_case{
            "block_array_tool_use_short",
            record({{"message", message(R"([["tool_use","i","n"]])")}}),
            "invalid length 2, expected struct variant ContentBlock::ToolUse with 3 elements"},
        failure_case{"block_array_tool_result_long",
                     record({{"message", message(R"([["tool_result","t","c",true,1]])")}}),
                     "invalid length 4, expected 3 elements in sequence"},
        // summaries
        failure_case{"summary_missing_leaf", R"({"type":"summary","summary":"s"})",
                     "missing field `leafUuid`"},
        failure_case{"summary_text_number", summary_base + R"(,"summary":5})",
                     "invalid type: integer `5`, expected a string"},
        failure_case{"summary_ok", summary_base + "}", ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(parser, uuid_and_timestamp_failures_carry_the_library_description) {
    auto uuid_error = std::get<std::string>(uuid::parse("xyz"));
    EXPECT_EQ(map_line(record({{"uuid", R"("xyz")"}})).error, "UUID parsing failed: " + uuid_error);
    auto time_error = std::get<std::string>(date_time::parse("yesterday"));
    EXPECT_EQ(map_line(record({{"timestamp", R"("yesterday")"}})).error, time_error);
}

TEST(parser, maps_a_full_assistant_record) {
    std::string line = record(
        {{"type", R"("assistant")"},
         {"parentUuid", R"("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}")"},
         {"costUSD", "1"},
         {"durationMs", "18446744073709551615"},
         {"requestId", R"("r")"},
         {"isMeta", "null"},
         {"userType", R"({"internal":null})"},
         {"toolUseResult", R"({"b":[1,-2,1.5],"a":"x","a":"y"})"},
         {"message",
          R"({"id":"m","role":"assistant","model":"k","stop_reason":null,"usage":[7,null,3,9,"t"],"content":[)"
          R"({"type":"text","text":"hi","cache_control":{"type":"ephemeral"}},)"
          R"(["thinking","th","sig"],)"
          R"({"type":"tool_use","id":"i","name":"n","input":null},)"
          R"({"type":"tool_result","tool_use_id":"i","content":[{"type":"text","text":"a"},{"type":"tool_result","tool_use_id":"j","content":"deep"}],"is_error":true},)"
          R"({"type":"image","source":["base64","image/png","AAA="]}]})"}});
    mapped m = map_line(line);
    ASSERT_EQ(m.error, "");
    const message_record& r = m.record;
    EXPECT_EQ(r.message_type, message_type::assistant);
    EXPECT_EQ(r.user_type, user_type::internal);
    ASSERT_TRUE(r.parent_uuid.has_value());
    EXPECT_EQ(r.parent_uuid->to_string(), "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee");
    EXPECT_EQ(r.cost_usd, 1.0);
    EXPECT_EQ(r.duration_ms, 18446744073709551615U);
    EXPECT_EQ(r.request_id, "r");
    EXPECT_FALSE(r.is_meta.has_value());
    EXPECT_EQ(r.message.id, "m");
    EXPECT_EQ(r.message.role, role::assistant);
    EXPECT_FALSE(r.message.stop_reason.has_value());
    ASSERT_TRUE(r.message.usage.has_value());
    EXPECT_EQ(r.message.usage->input_tokens, 7U);
    EXPECT_FALSE(r.message.usage->cache_creation_input_tokens.has_value());
    EXPECT_EQ(r.message.usage->cache_read_input_tokens, 3U);
    EXPECT_EQ(r.message.usage->output_tokens, 9U);
    EXPECT_EQ(r.message.usage->service_tier, "t");
    ASSERT_EQ(r.message.content.size(), 5U);
    EXPECT_EQ(std::get<text_block>(r.message.content[0].value).text, "hi");
    EXPECT_EQ(std::get<thinking_block>(r.message.content[1].value).signature, "sig");
    EXPECT_TRUE(std::get<tool_use_block>(r.message.content[2].value).input.is_null());
    const auto& result = std::get<tool_result_block>(r.message.content[3].value);
    EXPECT_EQ(result.is_error, true);
    ASSERT_TRUE(result.content.has_value());
    const auto& inner = std::get<std::vector<content_block>>(result.content->value);
    ASSERT_EQ(inner.size(), 2U);
    const auto& deep = std::get<tool_result_block>(inner[1].value);
    EXPECT_EQ(deep.tool_use_id, "j");
    EXPECT_EQ(std::get<std::string>(deep.content->value), "deep");
    EXPECT_EQ(std::get<image_block>(r.message.content[4].value).source.media_type, "image/png");
    ASSERT_TRUE(r.tool_use_result.has_value());
    const json_value tool_use_result = r.tool_use_result->to_json_value();
    const auto& members = std::get<json_value::object>(tool_use_result.get());
    ASSERT_EQ(members.size(), 2U);
    EXPECT_EQ(members[0].first, "a");
    EXPECT_EQ(std::get<std::string>(members[0].second.get()), "y");
    EXPECT_EQ(members[1].first, "b");
}

TEST(parser, content_forms) {
    EXPECT_EQ(map_line(record({{"message", R"({"role":"user"})"}})).record.message.content.size(),
              0U);
    auto one =
        map_line(record({{"message", R"({"role":"user","content":""})"}})).record.message.content;
    ASSERT_EQ(one.size(), 1U);
    EXPECT_EQ(std::get<text_block>(one[0].value).text, "");
    auto missing =
        map_line(record({{"message", message(R"([{"type":"tool_result","tool_use_id":"t"}])")}}));
    EXPECT_FALSE(
        std::get<tool_result_block>(missing.record.message.content[0].value).content.has_value());
}

TEST(parser, tool_results_nest_to_the_depth_limit) {
    // 30 nested tool results: 4 JSON levels each, inside the record's own 3.
    std::string content = R"("leaf")";
    for (int i = 0; i < 30; ++i) {
        content = R"([{"type":"tool_result","tool_use_id":"t","content":)" + content + "}]";
    }
    mapped m = map_line(record({{"message", message(content)}}));
    ASSERT_EQ(m.error, "");
    const std::vector<content_block>* level = &m.record.message.content;
    int depth = 0;
    for (;;) {
        const auto& r = std::get<tool_result_block>(level->at(0).value);
        ++depth;
        if (auto* blocks = std::get_if<std::vector<content_block>>(&r.content->value)) {
            level = blocks;
        } else {
            EXPECT_EQ(std::get<std::string>(r.content->value), "leaf");
            break;
        }
    }
    EXPECT_EQ(depth, 30);
}

TEST(parser, number_texts) {
    EXPECT_EQ(format_double(1.0), "1.0");
    EXPECT_EQ(format_double(1.5), "1.5");
    EXPECT_EQ(format_double(1e20), "100000000000000000000.0");
    EXPECT_EQ(format_double(-0.0), "-0.0");
    EXPECT_EQ(format_double(0.1), "0.1");
    EXPECT_EQ(format_double(1e-7), "0.0000001");
    EXPECT_EQ(format_double(123.456), "123.456");
    EXPECT_EQ(format_double(-2.5e-3), "-0.0025");
    EXPECT_EQ(format_double(18446744073709551616.0), "18446744073709552000.0");
}

}  // namespace
}  // namespace kestro::detail
