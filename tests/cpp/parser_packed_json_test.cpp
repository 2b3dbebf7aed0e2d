// Packing tool inputs straight from the DOM: key order, repeated keys, numbers, nesting.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "parser/json_reader.hpp"
#include "parser/json_view.hpp"

namespace kestro::detail {
namespace {

json_value num(double d) {
    return json_value(json_value::storage(d));
}
json_value num(std::uint64_t u) {
    return json_value(json_value::storage(u));
}
json_value num(std::int64_t i) {
    return json_value(json_value::storage(i));
}
json_value str(std::string s) {
    return json_value(json_value::storage(std::move(s)));
}
json_value arr(json_value::array a) {
    return json_value(json_value::storage(std::move(a)));
}
json_value obj(json_value::object o) {
    return json_value(json_value::storage(std::move(o)));
}

simdjson::dom::element dom_of(simdjson::dom::parser& parser, const std::string& line) {
    simdjson::dom::element e;
    EXPECT_EQ(parser.parse(line).get(e), simdjson::SUCCESS) << line;
    return e;
}

struct pack_case {
    const char* name;
    std::string line;
    json_value expected;
};

class parser_packed_json : public testing::TestWithParam<pack_case> {};

TEST_P(parser_packed_json, dom_and_tree_pack_to_the_same_value) {
    const auto& c = GetParam();
    simdjson::dom::parser parser;
    json_packer packer;
    EXPECT_EQ(packer.pack(dom_of(parser, c.line)).to_json_value(), c.expected);
    // The precise path builds a tree first; packing it must agree with packing the DOM.
    json_value tree;
    std::string error;
    ASSERT_TRUE(parse_json_precise(c.line, tree, error)) << error;
    EXPECT_EQ(packed_json(tree).to_json_value(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    parser, parser_packed_json,
    testing::Values(
        pack_case{"scalar_string", R"("a\u0000b")", str(std::string("a\0b", 3))},
        pack_case{"scalar_null", "null", json_value()},
        pack_case{"keys_sorted_by_bytes", R"({"b":1,"B":2,"ab":3,"a":4,"\u00e9":5})",
                  obj({{"B", num(std::uint64_t{2})},
                       {"a", num(std::uint64_t{4})},
                       {"ab", num(std::uint64_t{3})},
                       {"b", num(std::uint64_t{1})},
                       {"\xc3\xa9", num(std::uint64_t{5})}})},
        pack_case{"repeated_key_last_wins", R"({"k":{"x":[1,2]},"a":0,"k":"last"})",
                  obj({{"a", num(std::uint64_t{0})}, {"k", str("last")}})},
        pack_case{"repeated_key_last_is_container", R"({"k":1,"k":{"z":1,"y":[]}})",
                  obj({{"k", obj({{"y", arr({})}, {"z", num(std::uint64_t{1})}})}})},
        pack_case{"three_repeats_in_order", R"({"a":1,"a":2,"a":3})",
                  obj({{"a", num(std::uint64_t{3})}})},
        pack_case{"sorted_input_kept", R"({"a":[],"b":{},"c":null})",
                  obj({{"a", arr({})}, {"b", obj({})}, {"c", json_value()}})},
        pack_case{"number_forms", "[0,18446744073709551615,-9223372036854775808,-1,1.5,1e3]",
                  arr({num(std::uint64_t{0}), num(std::uint64_t{18446744073709551615U}),
                       num(std::int64_t{-9223372036854775807LL - 1}), num(std::int64_t{-1}),
                       num(1.5), num(1000.0)})},
        pack_case{"booleans_and_nulls", "[true,false,null]",
                  arr({json_value(json_value::storage(true)),
                       json_value(json_value::storage(false)), json_value()})},
        pack_case{"siblings_after_deep_subtrees",
                  R"([{"d":[[["x"]]],"c":{"b":{"a":1}}},"after",{"z":[{}],"y":2}])",
                  arr({obj({{"c", obj({{"b", obj({{"a", num(std::uint64_t{1})}})}})},
                            {"d", arr({arr({arr({str("x")})})})}}),
                       str("after"), obj({{"y", num(std::uint64_t{2})}, {"z", arr({obj({})})}})})}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(parser, packer_is_reused_without_leftovers) {
    simdjson::dom::parser parser;
    json_packer packer;
    packed_json first = packer.pack(dom_of(parser, R"({"b":[1,{"c":2}],"a":"x"})"));
    packed_json second = packer.pack(dom_of(parser, R"(["y"])"));
    EXPECT_EQ(second.to_json_value(), arr({str("y")}));
    EXPECT_EQ(first.to_json_value(),
              obj({{"a", str("x")},
                   {"b", arr({num(std::uint64_t{1}), obj({{"c", num(std::uint64_t{2})}})})}}));
}

TEST(parser, packer_takes_the_deepest_accepted_nesting) {
    simdjson::dom::parser parser;
    // simdjson counts the innermost non-empty container one level deeper than the reader's
    // limit does; room to spare keeps this about the packer's own stack.
    ASSERT_EQ(parser.allocate(1 << 16, 2 * max_json_depth), simdjson::SUCCESS);
    json_packer packer;
    const std::string line = std::string(126, '[') + "{\"k\":1}" + std::string(126, ']');
    packed_json packed = packer.pack(dom_of(parser, line));
    packed_json::view v = packed.root();
    for (int depth = 0; depth < 126; ++depth) {
        ASSERT_EQ(v.kind(), packed_json::kind::array) << depth;
        ASSERT_EQ(v.size(), 1U);
        v = v.first_child();
    }
    ASSERT_EQ(v.kind(), packed_json::kind::object);
    EXPECT_EQ(v.first_child().string(), "k");
    EXPECT_EQ(v.first_child().next_sibling().uint(), 1U);
}

TEST(parser, negative_zero_packs_as_a_negative_double) {
    // simdjson reads -0 as an integer, so the reader sends such lines down the precise path.
    line_reader reader;
    const std::string line = R"({"a":-0})";
    ASSERT_EQ(reader.parse(line, line.size()), line_reader::outcome::value);
    packed_json packed(reader.value());
    packed_json::view value = packed.root().first_child().next_sibling();
    ASSERT_EQ(value.kind(), packed_json::kind::real);
    EXPECT_TRUE(std::signbit(value.real()));
}

}  // namespace
}  // namespace kestro::detail
