// The packed JSON value: reading it through views, copies, and the way back to a tree.
#include "types/packed_json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestro {
namespace {

json_value val(json_value::storage v) {
    return json_value(std::move(v));
}

// {"a": [1, "two", {"x": null}], "b": true}
json_value sample() {
    return val(json_value::object{
        {"a", val(json_value::array{val(std::uint64_t{1}), val(std::string("two")),
                                    val(json_value::object{{"x", json_value()}})})},
        {"b", val(true)}});
}

TEST(types, packed_json_views_walk_members_and_skip_subtrees) {
    packed_json v(sample());
    packed_json::view root = v.root();
    ASSERT_EQ(root.kind(), packed_json::kind::object);
    EXPECT_EQ(root.size(), 2U);
    packed_json::view key_a = root.first_child();
    EXPECT_EQ(key_a.string(), "a");
    packed_json::view list = key_a.next_sibling();
    ASSERT_EQ(list.kind(), packed_json::kind::array);
    EXPECT_EQ(list.size(), 3U);
    EXPECT_EQ(list.first_child().uint(), 1U);
    EXPECT_EQ(list.first_child().next_sibling().string(), "two");
    // The list's sibling is the next key, past the nested object.
    packed_json::view key_b = list.next_sibling();
    EXPECT_EQ(key_b.string(), "b");
    EXPECT_TRUE(key_b.next_sibling().boolean());
}

TEST(types, packed_json_copy_outlives_original) {
    auto original = std::make_unique<packed_json>(sample());
    packed_json copy(*original);
    packed_json assigned;
    assigned = *original;
    original.reset();
    EXPECT_EQ(copy.to_json_value(), sample());
    EXPECT_EQ(assigned.to_json_value(), sample());
}

TEST(types, packed_json_scalars_keep_their_form) {
    // Values come back equal through to_json_value; the kinds and the sign of zero, which
    // equality cannot see, are read here.
    EXPECT_TRUE(packed_json().is_null());
    EXPECT_EQ(packed_json().to_json_value(), json_value());
    const json_value list =
        val(json_value::array{json_value(), val(std::uint64_t{18446744073709551615U}),
                              val(std::int64_t{-9223372036854775807LL - 1}), val(std::int64_t{7}),
                              val(-0.0), val(false), val(std::string("a\0b", 3))});
    packed_json packed(list);
    EXPECT_EQ(packed.to_json_value(), list);
    std::vector<packed_json::kind> kinds;
    for (packed_json::view v = packed.root().first_child(); kinds.size() < 7; v = v.next_sibling())
        kinds.push_back(v.kind());
    using k = packed_json::kind;
    // A positive signed integer stays signed.
    EXPECT_EQ(kinds,
              (std::vector{k::null, k::uint, k::sint, k::sint, k::real, k::boolean, k::string}));
    packed_json zero(val(-0.0));
    EXPECT_TRUE(std::signbit(zero.root().real()));
}

}  // namespace
}  // namespace kestro
