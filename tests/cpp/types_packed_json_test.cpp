// The packed JSON value: reading it through views, copies, and the way back to a tree.
#include "types/packed_json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>

namespace kestro {
namespace {

json_value num(std::uint64_t u) {
    return json_value(json_value::storage(u));
}
json_value str(std::string s) {
    return json_value(json_value::storage(std::move(s)));
}

// {"a": [1, "two", {"x": null}], "b": true}
json_value sample() {
    json_value::object inner{{"x", json_value()}};
    json_value::array list{num(1), str("two"), json_value(json_value::storage(std::move(inner)))};
    json_value::object members{{"a", json_value(json_value::storage(std::move(list)))},
                               {"b", json_value(json_value::storage(true))}};
    return json_value(json_value::storage(std::move(members)));
}

TEST(types, packed_json_default_is_null) {
    packed_json v;
    EXPECT_TRUE(v.is_null());
    EXPECT_EQ(v.root().kind(), packed_json::kind::null);
    EXPECT_EQ(v.to_json_value(), json_value());
    EXPECT_TRUE(packed_json(json_value()).is_null());
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

struct scalar_case {
    const char* name;
    json_value value;
    packed_json::kind kind;
};

class types_packed_scalars : public testing::TestWithParam<scalar_case> {};

TEST_P(types_packed_scalars, keep_form_and_value) {
    const auto& c = GetParam();
    packed_json packed(c.value);
    EXPECT_EQ(packed.root().kind(), c.kind);
    EXPECT_EQ(packed.to_json_value(), c.value);
}

INSTANTIATE_TEST_SUITE_P(
    types, types_packed_scalars,
    testing::Values(
        scalar_case{"u64_max", num(18446744073709551615U), packed_json::kind::uint},
        scalar_case{"i64_min",
                    json_value(json_value::storage(std::int64_t{-9223372036854775807LL - 1})),
                    packed_json::kind::sint},
        scalar_case{"signed_positive_stays_signed",
                    json_value(json_value::storage(std::int64_t{7})), packed_json::kind::sint},
        scalar_case{"double", json_value(json_value::storage(0.1)), packed_json::kind::real},
        scalar_case{"false", json_value(json_value::storage(false)), packed_json::kind::boolean},
        scalar_case{"empty_string", str(""), packed_json::kind::string},
        scalar_case{"string_with_nul", str(std::string("a\0b", 3)), packed_json::kind::string}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(types, packed_json_keeps_negative_zero) {
    packed_json packed(json_value(json_value::storage(-0.0)));
    EXPECT_TRUE(std::signbit(packed.root().real()));
}

}  // namespace
}  // namespace kestro
