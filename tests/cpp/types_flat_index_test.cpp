// The flat index: growth, removal, keys that differ in few bytes, present keys and text keys.
#include "types/flat_index.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestro {
namespace {

// Identifiers whose bytes are zero except for a counter written big-endian at `first_byte`
// onward: hand-made logs number their records like this, not randomly.
struct counter_layout {
    const char* name;
    std::size_t first_byte;
    std::size_t width;
};

uuid counted(const counter_layout& layout, std::size_t n) {
    uuid u;
    for (std::size_t k = layout.width; k > 0; --k) {
        u.bytes[layout.first_byte + k - 1] = static_cast<std::uint8_t>(n & 0xFF);
        n >>= 8;
    }
    return u;
}

class flat_index_counters : public ::testing::TestWithParam<counter_layout> {};

TEST_P(flat_index_counters, grows_from_empty_and_finds_every_key) {
    constexpr std::size_t count = 5000;
    uuid_index index;
    for (std::size_t n = 0; n < count; ++n) {
        const auto [value, inserted] = index.try_emplace(counted(GetParam(), n), n);
        ASSERT_TRUE(inserted) << n;
        ASSERT_EQ(*value, n);
    }
    EXPECT_EQ(index.size(), 5000u);
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t* value = index.find(counted(GetParam(), n));
        ASSERT_NE(value, nullptr) << n;
        EXPECT_EQ(*value, n);
    }
    EXPECT_EQ(index.find(counted(GetParam(), 5000)), nullptr);
    EXPECT_EQ(index.find(counted(GetParam(), 65535)), nullptr);
}

TEST_P(flat_index_counters, take_leaves_the_other_keys_reachable) {
    constexpr std::size_t count = 3000;
    uuid_index index(count);
    for (std::size_t n = 0; n < count; ++n)
        index.try_emplace(counted(GetParam(), n), n);
    for (std::size_t n = 0; n < count; n += 3)
        ASSERT_EQ(index.take(counted(GetParam(), n)), n);
    EXPECT_EQ(index.size(), 2000u);
    EXPECT_EQ(index.take(counted(GetParam(), 0)), std::nullopt);
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t* value = index.find(counted(GetParam(), n));
        if (n % 3 == 0) {
            EXPECT_EQ(value, nullptr) << n;
        } else {
            ASSERT_NE(value, nullptr) << n;
            EXPECT_EQ(*value, n);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(types, flat_index_counters,
                         ::testing::Values(counter_layout{"last_bytes", 14, 2},
                                           counter_layout{"first_bytes", 0, 2},
                                           counter_layout{"end_of_first_half", 6, 2},
                                           counter_layout{"start_of_second_half", 8, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(types, flat_index_keeps_the_first_value_of_a_present_key) {
    uuid_index index(4);
    const uuid zero;  // the all-zero identifier is a key like any other
    EXPECT_EQ(index.find(zero), nullptr);
    EXPECT_TRUE(index.try_emplace(zero, 7).second);
    const auto [value, inserted] = index.try_emplace(zero, 9);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(*value, 7u);
    *value = 3;
    EXPECT_EQ(*index.find(zero), 3u);
    EXPECT_EQ(index.size(), 1u);
}

TEST(types, flat_index_compares_text_keys_by_content) {
    const std::vector<std::string> stored{"toolu_01", "toolu_02", "", "toolu_010"};
    text_index index;
    for (std::size_t i = 0; i < stored.size(); ++i)
        ASSERT_TRUE(index.try_emplace(stored[i], i).second);
    const std::string probe = "toolu_0" + std::string("10");
    ASSERT_NE(index.find(probe), nullptr);
    EXPECT_EQ(*index.find(probe), 3u);
    ASSERT_NE(index.find(std::string_view()), nullptr);
    EXPECT_EQ(*index.find(std::string_view()), 2u);
    EXPECT_EQ(index.find("toolu_0"), nullptr);
}

}  // namespace
}  // namespace kestro
