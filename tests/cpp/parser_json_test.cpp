// The line JSON reader: both paths, their agreement, error descriptions and positions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "parser/json_reader.hpp"
#include "parser/json_view.hpp"
#include "parser/line_source.hpp"

namespace kestro::detail {
namespace {

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

struct error_case {
    const char* name;
    std::string line;
    std::string expected;
};

class parser_json_errors : public testing::TestWithParam<error_case> {};

TEST_P(parser_json_errors, describes_failure_with_position_on_both_paths) {
    const auto& c = GetParam();
    const auto precise = parse_json_precise(c.line);
    ASSERT_FALSE(precise);
    EXPECT_EQ(*precise.error().as_text(), c.expected);
    line_reader reader;
    ASSERT_EQ(reader.parse(c.line, c.line.size()), line_reader::outcome::failed);
    EXPECT_EQ(reader.error(), c.expected);
}

const std::string control_error =
    "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4";

const std::vector<error_case> error_cases{
    {"trailing_text", R"({"a":1} x)", "trailing characters at line 1 column 9"},
    {"trailing_nul", std::string("{\"a\":1}\0", 8), "trailing characters at line 1 column 8"},
    {"eof_value", R"({"a":)", "EOF while parsing a value at line 1 column 5"},
    {"eof_object", R"({"a":1)", "EOF while parsing an object at line 1 column 6"},
    {"eof_list", "[1", "EOF while parsing a list at line 1 column 2"},
    {"eof_string", R"(["abc)", "EOF while parsing a string at line 1 column 5"},
    {"key_not_string", "{1:2}", "key must be a string at line 1 column 2"},
    {"missing_colon", R"({"a" 1})", "expected `:` at line 1 column 6"},
    {"missing_object_comma", R"({"a":1 "b":2})", "expected `,` or `}` at line 1 column 8"},
    {"missing_list_comma", "[1 2]", "expected `,` or `]` at line 1 column 4"},
    {"trailing_comma", "[1,]", "trailing comma at line 1 column 4"},
    {"bad_literal", "[tru]", "expected ident at line 1 column 5"},
    {"no_value", "[x]", "expected value at line 1 column 2"},
    {"bad_escape", R"(["\x"])", "invalid escape at line 1 column 4"},
    {"lone_leading_surrogate", R"(["\ud800"])", "unexpected end of hex escape at line 1 column 8"},
    {"leading_surrogate_then_letter", R"(["\ud800\u0041"])",
     "lone leading surrogate in hex escape at line 1 column 14"},
    {"lone_trailing_surrogate", R"(["\udc00"])",
     "lone leading surrogate in hex escape at line 1 column 8"},
    {"nul_in_string", std::string("[\"a\0b\"]", 7), control_error},
    {"double_overflow", "[1e400]", "number out of range at line 1 column 6"},
    {"overflow_after_zero_exponent", "[0e400,1e400]", "number out of range at line 1 column 12"},
    {"long_literal", "1" + std::string(399, '0'), "number out of range at line 1 column 400"},
    {"missing_fraction", "[1.]", "invalid number at line 1 column 4"},
    {"leading_zero", "[01]", "invalid number at line 1 column 3"},
    {"depth_128_behind_key", R"({"a":)" + std::string(127, '['),
     "recursion limit exceeded at line 1 column 132"}};

INSTANTIATE_TEST_SUITE_P(parser, parser_json_errors, testing::ValuesIn(error_cases),
                         [](const auto& p) { return std::string(p.param.name); });

struct value_case {
    const char* name;
    std::string line;
    json_value expected;
};

template <class T>
json_value val(T v) {
    return json_value(json_value::storage(std::move(v)));
}
json_value arr(json_value::array a) {
    return val(std::move(a));
}

// What the line means, whichever path read it.
json_value read_through_reader(const std::string& line) {
    line_reader reader;
    switch (reader.parse(line, line.size())) {
        case line_reader::outcome::dom:
            return to_json_value(reader.dom());
        case line_reader::outcome::value:
            return reader.value();
        case line_reader::outcome::failed:
            break;
    }
    ADD_FAILURE() << reader.error();
    return {};
}

class parser_json_values : public testing::TestWithParam<value_case> {};

TEST_P(parser_json_values, both_paths_hold_the_same_value) {
    const auto& c = GetParam();
    const auto precise = parse_json_precise(c.line);
    ASSERT_TRUE(precise) << precise.error().render();
    EXPECT_EQ(precise.value(), c.expected);
    EXPECT_EQ(read_through_reader(c.line), c.expected);
}

const std::vector<value_case> value_cases{
    {"integer_kinds", "[18446744073709551615,-9223372036854775808,5,-5,1.0]",
     arr({val(std::uint64_t{18446744073709551615U}), val(std::int64_t{-9223372036854775807LL - 1}),
          val(std::uint64_t{5}), val(std::int64_t{-5}), val(1.0)})},
    {"beyond_64_bits_is_double", "[18446744073709551616,-9223372036854775809]",
     arr({val(18446744073709551616.0), val(-9223372036854775808.0)})},
    {"underflow_and_zero_exponents", R"(["1e999",1e-400,0e400,0.00E+99999])",
     arr({val(std::string("1e999")), val(0.0), val(0.0), val(0.0)})},
    {"duplicates_last_wins_sorted", R"({"b":1,"a":[true,null],"b":"x"})",
     val(json_value::object{{"a", arr({val(true), json_value()})}, {"b", val(std::string("x"))}})},
    {"escapes_and_pairs", R"(["\u00e9\ud83d\ude00\n\"\/"])",
     arr({val(std::string("\xc3\xa9\xf0\x9f\x98\x80\n\"/"))})}};

INSTANTIATE_TEST_SUITE_P(parser, parser_json_values, testing::ValuesIn(value_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(parser, negative_zero_is_a_double_on_both_paths) {
    // After each character that may precede a number; the big integer takes the precise path.
    for (const std::string line :
         {"[-0]", "[1, -0]", "[1,-0]", "{\"a\":-0}", "[18446744073709551616,-0]"}) {
        json_value v = read_through_reader(line);
        const auto* a = std::get_if<json_value::array>(&v.get());
        const json_value& last =
            a ? a->back() : std::get<json_value::object>(v.get()).back().second;
        const double* d = std::get_if<double>(&last.get());
        ASSERT_NE(d, nullptr) << line;
        EXPECT_TRUE(std::signbit(*d)) << line;
    }
}

TEST(parser, depth_127_passes_on_both_paths_and_survives_a_capacity_increase) {
    line_reader reader;
    EXPECT_EQ(reader.parse(nested(127), 127 * 2), line_reader::outcome::dom);
    // A big integer inside forces the precise path at full depth.
    std::string deep = std::string(127, '[') + "18446744073709551616" + std::string(127, ']');
    EXPECT_EQ(reader.parse(deep, deep.size()), line_reader::outcome::value);
    // A line large enough to make the fast reader grow must not reset its depth limit.
    std::string big = "[\"" + std::string(1 << 20, 'a') + "\"]";
    ASSERT_EQ(reader.parse(big, big.size()), line_reader::outcome::dom);
    EXPECT_EQ(reader.parse(nested(128), 256), line_reader::outcome::failed);
    EXPECT_EQ(reader.error(), "recursion limit exceeded at line 1 column 128");
}

TEST(parser, blank_is_unicode_white_space) {
    EXPECT_TRUE(
        is_blank(" \t\v\f\r\xc2\xa0\xc2\x85\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a"
                 "\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80"));
    EXPECT_FALSE(is_blank("\xe2\x80\x8b"));  // U+200B is not White_Space
    EXPECT_FALSE(is_blank(" \xc2\xa0 {}"));
}

}  // namespace
}  // namespace kestro::detail
