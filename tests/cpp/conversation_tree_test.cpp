// Tests of the reply forest: hand cases, a literal reference on random graphs, long chains.
#include "conversation/tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kestro {
namespace {

// Identifiers are small numbers; 0 is never used so that "no parent" stays distinct.
uuid id(unsigned n) {
    uuid u;
    u.bytes[12] = static_cast<std::uint8_t>(n >> 24);
    u.bytes[13] = static_cast<std::uint8_t>(n >> 16);
    u.bytes[14] = static_cast<std::uint8_t>(n >> 8);
    u.bytes[15] = static_cast<std::uint8_t>(n);
    return u;
}

unsigned num(const uuid& u) {
    return (unsigned{u.bytes[12]} << 24) | (unsigned{u.bytes[13]} << 16) |
           (unsigned{u.bytes[14]} << 8) | unsigned{u.bytes[15]};
}

struct link {
    unsigned self;
    unsigned parent;  // 0: none
};

std::vector<message_record> records_of(const std::vector<link>& links) {
    std::vector<message_record> out(links.size());
    for (std::size_t i = 0; i < links.size(); ++i) {
        out[i].uuid = id(links[i].self);
        if (links[i].parent != 0) out[i].parent_uuid = id(links[i].parent);
    }
    return out;
}

// The forest as text: each node is its record index, children in parentheses, siblings and
// roots separated by blanks; "1(2 3)" is record 1 with children 2 and 3.
std::string forest_text(const conversation_tree& t) {
    std::string out;
    struct frame {
        std::size_t node;
        bool close;
    };
    std::vector<frame> stack;
    for (auto it = t.roots.rbegin(); it != t.roots.rend(); ++it)
        stack.push_back({*it, false});
    bool need_blank = false;
    while (!stack.empty()) {
        const frame f = stack.back();
        stack.pop_back();
        if (f.close) {
            out += ')';
            need_blank = true;
            continue;
        }
        if (need_blank) out += ' ';
        out += std::to_string(t.nodes[f.node].record);
        need_blank = true;
        const auto kids = t.children_of(f.node);
        if (kids.empty()) continue;
        out += '(';
        need_blank = false;
        stack.push_back({0, true});
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.push_back({*it, false});
    }
    return out;
}

std::string orphans_text(const std::vector<uuid>& ids) {
    std::string out;
    for (const uuid& u : ids)
        out += (out.empty() ? "" : " ") + std::to_string(num(u));
    return out;
}

std::string cycles_text(const std::vector<std::pair<uuid, uuid>>& pairs) {
    std::string out;
    for (const auto& [a, b] : pairs) {
        out += (out.empty() ? "" : " ") + std::to_string(num(a)) + ">" + std::to_string(num(b));
    }
    return out;
}

struct tree_case {
    const char* name;
    std::vector<link> links;
    const char* forest;
    const char* orphans;
    const char* cycles;  // "a>b": message a, first repeated identifier b
    conversation_stats stats;
};

void PrintTo(const tree_case& c, std::ostream* os) {
    *os << c.name;
}

class tree_cases : public ::testing::TestWithParam<tree_case> {};

TEST_P(tree_cases, builds_expected_forest) {
    const tree_case& c = GetParam();
    const auto records = records_of(c.links);
    const conversation_tree t = build_conversation_tree(records);
    EXPECT_EQ(forest_text(t), c.forest);
    EXPECT_EQ(orphans_text(t.orphaned_messages), c.orphans);
    EXPECT_EQ(cycles_text(t.circular_references), c.cycles);
    EXPECT_EQ(compute_stats(t), c.stats);
}

INSTANTIATE_TEST_SUITE_P(
    conversation, tree_cases,
    ::testing::Values(
        tree_case{"empty", {}, "", "", "", {0, 0, 0, 0}},
        tree_case{"lone_root", {{1, 0}}, "0", "", "", {1, 1, 0, 1}},
        tree_case{"chain_of_three", {{1, 0}, {2, 1}, {3, 2}}, "0(1(2))", "", "", {3, 3, 0, 1}},
        tree_case{
            "root_with_two_replies", {{1, 0}, {2, 1}, {3, 1}}, "0(1 2)", "", "", {3, 2, 1, 2}},
        tree_case{"two_roots_in_file_order", {{5, 0}, {2, 0}}, "0 1", "", "", {2, 1, 0, 2}},
        tree_case{"reply_before_parent", {{2, 1}, {1, 0}}, "1(0)", "", "", {2, 2, 0, 1}},
        tree_case{"children_in_file_order",
                  {{3, 1}, {1, 0}, {2, 1}, {4, 1}},
                  "1(0 2 3)",
                  "",
                  "",
                  {4, 2, 1, 3}},
        tree_case{"five_children_count_one_branch",
                  {{1, 0}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 6}, {8, 6}},
                  "0(1 2 3 4 5(6 7))",
                  "",
                  "",
                  {8, 3, 2, 6}},
        tree_case{"orphan_and_its_reply_dropped",
                  {{1, 0}, {2, 9}, {3, 2}, {4, 3}},
                  "0",
                  "2",
                  "",
                  {1, 1, 0, 1}},
        tree_case{"self_parent", {{1, 1}}, "", "", "1>1", {0, 0, 0, 0}},
        tree_case{"two_cycle", {{1, 2}, {2, 1}}, "", "", "1>1 2>2", {0, 0, 0, 0}},
        tree_case{"three_cycle", {{1, 3}, {2, 1}, {3, 2}}, "", "", "1>1 2>2 3>3", {0, 0, 0, 0}},
        tree_case{"reply_into_loop_reports_entry",
                  {{1, 2}, {2, 1}, {3, 1}, {4, 3}},
                  "",
                  "",
                  "1>1 2>2 3>1 4>1",
                  {0, 0, 0, 0}},
        tree_case{"tail_met_before_loop_reports_entry",
                  {{4, 3}, {3, 1}, {1, 2}, {2, 1}, {7, 0}},
                  "4",
                  "",
                  "4>1 3>1 1>1 2>2",
                  {1, 1, 0, 1}},
        // Record 2 shares the root's identifier and is the one the index keeps; its parent 2
        // answers 1, so walks through identifier 1 now loop.
        tree_case{"later_duplicate_drives_cycle_check",
                  {{1, 0}, {2, 1}, {1, 2}},
                  "0",
                  "",
                  "2>2 1>1",
                  {1, 1, 0, 1}},
        // Both records of identifier 1 are roots; the first created takes the children.
        tree_case{"duplicate_roots_first_takes_children",
                  {{1, 0}, {1, 0}, {2, 1}, {3, 1}},
                  "0(2 3) 1",
                  "",
                  "",
                  {4, 2, 1, 3}},
        // Identifier 2 is both a root (record 3) and a reply (record 1); depth first from the
        // first root reaches record 1 before the second root, so record 1 takes the group.
        tree_case{"duplicate_reached_depth_first_takes_children",
                  {{1, 0}, {2, 1}, {5, 2}, {2, 0}},
                  "0(1(2)) 3",
                  "",
                  "",
                  {4, 3, 0, 2}},
        tree_case{
            "orphan_listed_in_file_order", {{3, 8}, {1, 0}, {2, 9}}, "1", "3 2", "", {1, 1, 0, 1}}),
    [](const ::testing::TestParamInfo<tree_case>& p) { return std::string(p.param.name); });

// The build exactly as the algorithm is stated: a fresh visited set per record, maps of
// copies, and recursion for the nodes (inputs here are tiny).
struct ref_node {
    std::size_t record;
    std::vector<ref_node> children;
};

struct ref_tree {
    std::vector<ref_node> roots;
    std::vector<uuid> orphans;
    std::vector<std::pair<uuid, uuid>> cycles;
};

ref_node ref_make(std::size_t r, const std::vector<message_record>& m,
                  std::map<std::optional<uuid>, std::vector<std::size_t>>& c) {
    ref_node n{r, {}};
    auto it = c.find(m[r].uuid);
    if (it == c.end()) return n;
    std::vector<std::size_t> kids = std::move(it->second);
    c.erase(it);
    for (std::size_t k : kids)
        n.children.push_back(ref_make(k, m, c));
    return n;
}

ref_tree reference_build(const std::vector<message_record>& m) {
    ref_tree t;
    std::set<uuid> s;
    std::map<uuid, std::size_t> r;
    for (std::size_t i = 0; i < m.size(); ++i) {
        s.insert(m[i].uuid);
        r[m[i].uuid] = i;
    }
    std::map<std::optional<uuid>, std::vector<std::size_t>> c;
    for (std::size_t i = 0; i < m.size(); ++i) {
        if (!m[i].parent_uuid) {
            c[std::nullopt].push_back(i);
            continue;
        }
        const uuid p = *m[i].parent_uuid;
        if (!s.count(p)) {
            t.orphans.push_back(m[i].uuid);
            continue;
        }
        std::set<uuid> v;
        uuid cur = m[i].uuid;
        bool looped = false;
        for (;;) {
            if (v.count(cur)) {
                t.cycles.emplace_back(m[i].uuid, cur);
                looped = true;
                break;
            }
            v.insert(cur);
            auto found = r.find(cur);
            if (found == r.end() || !m[found->second].parent_uuid) break;
            cur = *m[found->second].parent_uuid;
        }
        if (!looped) c[p].push_back(i);
    }
    std::vector<std::size_t> roots;
    if (auto it = c.find(std::nullopt); it != c.end()) {
        roots = std::move(it->second);
        c.erase(it);
    }
    for (std::size_t i : roots)
        t.roots.push_back(ref_make(i, m, c));
    return t;
}

void ref_text(const ref_node& n, std::string& out) {
    out += std::to_string(n.record);
    if (n.children.empty()) return;
    out += '(';
    for (std::size_t i = 0; i < n.children.size(); ++i) {
        if (i) out += ' ';
        ref_text(n.children[i], out);
    }
    out += ')';
}

std::uint64_t ref_depth(const ref_node& n) {
    std::uint64_t d = 0;
    for (const auto& k : n.children)
        d = std::max(d, ref_depth(k));
    return d + 1;
}

void ref_count(const ref_node& n, conversation_stats& s) {
    ++s.total_messages;
    if (n.children.empty()) ++s.leaf_count;
    if (n.children.size() > 1) ++s.num_branches;
    for (const auto& k : n.children)
        ref_count(k, s);
}

TEST(conversation, matches_literal_build_on_random_graphs) {
    std::mt19937 rng(20250601);
    std::size_t with_cycle = 0, with_orphan = 0, with_duplicate = 0, with_self_loop = 0;
    std::size_t with_branch = 0, with_deep_tail = 0;
    for (int round = 0; round < 20000; ++round) {
        const unsigned n = std::uniform_int_distribution<unsigned>(0, 12)(rng);
        // A pool a little larger than n gives duplicates, and parents outside the session.
        const unsigned pool = n + 3;
        std::vector<link> links;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned self = std::uniform_int_distribution<unsigned>(1, pool)(rng);
            const unsigned roll = std::uniform_int_distribution<unsigned>(0, 9)(rng);
            unsigned parent = 0;
            if (roll >= 3) parent = std::uniform_int_distribution<unsigned>(1, pool)(rng);
            if (roll == 9) parent = self;
            links.push_back({self, parent});
        }
        const auto m = records_of(links);
        const ref_tree want = reference_build(m);
        const conversation_tree got = build_conversation_tree(m);

        std::string want_forest;
        conversation_stats want_stats;
        for (std::size_t i = 0; i < want.roots.size(); ++i) {
            if (i) want_forest += ' ';
            ref_text(want.roots[i], want_forest);
            want_stats.max_depth = std::max(want_stats.max_depth, ref_depth(want.roots[i]));
            ref_count(want.roots[i], want_stats);
        }
        ASSERT_EQ(forest_text(got), want_forest) << "round " << round;
        ASSERT_EQ(orphans_text(got.orphaned_messages), orphans_text(want.orphans));
        ASSERT_EQ(cycles_text(got.circular_references), cycles_text(want.cycles));
        ASSERT_EQ(compute_stats(got), want_stats);

        std::set<unsigned> seen;
        for (const link& l : links) {
            if (!seen.insert(l.self).second) ++with_duplicate;
            if (l.self == l.parent) ++with_self_loop;
        }
        with_cycle += !want.cycles.empty();
        with_orphan += !want.orphans.empty();
        with_branch += want_stats.num_branches > 0;
        with_deep_tail += std::count_if(want.cycles.begin(), want.cycles.end(),
                                        [](const auto& p) { return p.first != p.second; }) > 0;
    }
    // The generator must actually produce the shapes the comparison is meant to cover.
    EXPECT_GT(with_cycle, 1000u);
    EXPECT_GT(with_deep_tail, 500u);
    EXPECT_GT(with_orphan, 1000u);
    EXPECT_GT(with_duplicate, 1000u);
    EXPECT_GT(with_self_loop, 1000u);
    EXPECT_GT(with_branch, 1000u);
}

TEST(conversation, nodes_refer_to_records_and_children_match_parents) {
    const auto m = records_of({{1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 0}});
    const conversation_tree t = build_conversation_tree(m);
    ASSERT_EQ(t.nodes.size(), 5u);
    for (std::size_t n = 0; n < t.nodes.size(); ++n) {
        for (std::size_t k : t.children_of(n)) {
            EXPECT_EQ(m[t.nodes[k].record].parent_uuid, m[t.nodes[n].record].uuid);
        }
    }
    for (std::size_t r : t.roots)
        EXPECT_FALSE(m[t.nodes[r].record].parent_uuid.has_value());
}

constexpr unsigned long_chain = 1'000'000;

TEST(conversation, million_message_chain_builds_without_deep_recursion) {
    std::vector<link> links;
    links.reserve(long_chain);
    links.push_back({1, 0});
    for (unsigned i = 2; i <= long_chain; ++i)
        links.push_back({i, i - 1});
    const auto m = records_of(links);

    const auto start = std::chrono::steady_clock::now();
    const conversation_tree t = build_conversation_tree(m);
    const conversation_stats s = compute_stats(t);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(s, (conversation_stats{long_chain, long_chain, 0, 1}));
    EXPECT_TRUE(t.orphaned_messages.empty());
    EXPECT_TRUE(t.circular_references.empty());
    ASSERT_EQ(t.roots.size(), 1u);
    EXPECT_EQ(t.nodes[t.roots[0]].record, 0u);
    // A per-record ancestor walk would need about 5e11 steps here; linear work is well under.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 10);
}

TEST(conversation, million_message_chain_hanging_from_a_loop_reports_the_entry) {
    // 1 and 2 answer each other; 3 answers 2, and every later message the one before it.
    std::vector<link> links{{1, 2}, {2, 1}};
    links.reserve(long_chain);
    for (unsigned i = 3; i <= long_chain; ++i)
        links.push_back({i, i - 1});
    const auto m = records_of(links);

    const auto start = std::chrono::steady_clock::now();
    const conversation_tree t = build_conversation_tree(m);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_EQ(t.circular_references.size(), std::size_t{long_chain});
    EXPECT_EQ(cycles_text({t.circular_references[0], t.circular_references[1]}), "1>1 2>2");
    EXPECT_EQ(cycles_text({t.circular_references[2], t.circular_references.back()}),
              "3>2 1000000>2");
    EXPECT_TRUE(t.nodes.empty());
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 10);
}

}  // namespace
}  // namespace kestro
