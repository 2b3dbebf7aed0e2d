// Tests of the reply forest: hand cases, a literal reference on random graphs, long chains.
#include "conversation/tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

namespace kestro {
namespace {

// Identifiers are small numbers; 0 is never used so that "no parent" stays distinct.
uuid id(unsigned n) {
    uuid u;
    std::memcpy(&u.bytes[12], &n, sizeof n);
    return u;
}

unsigned num(const uuid& u) {
    unsigned n = 0;
    std::memcpy(&n, &u.bytes[12], sizeof n);
    return n;
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
// roots separated by blanks; "1(2 3)" is record 1 with children 2 and 3. Recursive: the trees
// printed here are at most a dozen records deep.
std::string forest_text(const conversation_tree& t, std::span<const std::size_t> nodes) {
    std::string out;
    for (const std::size_t n : nodes) {
        out += (out.empty() ? "" : " ") + std::to_string(t.nodes[n].record);
        if (!t.children_of(n).empty()) out += "(" + forest_text(t, t.children_of(n)) + ")";
    }
    return out;
}

// Orphans as "3 2", circular references as "1>1 3>1" (message, first repeated identifier).
template <class T>
std::string ids_text(const std::vector<T>& items) {
    std::string out;
    for (const T& item : items) {
        out += out.empty() ? "" : " ";
        if constexpr (std::is_same_v<T, uuid>) {
            out += std::to_string(num(item));
        } else {
            out += std::to_string(num(item.first)) + ">" + std::to_string(num(item.second));
        }
    }
    return out;
}

// "forest|orphans|cycles"
std::string shape_text(const conversation_tree& t) {
    return forest_text(t, t.roots) + "|" + ids_text(t.orphaned_messages) + "|" +
           ids_text(t.circular_references);
}

// Links written as "3>1 1": record 0 has identifier 3 and answers 1, record 1 is the root 1.
std::vector<link> parse_links(const std::string& text) {
    std::vector<link> out;
    std::istringstream in(text);
    for (std::string token; in >> token;) {
        const auto arrow = token.find('>');
        out.push_back(
            {unsigned(std::stoul(token.substr(0, arrow))),
             arrow == std::string::npos ? 0 : unsigned(std::stoul(token.substr(arrow + 1)))});
    }
    return out;
}

struct tree_case {
    const char* name;
    const char* links;
    const char* shape;  // shape_text, "|", then messages, depth, branches, leaves
};

class tree_cases : public ::testing::TestWithParam<tree_case> {};

TEST_P(tree_cases, builds_expected_forest) {
    const conversation_tree t = build_conversation_tree(records_of(parse_links(GetParam().links)));
    const conversation_stats s = compute_stats(t);
    EXPECT_EQ(shape_text(t) + "|" + std::to_string(s.total_messages) + " " +
                  std::to_string(s.max_depth) + " " + std::to_string(s.num_branches) + " " +
                  std::to_string(s.leaf_count),
              GetParam().shape);
}

const std::vector<tree_case> tree_shapes{
    {"empty", "", "|||0 0 0 0"},
    {"replies_before_parent_in_file_order", "3>1 1 2>1 4>1", "1(0 2 3)|||4 2 1 3"},
    {"five_children_count_one_branch", "1 2>1 3>1 4>1 5>1 6>1 7>6 8>6",
     "0(1 2 3 4 5(6 7))|||8 3 2 6"},
    {"orphans_in_file_order_and_their_replies_dropped", "3>8 1 2>9 4>2", "1|3 2||1 1 0 1"},
    {"self_parent", "1>1", "||1>1|0 0 0 0"},
    {"reply_into_loop_reports_entry", "1>2 2>1 3>1 4>3", "||1>1 2>2 3>1 4>1|0 0 0 0"},
    {"tail_met_before_loop_reports_entry", "4>3 3>1 1>2 2>1 7", "4||4>1 3>1 1>1 2>2|1 1 0 1"},
    // Record 2 shares the root's identifier and is the one the index keeps; its parent 2
    // answers 1, so walks through identifier 1 now loop.
    {"later_duplicate_drives_cycle_check", "1 2>1 1>2", "0||2>2 1>1|1 1 0 1"},
    // Both records of identifier 1 are roots; the first created takes the children.
    {"duplicate_roots_first_takes_children", "1 1 2>1 3>1", "0(2 3) 1|||4 2 1 3"},
    // Identifier 2 is both a root (record 3) and a reply (record 1); depth first from the
    // first root reaches record 1 before the second root, so record 1 takes the group.
    {"duplicate_reached_depth_first_takes_children", "1 2>1 5>2 2", "0(1(2)) 3|||4 3 0 2"}};

INSTANTIATE_TEST_SUITE_P(conversation, tree_cases, ::testing::ValuesIn(tree_shapes),
                         [](const auto& p) { return std::string(p.param.name); });

// The build exactly as the algorithm is stated: a fresh visited set per record, maps of copies,
// and recursion for the nodes (inputs here are tiny). Appends the forest in the form of
// forest_text and counts its statistics on the way.
struct reference {
    const std::vector<message_record>& m;
    std::map<std::optional<uuid>, std::vector<std::size_t>> c;
    std::string forest;
    conversation_stats stats;

    std::uint64_t node(std::size_t r) {  // returns the depth below and including r
        forest += std::to_string(r);
        ++stats.total_messages;
        std::vector<std::size_t> kids;
        if (auto it = c.find(m[r].uuid); it != c.end()) {
            kids = std::move(it->second);
            c.erase(it);
        }
        stats.leaf_count += kids.empty();
        stats.num_branches += kids.size() > 1;
        std::uint64_t depth = 0;
        for (std::size_t i = 0; i < kids.size(); ++i) {
            forest += i ? " " : "(";
            depth = std::max(depth, node(kids[i]));
        }
        if (!kids.empty()) forest += ')';
        return depth + 1;
    }
};

TEST(conversation, matches_literal_build_on_random_graphs) {
    std::mt19937 rng(20250601);
    auto pick = [&](unsigned lo, unsigned hi) {
        return std::uniform_int_distribution<unsigned>(lo, hi)(rng);
    };
    std::size_t with_cycle = 0, with_deep_tail = 0, with_orphan = 0, with_branch = 0;
    for (int round = 0; round < 20000; ++round) {
        // A pool a little larger than n gives duplicates, and parents outside the session.
        const unsigned n = pick(0, 12), pool = n + 3;
        std::vector<link> links;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned self = pick(1, pool), roll = pick(0, 9);
            links.push_back({self, roll == 9 ? self : roll >= 3 ? pick(1, pool) : 0});
        }
        const auto m = records_of(links);
        std::set<uuid> s;
        std::map<uuid, std::size_t> index;
        for (std::size_t i = 0; i < m.size(); ++i) {
            s.insert(m[i].uuid);
            index[m[i].uuid] = i;
        }
        reference want{m, {}, {}, {}};
        std::vector<uuid> orphans;
        std::vector<std::pair<uuid, uuid>> cycles;
        for (std::size_t i = 0; i < m.size(); ++i) {
            if (!m[i].parent_uuid) {
                want.c[std::nullopt].push_back(i);
                continue;
            }
            if (!s.count(*m[i].parent_uuid)) {
                orphans.push_back(m[i].uuid);
                continue;
            }
            std::set<uuid> visited;
            std::optional<uuid> cur = m[i].uuid;
            while (cur && visited.insert(*cur).second) {
                auto found = index.find(*cur);
                cur = found == index.end() ? std::nullopt : m[found->second].parent_uuid;
            }
            if (cur) {
                cycles.emplace_back(m[i].uuid, *cur);
            } else {
                want.c[m[i].parent_uuid].push_back(i);
            }
        }
        const auto roots = std::move(want.c[std::nullopt]);
        want.c.erase(std::nullopt);
        for (std::size_t i = 0; i < roots.size(); ++i) {
            if (i) want.forest += ' ';
            want.stats.max_depth = std::max(want.stats.max_depth, want.node(roots[i]));
        }

        const conversation_tree got = build_conversation_tree(m);
        ASSERT_EQ(shape_text(got), want.forest + "|" + ids_text(orphans) + "|" + ids_text(cycles))
            << "round " << round;
        ASSERT_EQ(compute_stats(got), want.stats) << "round " << round;
        with_cycle += !cycles.empty();
        with_deep_tail += std::any_of(cycles.begin(), cycles.end(),
                                      [](const auto& p) { return p.first != p.second; });
        with_orphan += !orphans.empty();
        with_branch += want.stats.num_branches > 0;
    }
    // The generator must actually produce the shapes the comparison is meant to cover.
    EXPECT_GT(with_cycle, 1000u);
    EXPECT_GT(with_deep_tail, 500u);
    EXPECT_GT(with_orphan, 1000u);
    EXPECT_GT(with_branch, 1000u);
}

TEST(conversation, million_message_chains_build_in_linear_time) {
    constexpr unsigned length = 1'000'000;
    // A plain chain, and one hanging from a loop: 1 and 2 answer each other, 3 answers 2, and
    // every later message the one before it.
    for (std::vector<link> links : {std::vector<link>{{1, 0}}, std::vector<link>{{1, 2}, {2, 1}}}) {
        for (unsigned i = unsigned(links.size()) + 1; i <= length; ++i)
            links.push_back({i, i - 1});
        const auto m = records_of(links);
        const auto start = std::chrono::steady_clock::now();
        const conversation_tree t = build_conversation_tree(m);
        const conversation_stats stats = compute_stats(t);
        // A per-record ancestor walk would need about 5e11 steps here; linear work is well under.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
        if (links[0].parent == 0) {
            EXPECT_EQ(stats, (conversation_stats{length, length, 0, 1}));
            EXPECT_TRUE(t.orphaned_messages.empty() && t.circular_references.empty());
            continue;
        }
        ASSERT_EQ(t.circular_references.size(), std::size_t{length});
        const auto& c = t.circular_references;
        EXPECT_EQ(ids_text(std::vector{c[0], c[1], c[2], c.back()}), "1>1 2>2 3>2 1000000>2");
        EXPECT_TRUE(t.nodes.empty());
    }
}

}  // namespace
}  // namespace kestro
