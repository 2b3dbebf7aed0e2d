// The row index: rows found through their own keys, with spread hashes and with one shared hash,
// across growth from empty.
#include "types/keyed_hash.hpp"
#include "types/row_index.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {
namespace {

struct hashing {
    const char* name;
    std::uint64_t (*hash)(std::string_view);
};

class row_index_hashing : public ::testing::TestWithParam<hashing> {};

TEST_P(row_index_hashing, finds_each_row_by_its_key_after_growing_from_empty) {
    std::vector<std::string> rows;
    for (int n = 0; n < 3000; ++n)
        rows.push_back("msg_" + std::to_string(n));
    const auto hash = GetParam().hash;
    row_index index;
    auto holding = [&](std::string_view key) {
        return [&rows, key](std::size_t row) { return rows[row] == key; };
    };
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const auto [at, added] =
            index.try_emplace(hash(rows[row]), row_index::row_of(row), holding(rows[row]));
        ASSERT_TRUE(added) << row;
        ASSERT_EQ(*at, row);
    }
    EXPECT_EQ(index.size(), rows.size());
    // A key met again gives its first row, which the caller may replace.
    const auto [again, added] = index.try_emplace(hash("msg_17"), 99999, holding("msg_17"));
    EXPECT_FALSE(added);
    EXPECT_EQ(*again, 17u);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const row_index::row_type* at = index.find(hash(rows[row]), holding(rows[row]));
        ASSERT_NE(at, nullptr) << row;
        EXPECT_EQ(*at, row);
    }
    EXPECT_EQ(index.find(hash("msg_3000"), holding("msg_3000")), nullptr);
    EXPECT_EQ(row_index().find(hash("msg_0"), holding("msg_0")), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    types, row_index_hashing,
    ::testing::Values(hashing{"keyed",
                              [](std::string_view k) { return keyed_hash(k.data(), k.size()); }},
                      // Every key on one slot: only the rows' own keys tell them apart.
                      hashing{"one_hash", [](std::string_view) { return std::uint64_t{42}; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestro
