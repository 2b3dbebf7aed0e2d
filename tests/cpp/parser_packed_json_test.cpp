// Packing tool inputs straight from the DOM: key order, repeated keys, numbers, nesting.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "parser/json_reader.hpp"
#include "parser/json_view.hpp"

namespace kestro::detail {
namespace {

// The value of a JSON text through the precise reader, for writing expected values as text;
// expected texts have sorted, distinct keys, so they do not lean on what is tested here.
json_value value_of(const std::string& text) {
    auto v = parse_json_precise(text);
    EXPECT_TRUE(v) << v.error().render();
    return v ? std::move(v).value() : json_value();
}

simdjson::dom::element dom_of(simdjson::dom::parser& parser, const std::string& line) {
    simdjson::dom::element e;
    EXPECT_EQ(parser.parse(line).get(e), simdjson::SUCCESS) << line;
    return e;
}

struct pack_case {
    const char* name;
    std::string line;
    std::string expected;
};

class parser_packed_json : public testing::TestWithParam<pack_case> {};

TEST_P(parser_packed_json, dom_and_tree_pack_to_the_same_value) {
    const auto& c = GetParam();
    simdjson::dom::parser parser;
    json_packer packer;
    EXPECT_EQ(packer.pack(dom_of(parser, c.line)).to_json_value(), value_of(c.expected));
    // The precise path builds a tree first; packing it must agree with packing the DOM.
    EXPECT_EQ(packed_json(value_of(c.line)).to_json_value(), value_of(c.expected));
}

const std::vector<pack_case> pack_cases{
    {"scalar_string", R"("a\u0000b")", R"("a\u0000b")"},
    {"scalar_null", "null", "null"},
    {"keys_sorted_by_bytes", R"({"b":1,"B":2,"ab":3,"a":4,"\u00e9":5})",
     R"({"B":2,"a":4,"ab":3,"b":1,"\u00e9":5})"},
    {"repeated_key_last_wins", R"({"k":{"x":[1,2]},"a":0,"k":"last"})", R"({"a":0,"k":"last"})"},
    {"repeated_key_last_is_container", R"({"k":1,"k":{"z":1,"y":[]}})", R"({"k":{"y":[],"z":1}})"},
    {"three_repeats_in_order", R"({"a":1,"a":2,"a":3})", R"({"a":3})"},
    {"sorted_input_kept", R"({"a":[],"b":{},"c":null})", R"({"a":[],"b":{},"c":null})"},
    {"scalar_forms", "[0,18446744073709551615,-9223372036854775808,-1,1.5,1e3,true,false,null]",
     "[0,18446744073709551615,-9223372036854775808,-1,1.5,1000.0,true,false,null]"},
    {"siblings_after_deep_subtrees",
     R"([{"d":[[["x"]]],"c":{"b":{"a":1}}},"after",{"z":[{}],"y":2}])",
     R"([{"c":{"b":{"a":1}},"d":[[["x"]]]},"after",{"y":2,"z":[{}]}])"}};

INSTANTIATE_TEST_SUITE_P(parser, parser_packed_json, testing::ValuesIn(pack_cases),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(parser, packer_is_reused_without_leftovers) {
    simdjson::dom::parser parser;
    json_packer packer;
    packed_json first = packer.pack(dom_of(parser, R"({"b":[1,{"c":2}],"a":"x"})"));
    packed_json second = packer.pack(dom_of(parser, R"(["y"])"));
    EXPECT_EQ(second.to_json_value(), value_of(R"(["y"])"));
    EXPECT_EQ(first.to_json_value(), value_of(R"({"a":"x","b":[1,{"c":2}]})"));
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

}  // namespace
}  // namespace kestro::detail
