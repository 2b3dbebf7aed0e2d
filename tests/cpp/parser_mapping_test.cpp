// Record mapping: failure texts of each family, on the fast (DOM) and precise (json_value) paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "parser/json_reader.hpp"
#include "parser/record_mapping.hpp"

namespace kestro::detail {
namespace {

// A valid user record; `with` replaces or adds members (raw JSON), `without` drops them.
std::string record(const std::map<std::string, std::string>& with = {},
                   const std::vector<std::string>& without = {}) {
    static const std::vector<std::pair<std::string, std::string>> fields{
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
    std::string out;
    for (const auto& [k, v] : fields) {
        if (std::ranges::find(without, k) == without.end() && !with.count(k)) {
            out += ",\"" + k + "\":" + v;
        }
    }
    for (const auto& [k, v] : with)
        out += ",\"" + k + "\":" + v;
    return "{" + out.substr(1) + "}";
}

std::string with(const std::string& key, const std::string& value) {
    return record({{key, value}});
}
std::string blocks(const std::string& content) {
    return with("message", R"({"role":"assistant","content":)" + content + "}");
}

struct mapped {
    std::string error;  // "" on success
    message_record record;
};

// Maps the line through the reader (the DOM where the fast path takes it) and through the
// precise value tree; both must give the same failure text.
mapped map_line(const std::string& line) {
    line_reader reader;
    const auto o = reader.parse(line, line.size());
    auto parsed = parse_json_precise(line);
    if (o == line_reader::outcome::failed || !parsed) {
        ADD_FAILURE() << "not JSON: " << line;
        return {};
    }
    auto map = [](auto view) {
        record_mapper mapper;
        mapped out;
        if (auto r = mapper.map_message(view, out.record); !r) out.error = *r.error().as_text();
        return out;
    };
    const auto fast = o == line_reader::outcome::dom ? map(dom_view(reader.dom()))
                                                     : map(json_view(reader.value()));
    json_value value = std::move(parsed).value();
    auto precise = map(json_view(value));
    EXPECT_EQ(fast.error, precise.error) << "paths disagree on " << line;
    return precise;
}

struct failure_case {
    const char* name;
    std::string line;
    std::string expected;
};

class parser_mapping_failures : public testing::TestWithParam<failure_case> {};

TEST_P(parser_mapping_failures, reports_text) {
    EXPECT_EQ(map_line(GetParam().line).error, GetParam().expected);
}

const std::vector<failure_case> failures{
    {"missing_two_reports_first_declared", record({}, {"timestamp", "isSidechain"}),
     "missing field `isSidechain`"},
    {"invalid_beats_missing", record({{"cwd", "5"}}, {"uuid"}),
     "invalid type: integer `5`, expected path string"},
    {"sorted_key_order", record({{"isSidechain", "1"}, {"costUSD", "\"x\""}}),
     "invalid type: string \"x\", expected f64"},
    {"earlier_duplicate_ignored", R"({"cwd":5,)" + record().substr(1), ""},
    {"last_duplicate_counts", record().substr(0, record().size() - 1) + R"(,"cwd":5})",
     "invalid type: integer `5`, expected path string"},
    {"required_null", with("sessionId", "null"), "invalid type: null, expected a string"},
    {"bool_from_string", with("isSidechain", R"("a\"\\\n\t\r\u0000\u001b\u007f\u0085é")"),
     "invalid type: string \"a\\\"\\\\\\n\\t\\r\\0\\u{1b}\\u{7f}\\u{85}é\", "
     "expected a boolean"},
    {"duration_fraction", with("durationMs", "1.5"),
     "invalid type: floating point `1.5`, expected u64"},
    // Fractions are written out in full, never with an exponent.
    {"duration_tiny_fraction", with("durationMs", "-1e-7"),
     "invalid type: floating point `-0.0000001`, expected u64"},
    {"duration_negative", with("durationMs", "-1"), "invalid value: integer `-1`, expected u64"},
    {"duration_negative_zero", with("durationMs", "-0"),
     "invalid type: floating point `-0.0`, expected u64"},
    {"duration_big_integer", with("durationMs", "18446744073709551616"),
     "invalid type: floating point `18446744073709552000.0`, expected u64"},
    {"tokens_above_u32",
     with("message", R"({"role":"user","usage":{"input_tokens":1,"output_tokens":4294967296}})"),
     "invalid value: integer `4294967296`, expected u32"},
    {"tokens_whole_double",
     with("message", R"({"role":"user","usage":{"input_tokens":5.0,"output_tokens":1}})"),
     "invalid type: floating point `5.0`, expected u32"},
    {"cost_from_bool", with("costUSD", "true"), "invalid type: boolean `true`, expected f64"},
    {"user_type_unknown", with("userType", R"("admin")"),
     "unknown variant `admin`, expected `external` or `internal`"},
    {"user_type_empty_map", with("userType", "{}"),
     "invalid value: map, expected map with a single key"},
    {"user_type_non_null_value", with("userType", R"({"external":1})"),
     "invalid type: integer `1`, expected unit variant"},
    {"user_type_array", with("userType", "[]"), "invalid type: sequence, expected string or map"},
    {"stop_reason_unknown", with("message", R"({"role":"assistant","stop_reason":"done"})"),
     "unknown variant `done`, expected one of `end_turn`, `max_tokens`, "
     "`stop_sequence`, `tool_use`, `error`"},
    {"uuid_not_string", with("uuid", "5"), "invalid type: integer `5`, expected a UUID string"},
    {"timestamp_not_string", with("timestamp", "{}"),
     "invalid type: map, expected a formatted date and time string or a unix "
     "timestamp"},
    {"message_not_struct", with("message", "5"),
     "invalid type: integer `5`, expected struct Message"},
    {"message_array_short", with("message", R"([null,"user"])"),
     "invalid length 2, expected struct Message with 6 elements"},
    {"message_array_long", with("message", R"([null,"user",null,"hi",null,null,1])"),
     "invalid length 7, expected fewer elements in array"},
    {"usage_array_short", with("message", R"({"role":"user","usage":[1]})"),
     "invalid length 1, expected struct TokenUsage with 5 elements"},
    {"content_null", blocks("null"),
     "invalid type: null, expected string or array of content blocks"},
    {"block_not_object", blocks("[5]"),
     "invalid type: integer `5`, expected internally tagged enum ContentBlock"},
    {"block_type_not_string", blocks(R"([{"type":5}])"),
     "invalid type: integer `5`, expected variant identifier"},
    {"block_type_unknown", blocks(R"([{"type":"video"}])"),
     "unknown variant `video`, expected one of `text`, `thinking`, `tool_use`, "
     "`tool_result`, `image`"},
    {"tool_use_without_input", blocks(R"([{"type":"tool_use","id":"i","name":"n"}])"),
     "missing field `input`"},
    {"image_source_array_long", blocks(R"([{"type":"image","source":["a","b","c","d"]}])"),
     "invalid length 4, expected 3 elements in sequence"},
    {"tool_result_content_null",
     blocks(R"([{"type":"tool_result","tool_use_id":"t","content":null}])"),
     "invalid type: null, expected optional string or array of content blocks"},
    {"nested_content_before_outer_id",
     blocks(
         R"([{"type":"tool_result","content":[{"type":"tool_result","tool_use_id":"u","content":[{"type":"text"}]}]}])"),
     "missing field `text`"},
    {"block_array_empty", blocks("[[]]"),
     "invalid length 0, expected internally tagged enum ContentBlock"},
    {"block_array_text_short", blocks(R"([["text"]])"),
     "invalid length 0, expected struct variant ContentBlock::Text with 1 element"}};

INSTANTIATE_TEST_SUITE_P(parser, parser_mapping_failures, testing::ValuesIn(failures),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(parser, uuid_and_timestamp_failures_carry_the_library_description) {
    const auto uuid_error = uuid::parse("xyz").error().as_parse()->text;
    EXPECT_EQ(map_line(with("uuid", R"("xyz")")).error, "UUID parsing failed: " + uuid_error);
    const auto time_error = date_time::parse("yesterday").error().as_parse()->text;
    EXPECT_EQ(map_line(with("timestamp", R"("yesterday")")).error, time_error);
}

TEST(parser, maps_a_full_assistant_record) {
    mapped m = map_line(record(
        {{"type", R"("assistant")"},
         {"parentUuid", R"("{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}")"},
         {"costUSD", "1"},
         {"durationMs", "18446744073709551615"},
         {"requestId", R"("r")"},
         {"isMeta", "null"},
         {"userType", R"({"internal":null})"},
         {"toolUseResult", R"({"b":1,"a":"x","a":"y"})"},
         {"message",
          R"({"id":"m","role":"assistant","model":"k","stop_reason":null,"usage":[7,null,3,9,"t"],"content":[)"
          R"({"type":"text","text":"hi","cache_control":{"type":"ephemeral"}},)"
          R"(["thinking","th","sig"],)"
          R"({"type":"tool_use","id":"i","name":"n","input":null},)"
          R"({"type":"tool_result","tool_use_id":"i","content":[{"type":"text","text":"a"},{"type":"tool_result","tool_use_id":"j","content":"deep"}],"is_error":true},)"
          R"({"type":"image","source":["base64","image/png","AAA="]}]})"}}));
    ASSERT_EQ(m.error, "");
    const message_record& r = m.record;
    EXPECT_EQ(
        std::tuple(r.message_type, r.user_type, r.parent_uuid->to_string(), r.cost_usd,
                   r.duration_ms, r.request_id, r.is_meta, r.message.id, r.message.stop_reason),
        std::tuple(message_type::assistant, user_type::internal,
                   "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", 1.0, 18446744073709551615U, "r",
                   std::nullopt, "m", std::nullopt));
    const token_usage& u = *r.message.usage;
    EXPECT_EQ(std::tuple(u.input_tokens, u.cache_creation_input_tokens, u.cache_read_input_tokens,
                         u.output_tokens, u.service_tier),
              std::tuple(7U, std::nullopt, 3U, 9U, "t"));
    const auto& content = r.message.content;
    ASSERT_EQ(content.size(), 5U);
    EXPECT_EQ(std::get<text_block>(content[0].value).text, "hi");
    EXPECT_EQ(std::get<thinking_block>(content[1].value).signature, "sig");
    EXPECT_TRUE(std::get<tool_use_block>(content[2].value).input.is_null());
    const auto& result = std::get<tool_result_block>(content[3].value);
    EXPECT_EQ(result.is_error, true);
    const auto& deep = std::get<tool_result_block>(
        std::get<std::vector<content_block>>(result.content->value).at(1).value);
    EXPECT_EQ(std::get<std::string>(deep.content->value), "deep");
    EXPECT_EQ(std::get<image_block>(content[4].value).source.media_type, "image/png");
    ASSERT_TRUE(r.tool_use_result.has_value());
    EXPECT_EQ(r.tool_use_result->to_json_value(),
              json_value::make_object({{"a", json_value(json_value::storage(std::string("y")))},
                                       {"b", json_value(json_value::storage(std::uint64_t{1}))}}));
}

TEST(parser, content_forms) {
    auto content = [](const std::string& m) {
        return map_line(with("message", m)).record.message.content;
    };
    EXPECT_TRUE(content(R"({"role":"user"})").empty());
    const auto one = content(R"({"role":"user","content":""})");
    ASSERT_EQ(one.size(), 1U);
    EXPECT_EQ(std::get<text_block>(one[0].value).text, "");
    const auto result =
        content(R"({"role":"user","content":[{"type":"tool_result","tool_use_id":"t"}]})");
    EXPECT_FALSE(std::get<tool_result_block>(result.at(0).value).content.has_value());
}

TEST(parser, tool_results_nest_to_the_depth_limit) {
    // 30 nested tool results: 4 JSON levels each, inside the record's own 3.
    std::string content = R"("leaf")";
    for (int i = 0; i < 30; ++i) {
        content = R"([{"type":"tool_result","tool_use_id":"t","content":)" + content + "}]";
    }
    mapped m = map_line(blocks(content));
    ASSERT_EQ(m.error, "");
    const std::vector<content_block>* level = &m.record.message.content;
    int depth = 0;
    const tool_result_content* inner = nullptr;
    for (; level; ++depth) {
        inner = &*std::get<tool_result_block>(level->at(0).value).content;
        level = std::get_if<std::vector<content_block>>(&inner->value);
    }
    EXPECT_EQ(std::get<std::string>(inner->value), "leaf");
    EXPECT_EQ(depth, 30);
}

}  // namespace
}  // namespace kestro::detail
