// The flat index: growth, removal, keys that differ in few bytes, present keys, text keys and
// keys crafted to collide; the keyed hash it runs on.
#include "types/flat_index.hpp"
#include "types/keyed_hash.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// The unkeyed hash the index once used: it folds the halves, so anyone can pick identifiers that
// share one hash value.
struct folding_hash {
    std::size_t operator()(const uuid& u) const noexcept {
        std::uint64_t a = 0;
        std::uint64_t b = 0;
        std::memcpy(&a, u.bytes.data(), 8);
        std::memcpy(&b, u.bytes.data() + 8, 8);
        return static_cast<std::size_t>(a ^ (b * 0x9E3779B97F4A7C15ULL));
    }
};

// n identifiers whose folded hashes all equal one value: the second half counts, the first half
// cancels it.
std::vector<uuid> crafted_against_folding(std::size_t n) {
    std::vector<uuid> ids(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t b = i + 1;
        const std::uint64_t a = 0x0123456789ABCDEFULL ^ (b * 0x9E3779B97F4A7C15ULL);
        std::memcpy(ids[i].bytes.data(), &a, 8);
        std::memcpy(ids[i].bytes.data() + 8, &b, 8);
    }
    return ids;
}

template <class Index>
std::size_t displacement_after_inserting(const std::vector<uuid>& ids) {
    Index index;
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_TRUE(index.try_emplace(ids[i], i).second);
    return index.displacement();
}

TEST(types, flat_index_probes_stay_linear_for_identifiers_crafted_to_collide) {
    constexpr std::size_t count = 4000;
    const std::vector<uuid> ids = crafted_against_folding(count);
    // The set does defeat the unkeyed hash: every key lands on one home, so the probes grow
    // with the square of the count.
    const std::size_t unkeyed = displacement_after_inserting<flat_index<uuid, folding_hash>>(ids);
    EXPECT_EQ(unkeyed, count * (count - 1) / 2);
    // Keyed, the same set costs what random keys cost: under one extra probe per key at this
    // load (at most three quarters full).
    EXPECT_LT(displacement_after_inserting<uuid_index>(ids), 2 * count);
}

// Published SipHash-2-4 vectors (key 00..0f, message 00..len-1): they check the rounds and the
// length word that the 1-3 variant shares.
struct sip_vector {
    const char* name;
    std::size_t length;
    std::uint64_t expected;
};

class keyed_hash_vectors : public ::testing::TestWithParam<sip_vector> {};

TEST_P(keyed_hash_vectors, sip_hash_2_4_matches_the_reference) {
    hash_key key{};
    unsigned char key_bytes[16];
    for (unsigned i = 0; i < 16; ++i)
        key_bytes[i] = static_cast<unsigned char>(i);
    std::memcpy(key.data(), key_bytes, 16);
    unsigned char message[64];
    for (unsigned i = 0; i < 64; ++i)
        message[i] = static_cast<unsigned char>(i);
    EXPECT_EQ((detail::sip_hash<2, 4>(key, message, GetParam().length)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(types, keyed_hash_vectors,
                         ::testing::Values(sip_vector{"empty", 0, 0x726fdb47dd0e0e31ULL},
                                           sip_vector{"one_byte", 1, 0x74f839c593dc67fdULL},
                                           sip_vector{"seven_bytes", 7, 0xab0200f58b01d137ULL},
                                           sip_vector{"eight_bytes", 8, 0x93f5f5799a932462ULL},
                                           sip_vector{"fifteen_bytes", 15, 0xa129ca6149be45e5ULL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(types, keyed_hash_depends_on_the_key_and_every_byte) {
    const hash_key& process = process_hash_key();
    EXPECT_EQ(&process, &process_hash_key());
    const hash_key other{process[0] ^ 1, process[1]};
    const uuid a = crafted_against_folding(2)[0];
    uuid b = a;
    b.bytes[15] ^= 0x80;
    EXPECT_NE(keyed_hash(process, a.bytes.data(), 16), keyed_hash(other, a.bytes.data(), 16));
    EXPECT_NE(keyed_hash(a.bytes.data(), 16), keyed_hash(b.bytes.data(), 16));
    EXPECT_EQ(uuid_hash{}(a), keyed_hash(a.bytes.data(), 16));
}

}  // namespace
}  // namespace kestro
