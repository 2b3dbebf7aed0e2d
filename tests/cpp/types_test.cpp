// Error texts, identifiers, date-times and JSON objects of the core's types.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include "error.hpp"
#include "types/date_time.hpp"
#include "types/decimal.hpp"
#include "types/json_value.hpp"
#include "types/sorted_keys.hpp"
#include "types/uuid.hpp"

namespace kestro {
namespace {

using namespace std::chrono_literals;

struct render_case {
    const char* name;
    sdk_error error;
    const char* text;
};

class error_render : public ::testing::TestWithParam<render_case> {};

TEST_P(error_render, renders_kind_prefix_and_payload) {
    EXPECT_EQ(GetParam().error.render(), GetParam().text);
}

execution_error exec(execution_error_kind k, std::chrono::nanoseconds t = {}) {
    return {k, "x", t, io_error::from_errno(ENOENT)};
}

const std::vector<render_case> renders{
    {"empty_file", sdk_error::empty_file(), "Parse error: Empty session file"},
    {"line_number_plain", sdk_error::invalid_jsonl(1234567, "Missing 'type' field"),
     "Parse error: Invalid JSONL format at line 1234567: Missing 'type' field"},
    {"missing_field", sdk_error::parse({parse_error_kind::missing_field, 0, "session_id"}),
     "Parse error: Missing required field 'session_id' in record"},
    {"timestamp", sdk_error::parse({parse_error_kind::invalid_timestamp, 0, "x"}),
     "Parse error: Invalid timestamp format: x"},
    {"uuid", sdk_error::parse({parse_error_kind::invalid_uuid, 0, "x"}),
     "Parse error: Invalid UUID format: x"},
    {"corrupted", sdk_error::parse({parse_error_kind::corrupted_file, 0, "x"}),
     "Parse error: Corrupted session file: x"},
    {"version", sdk_error::parse({parse_error_kind::unsupported_version, 0, "x"}),
     "Parse error: Unsupported format version: x"},
    {"session_not_found", sdk_error::session_not_found("x"), "Session not found: x"},
    {"io_errno", sdk_error::io(io_error::from_errno(EISDIR)),
     "IO error: Is a directory (os error 21)"},
    {"io_message", sdk_error::io(io_error::with_message("Directory not found: /x")),
     "IO error: Directory not found: /x"},
    {"json", sdk_error::json("x"), "JSON error: x"},
    {"binary", sdk_error::execution(exec(execution_error_kind::binary_not_found)),
     "Execution error: Kestro binary not found at: x"},
    {"failed", sdk_error::execution(exec(execution_error_kind::execution_failed)),
     "Execution error: Kestro execution failed: x"},
    {"output", sdk_error::execution(exec(execution_error_kind::invalid_output)),
     "Execution error: Invalid output format: x"},
    {"timeout", sdk_error::execution(exec(execution_error_kind::timeout, 30s)),
     "Execution error: Timeout after 30s"},
    {"spawn", sdk_error::execution(exec(execution_error_kind::spawn_failed)),
     "Execution error: Process spawn failed: No such file or directory (os error "
     "2)"}};

INSTANTIATE_TEST_SUITE_P(error, error_render, ::testing::ValuesIn(renders),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(error, duration_text_takes_the_largest_unit_that_fits) {
    EXPECT_EQ(format_duration(1500ms), "1.5s");
    EXPECT_EQ(format_duration(250ms), "250ms");
    EXPECT_EQ(format_duration(10us), "10\u00b5s");
    EXPECT_EQ(format_duration(5ns), "5ns");
}

struct text_case {
    const char* name;
    const char* text;
    const char* expected;  // canonical text, or the failure description
};

class uuid_parse : public ::testing::TestWithParam<text_case> {};

TEST_P(uuid_parse, reads_standard_forms_and_describes_faults) {
    auto r = uuid::parse(GetParam().text);
    EXPECT_EQ(r ? r.value().to_string() : r.error().as_parse()->text, GetParam().expected);
    if (!r) {
        EXPECT_EQ(r.error().as_parse()->kind, parse_error_kind::invalid_uuid);
    }
}

constexpr const char* canonical = "67e55044-10b1-426f-9247-bb680e5fe0c8";

const std::vector<text_case> uuid_texts{
    {"simple_upper", "67E5504410B1426F9247BB680E5FE0C8", canonical},
    {"braced", "{67e55044-10b1-426f-9247-bb680e5fe0c8}", canonical},
    {"urn", "urn:uuid:67e55044-10b1-426f-9247-bb680e5fe0c8", canonical},
    {"bad_char", "67e5504g-10b1-426f-9247-bb680e5fe0c8",
     "invalid character: expected an optional prefix of `urn:uuid:` followed by "
     "[0-9a-fA-F-], found `g` at 8"},
    {"short", "abc", "invalid length: expected length 32 for simple format, found 3"}};

INSTANTIATE_TEST_SUITE_P(types, uuid_parse, ::testing::ValuesIn(uuid_texts),
                         [](const auto& info) { return std::string(info.param.name); });

class date_time_parse : public ::testing::TestWithParam<text_case> {};

TEST_P(date_time_parse, converts_to_utc_text_or_describes_fault) {
    auto r = date_time::parse(GetParam().text);
    EXPECT_EQ(r ? r.value().to_rfc3339() : r.error().as_parse()->text, GetParam().expected);
    if (!r) {
        EXPECT_EQ(r.error().as_parse()->kind, parse_error_kind::invalid_timestamp);
    }
}

const std::vector<text_case> date_time_texts{
    {"millis", "2024-05-01T10:20:30.5Z", "2024-05-01T10:20:30.500+00:00"},
    {"whole", "2024-05-01t10:20:30z", "2024-05-01T10:20:30+00:00"},
    {"micros", "2024-05-01T10:20:30.123456Z", "2024-05-01T10:20:30.123456+00:00"},
    {"beyond_nanos", "2024-05-01T10:20:30.1234567891Z", "2024-05-01T10:20:30.123456789+00:00"},
    {"plus_offset", "2025-06-01T12:34:56+02:00", "2025-06-01T10:34:56+00:00"},
    {"minus_offset_next_day", "2024-12-31T23:30:00-01:00", "2025-01-01T00:30:00+00:00"},
    {"leap_day", "2024-02-29T00:00:00Z", "2024-02-29T00:00:00+00:00"},
    {"before_epoch", "1969-12-31T23:59:59.250Z", "1969-12-31T23:59:59.250+00:00"},
    {"space_separator", "2024-05-01 10:20:30Z", "input contains invalid characters"},
    {"no_offset", "2024-05-01T10:20:30", "premature end of input"},
    {"trailing", "2024-05-01T10:20:30Zx", "trailing input"},
    {"not_leap", "2023-02-29T10:20:30Z", "input is out of range"}};

INSTANTIATE_TEST_SUITE_P(types, date_time_parse, ::testing::ValuesIn(date_time_texts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(types, time_span_truncates_toward_zero) {
    auto at = [](const char* s) { return date_time::parse(s).value(); };
    const auto later = at("2024-01-01T00:00:03.250Z");
    const auto earlier = at("2024-01-01T00:00:00Z");
    EXPECT_EQ((later - earlier).whole_milliseconds(), 3250);
    EXPECT_EQ((earlier - later).whole_milliseconds(), -3250);
    EXPECT_EQ((earlier - later).whole_seconds(), -3);
}

TEST(types, json_object_sorts_keys_by_bytes_and_keeps_last_duplicate) {
    auto u = [](std::uint64_t n) { return json_value(json_value::storage(n)); };
    const auto v = json_value::make_object(
        {{"b", u(1)}, {"a", u(2)}, {"b", u(3)}, {"\xc3\xa9", json_value()}, {"Z", json_value()}});
    const json_value::object want{
        {"Z", json_value()}, {"a", u(2)}, {"b", u(3)}, {"\xc3\xa9", json_value()}};
    EXPECT_EQ(std::get<json_value::object>(v.get()), want);
}

struct decimal_case {
    const char* name;
    double value;
    const char* plain;  // for finite values
    const char* shortest;
};

class types_decimal : public ::testing::TestWithParam<decimal_case> {};

TEST_P(types_decimal, plain_and_shortest_share_the_shortest_digits) {
    const auto& c = GetParam();
    if (c.plain != nullptr) {
        EXPECT_EQ(plain_decimal(c.value), c.plain);
    }
    EXPECT_EQ(shortest_decimal(c.value), c.shortest);
}

const std::vector<decimal_case> decimal_cases{
    {"zero", 0.0, "0.0", "0.0"},
    {"negative_zero", -0.0, "-0.0", "-0.0"},
    {"one", 1.0, "1.0", "1.0"},
    {"fraction", 0.0123, "0.0123", "0.0123"},
    {"small_plain_large_exponent", 5e-5, "0.00005", "5e-5"},
    {"small_with_digits", -1.5e-5, "-0.000015", "-1.5e-5"},
    {"at_1e16", 1e16, "10000000000000000.0", "1e16"},
    {"below_1e16", 9007199254740994.0, "9007199254740994.0", "9007199254740994.0"},
    {"two_to_64", 18446744073709551616.0, "18446744073709552000.0", "1.8446744073709552e19"},
    {"nan", std::nan(""), nullptr, "NaN"},
    {"minus_inf", -std::numeric_limits<double>::infinity(), nullptr, "-inf"},
};

INSTANTIATE_TEST_SUITE_P(types, types_decimal, ::testing::ValuesIn(decimal_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(types, sorting_keys_keeps_the_last_of_each_repeated_key_on_short_and_long_ranges) {
    using member = std::pair<std::string, int>;
    const auto key = [](const member& m) { return std::string_view(m.first); };
    for (int n : {5, 40}) {  // below and above the insertion-sort length
        std::vector<member> members;
        for (int i = 0; i < n; ++i)
            members.emplace_back(std::string(1, char('a' + (n - i) % 7)), i);
        std::vector<member> expected;
        for (char c = 'a'; c < 'a' + 7; ++c) {
            int last = -1;
            for (const auto& m : members) {
                if (m.first[0] == c) last = m.second;
            }
            if (last >= 0) expected.emplace_back(std::string(1, c), last);
        }
        members.erase(sort_unique_by_key(members.begin(), members.end(), key), members.end());
        EXPECT_EQ(members, expected) << n << " members";
    }
}

}  // namespace
}  // namespace kestro
