// Error texts, identifiers, date-times and JSON objects of the core's types.
#include <gtest/gtest.h>

#include <cerrno>

#include "error.hpp"
#include "types/content.hpp"
#include "types/date_time.hpp"
#include "types/json_value.hpp"
#include "types/uuid.hpp"

namespace kestro {
namespace {

struct render_case {
    const char* name;
    sdk_error error;
    const char* text;
};

class error_render : public ::testing::TestWithParam<render_case> {};

TEST_P(error_render, renders_kind_prefix_and_payload) {
    EXPECT_EQ(GetParam().error.render(), GetParam().text);
}

using namespace std::chrono_literals;

INSTANTIATE_TEST_SUITE_P(
    error, error_render,
    ::testing::Values(
        render_case{"empty_file", sdk_error::empty_file(), "Parse error: Empty session file"},
        render_case{"invalid_jsonl", sdk_error::invalid_jsonl(1, "Missing 'type' field"),
                    "Parse error: Invalid JSONL format at line 1: Missing 'type' field"},
        render_case{"line_number_plain", sdk_error::invalid_jsonl(1234567, "x"),
                    "Parse error: Invalid JSONL format at line 1234567: x"},
        render_case{"missing_field",
                    sdk_error::parse({parse_error_kind::missing_field, 0, "session_id"}),
                    "Parse error: Missing required field 'session_id' in record"},
        render_case{"timestamp", sdk_error::parse({parse_error_kind::invalid_timestamp, 0, "x"}),
                    "Parse error: Invalid timestamp format: x"},
        render_case{"uuid", sdk_error::parse({parse_error_kind::invalid_uuid, 0, "x"}),
                    "Parse error: Invalid UUID format: x"},
        render_case{"corrupted", sdk_error::parse({parse_error_kind::corrupted_file, 0, "x"}),
                    "Parse error: Corrupted session file: x"},
        render_case{"version", sdk_error::parse({parse_error_kind::unsupported_version, 0, "9"}),
                    "Parse error: Unsupported format version: 9"},
        render_case{"session_not_found", sdk_error::session_not_found("abc"),
                    "Session not found: abc"},
        render_case{"io_errno", sdk_error::io(io_error::from_errno(EISDIR)),
                    "IO error: Is a directory (os error 21)"},
        render_case{"io_message", sdk_error::io(io_error::with_message("Directory not found: /x")),
                    "IO error: Directory not found: /x"},
        render_case{"json", sdk_error::json("oops"), "JSON error: oops"},
        render_case{"binary",
                    sdk_error::execution({execution_error_kind::binary_not_found, "/b", {}, {}}),
                    "Execution error: Kestro binary not found at: /b"},
        render_case{"failed",
                    sdk_error::execution({execution_error_kind::execution_failed, "x", {}, {}}),
                    "Execution error: Kestro execution failed: x"},
        render_case{"output",
                    sdk_error::execution({execution_error_kind::invalid_output, "x", {}, {}}),
                    "Execution error: Invalid output format: x"},
        render_case{"timeout_seconds",
                    sdk_error::execution({execution_error_kind::timeout, {}, 30s, {}}),
                    "Execution error: Timeout after 30s"},
        render_case{"timeout_fraction",
                    sdk_error::execution({execution_error_kind::timeout, {}, 1500ms, {}}),
                    "Execution error: Timeout after 1.5s"},
        render_case{"timeout_ms",
                    sdk_error::execution({execution_error_kind::timeout, {}, 250ms, {}}),
                    "Execution error: Timeout after 250ms"},
        render_case{"timeout_us",
                    sdk_error::execution({execution_error_kind::timeout, {}, 10us, {}}),
                    "Execution error: Timeout after 10\u00b5s"},
        render_case{"timeout_ns",
                    sdk_error::execution({execution_error_kind::timeout, {}, 5ns, {}}),
                    "Execution error: Timeout after 5ns"},
        render_case{"spawn",
                    sdk_error::execution(
                        {execution_error_kind::spawn_failed, {}, {}, io_error::from_errno(ENOENT)}),
                    "Execution error: Process spawn failed: No such file or directory (os error "
                    "2)"}),
    [](const auto& info) { return std::string(info.param.name); });

struct uuid_case {
    const char* name;
    const char* text;
    const char* expected;  // canonical text, or the failure description
};

class uuid_parse : public ::testing::TestWithParam<uuid_case> {};

TEST_P(uuid_parse, reads_standard_forms_and_describes_faults) {
    auto r = uuid::parse(GetParam().text);
    if (auto* u = std::get_if<uuid>(&r)) {
        EXPECT_EQ(u->to_string(), GetParam().expected);
    } else {
        EXPECT_EQ(std::get<std::string>(r), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    types, uuid_parse,
    ::testing::Values(
        uuid_case{"hyphenated", "67e55044-10b1-426f-9247-bb680e5fe0c8",
                  "67e55044-10b1-426f-9247-bb680e5fe0c8"},
        uuid_case{"simple_upper", "67E5504410B1426F9247BB680E5FE0C8",
                  "67e55044-10b1-426f-9247-bb680e5fe0c8"},
        uuid_case{"braced", "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
                  "67e55044-10b1-426f-9247-bb680e5fe0c8"},
        uuid_case{"urn", "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8",
                  "67e55044-10b1-426f-9247-bb680e5fe0c8"},
        uuid_case{"bad_char", "67e5504g-10b1-426f-9247-bb680e5fe0c8",
                  "invalid character: expected an optional prefix of `urn:uuid:` followed by "
                  "[0-9a-fA-F-], found `g` at 8"},
        uuid_case{"short", "abc", "invalid length: expected length 32 for simple format, found 3"},
        uuid_case{"empty", "", "invalid length: expected length 32 for simple format, found 0"},
        uuid_case{"groups", "67e55044-10b1-426f-9247", "invalid group count: expected 5, found 4"},
        uuid_case{"group_len", "67e55044-10b1-426f-924-bb680e5fe0c8a",
                  "invalid group length in group 4: expected 4, found 3"}),
    [](const auto& info) { return std::string(info.param.name); });

struct time_case {
    const char* name;
    const char* text;
    const char* expected;  // RFC 3339 output, or the failure description
};

class date_time_parse : public ::testing::TestWithParam<time_case> {};

TEST_P(date_time_parse, converts_to_utc_text_or_describes_fault) {
    auto r = date_time::parse(GetParam().text);
    if (auto* t = std::get_if<date_time>(&r)) {
        EXPECT_EQ(t->to_rfc3339(), GetParam().expected);
    } else {
        EXPECT_EQ(std::get<std::string>(r), GetParam().expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    types, date_time_parse,
    ::testing::Values(
        time_case{"millis_z", "2024-05-01T10:20:30.500Z", "2024-05-01T10:20:30.500+00:00"},
        time_case{"whole", "2024-05-01T10:20:30Z", "2024-05-01T10:20:30+00:00"},
        time_case{"micros", "2024-05-01T10:20:30.123456Z", "2024-05-01T10:20:30.123456+00:00"},
        time_case{"nanos", "2024-05-01T10:20:30.123456789Z", "2024-05-01T10:20:30.123456789+00:00"},
        time_case{"one_digit", "2024-05-01T10:20:30.5Z", "2024-05-01T10:20:30.500+00:00"},
        time_case{"beyond_nanos", "2024-05-01T10:20:30.1234567891Z",
                  "2024-05-01T10:20:30.123456789+00:00"},
        time_case{"lower_case", "2024-05-01t10:20:30z", "2024-05-01T10:20:30+00:00"},
        time_case{"plus_offset", "2025-06-01T12:34:56+02:00", "2025-06-01T10:34:56+00:00"},
        time_case{"minus_offset_next_day", "2024-12-31T23:30:00-01:00",
                  "2025-01-01T00:30:00+00:00"},
        time_case{"leap_day", "2024-02-29T00:00:00Z", "2024-02-29T00:00:00+00:00"},
        time_case{"before_epoch", "1969-12-31T23:59:59.250Z", "1969-12-31T23:59:59.250+00:00"},
        time_case{"space_separator", "2024-05-01 10:20:30Z", "input contains invalid characters"},
        time_case{"no_offset", "2024-05-01T10:20:30", "premature end of input"},
        time_case{"truncated", "2024-05", "premature end of input"},
        time_case{"trailing", "2024-05-01T10:20:30Zx", "trailing input"},
        time_case{"bad_month", "2024-13-01T10:20:30Z", "input is out of range"},
        time_case{"not_leap", "2023-02-29T10:20:30Z", "input is out of range"},
        time_case{"empty_fraction", "2024-05-01T10:20:30.Z", "input contains invalid characters"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(types, time_span_truncates_toward_zero) {
    auto at = [](const char* s) { return std::get<date_time>(date_time::parse(s)); };
    const auto later = at("2024-01-01T00:00:03.250Z");
    const auto earlier = at("2024-01-01T00:00:00Z");
    EXPECT_EQ((later - earlier).whole_milliseconds(), 3250);
    EXPECT_EQ((later - earlier).whole_seconds(), 3);
    EXPECT_EQ((earlier - later).whole_milliseconds(), -3250);
    EXPECT_EQ((earlier - later).whole_seconds(), -3);
}

TEST(types, json_object_sorts_keys_and_keeps_last_duplicate) {
    json_value::object members;
    members.emplace_back("b", json_value(json_value::storage(std::uint64_t{1})));
    members.emplace_back("a", json_value(json_value::storage(std::uint64_t{2})));
    members.emplace_back("b", json_value(json_value::storage(std::uint64_t{3})));
    members.emplace_back("\xc3\xa9", json_value());
    members.emplace_back("Z", json_value());
    const auto v = json_value::make_object(std::move(members));
    const auto& obj = std::get<json_value::object>(v.get());
    ASSERT_EQ(obj.size(), 4u);
    EXPECT_EQ(obj[0].first, "Z");
    EXPECT_EQ(obj[1].first, "a");
    EXPECT_EQ(obj[2].first, "b");
    EXPECT_EQ(std::get<std::uint64_t>(obj[2].second.get()), 3u);
    EXPECT_EQ(obj[3].first, "\xc3\xa9");
}

TEST(types, tool_result_text_joins_text_blocks_only) {
    std::vector<content_block> blocks;
    blocks.push_back({text_block{"one"}});
    blocks.push_back({image_block{{"base64", "image/png", "AAAA"}}});
    blocks.push_back({text_block{"two"}});
    EXPECT_EQ(tool_result_text({std::move(blocks)}), "one\ntwo");
    EXPECT_EQ(tool_result_text({std::string("plain")}), "plain");
    EXPECT_EQ(tool_result_text({std::vector<content_block>{}}), "");
}

}  // namespace
}  // namespace kestro
