// Building the reply forest and its statistics, without recursion.
#include "conversation/tree.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

namespace kestro {

namespace detail {
namespace {

constexpr std::size_t none = std::numeric_limits<std::size_t>::max();

// Where the ancestor walk that starts at an identifier ends. The walk's outcome depends only on
// the starting identifier (each step looks the identifier up in the index of last records), so
// it is computed once per identifier instead of once per record: the naive walk with a fresh
// visited set is quadratic on long chains.
enum class walk_state : std::uint8_t { unknown, in_progress, ends, on_cycle, leads_into_cycle };

struct walk_outcome {
    walk_state state = walk_state::unknown;
    std::size_t entry = none;  // leads_into_cycle: the first member of the loop that is met
};

// Parent numbers that are not identifiers: the record has no parent field, or its parent is
// not an identifier of the session.
constexpr std::size_t no_parent = none;
constexpr std::size_t unknown_parent = none - 1;

// Each record's own and parent identifier number, looked up once.
struct record_links {
    std::vector<std::size_t> id;      // per record: its identifier's number
    std::vector<std::size_t> parent;  // per record: the parent's number, or one of the above
};

// Numbers the identifiers and links each record in one pass: a parent nearly always comes
// before its replies, usually just before, so its entry is still in cache when a reply looks it
// up. Numbers are fixed at first appearance, so a parent found early is found for good; only a
// parent that appears later is looked up again once all are numbered.
record_links link_records(std::span<const message_record> records, identifier_index& ids) {
    record_links links;
    links.id.resize(records.size());
    links.parent.resize(records.size());
    ids.number = uuid_index(records.size());
    ids.last_record.clear();
    ids.last_record.reserve(records.size());
    std::vector<std::size_t> parent_later;
    for (std::size_t r = 0; r < records.size(); ++r) {
        const message_record& m = records[r];
        auto [n, inserted] = ids.number.try_emplace(m.uuid, ids.last_record.size());
        if (inserted) {
            ids.last_record.push_back(r);
        } else {
            ids.last_record[*n] = r;
        }
        links.id[r] = *n;
        if (!m.parent_uuid) {
            links.parent[r] = no_parent;
        } else if (r > 0 && *m.parent_uuid == records[r - 1].uuid) {
            // Most replies answer the record just before: a compare instead of a keyed hash.
            links.parent[r] = links.id[r - 1];
        } else if (const std::size_t* p = ids.number.find(*m.parent_uuid)) {
            links.parent[r] = *p;
        } else {
            links.parent[r] = unknown_parent;
            parent_later.push_back(r);
        }
    }
    for (std::size_t r : parent_later) {
        if (const std::size_t* p = ids.number.find(*records[r].parent_uuid)) links.parent[r] = *p;
    }
    return links;
}

// next[i] is the identifier the walk moves to from i, or `none` where the chain ends (the kept
// record has no parent, or its parent is not an identifier of the session).
std::vector<std::size_t> successor_table(const identifier_index& ids, const record_links& links) {
    std::vector<std::size_t> next(ids.last_record.size());
    for (std::size_t i = 0; i < next.size(); ++i) {
        const std::size_t parent = links.parent[ids.last_record[i]];
        next[i] = parent == unknown_parent ? none : parent;
    }
    return next;
}

// Resolves the walk from `start` and from every identifier met on the way.
void resolve_walk(std::size_t start, const std::vector<std::size_t>& next,
                  std::vector<walk_outcome>& outcome, std::vector<std::size_t>& path) {
    path.clear();
    std::size_t c = start;
    while (c != none && outcome[c].state == walk_state::unknown) {
        outcome[c].state = walk_state::in_progress;
        path.push_back(c);
        c = next[c];
    }
    // Every identifier on `path` leads to c; decide what c means for them.
    walk_outcome tail;
    std::size_t prefix = path.size();  // path[0, prefix) are not on a newly found loop
    if (c == none || outcome[c].state == walk_state::ends) {
        tail.state = walk_state::ends;
    } else if (outcome[c].state == walk_state::in_progress) {
        // The walk closed a loop: path[k..] is the loop and each member repeats itself first.
        prefix = static_cast<std::size_t>(std::find(path.begin(), path.end(), c) - path.begin());
        for (std::size_t k = prefix; k < path.size(); ++k) {
            outcome[path[k]] = {walk_state::on_cycle, none};
        }
        tail = {walk_state::leads_into_cycle, c};
    } else if (outcome[c].state == walk_state::on_cycle) {
        tail = {walk_state::leads_into_cycle, c};
    } else {
        tail = outcome[c];
    }
    for (std::size_t k = 0; k < prefix; ++k) {
        outcome[path[k]] = tail;
    }
}

// The records sorted by how they enter the tree: roots, orphans, records on or leading into a
// cycle, and records filed under their parent's identifier, as (parent, record) in file order.
struct record_classes {
    std::vector<std::size_t> roots;
    std::vector<std::pair<std::size_t, std::size_t>> filed;
};

// Reads the links, not the records, except to name an orphan or a cycle in `tree`.
record_classes classify_records(std::span<const message_record> records, const record_links& links,
                                conversation_tree& tree) {
    const identifier_index& ids = tree.identifiers;
    const std::vector<std::size_t> next = successor_table(ids, links);
    std::vector<walk_outcome> outcome(ids.last_record.size());
    std::vector<std::size_t> path;
    record_classes classes;
    classes.filed.reserve(records.size());
    for (std::size_t r = 0; r < records.size(); ++r) {
        const std::size_t parent = links.parent[r];
        if (parent == no_parent) {
            classes.roots.push_back(r);
            continue;
        }
        const message_record& m = records[r];
        if (parent == unknown_parent) {
            tree.orphaned_messages.push_back(m.uuid);
            continue;
        }
        const std::size_t self = links.id[r];
        if (outcome[self].state == walk_state::unknown) resolve_walk(self, next, outcome, path);
        switch (outcome[self].state) {
            case walk_state::on_cycle:
                tree.circular_references.emplace_back(m.uuid, m.uuid);
                break;
            case walk_state::leads_into_cycle:
                tree.circular_references.emplace_back(
                    m.uuid, records[ids.last_record[outcome[self].entry]].uuid);
                break;
            case walk_state::ends:
            case walk_state::unknown:
            case walk_state::in_progress:
                classes.filed.emplace_back(parent, r);
                break;
        }
    }
    return classes;
}

// The filed records grouped by parent identifier with a counting sort, which keeps file order
// inside each group: group i is records[start[i], start[i + 1]). Takes `filed` over and frees
// it on return, before the nodes are laid out.
struct parent_groups {
    std::vector<std::size_t> start;
    std::vector<std::size_t> records;
};

parent_groups group_by_parent(std::vector<std::pair<std::size_t, std::size_t>>&& filed,
                              std::size_t id_count) {
    parent_groups g;
    g.start.assign(id_count + 1, 0);
    for (const auto& f : filed)
        ++g.start[f.first + 1];
    for (std::size_t i = 0; i < id_count; ++i)
        g.start[i + 1] += g.start[i];
    g.records.resize(filed.size());
    std::vector<std::size_t> fill(g.start.begin(), g.start.end() - 1);
    for (const auto& f : filed)
        g.records[fill[f.first]++] = f.second;
    std::vector<std::pair<std::size_t, std::size_t>>().swap(filed);
    return g;
}

// Depth first, roots in file order: a node takes the group of its identifier when it is
// created, so of two records sharing an identifier the one created first gets the children.
// Each pending entry remembers the slot of `children` its node index goes into.
void lay_out_nodes(const std::vector<std::size_t>& roots, const parent_groups& groups,
                   const record_links& links, conversation_tree& tree) {
    struct pending {
        std::size_t record;
        std::size_t slot;
    };
    std::vector<pending> stack;
    std::vector<bool> taken(groups.start.size() - 1, false);
    tree.nodes.reserve(roots.size() + groups.records.size());
    tree.roots.reserve(roots.size());
    for (std::size_t root : roots) {
        stack.push_back({root, none});
        while (!stack.empty()) {
            const pending p = stack.back();
            stack.pop_back();
            const std::size_t node = tree.nodes.size();
            if (p.slot == none) {
                tree.roots.push_back(node);
            } else {
                tree.children[p.slot] = node;
            }
            conversation_node n{p.record, tree.children.size(), 0};
            const std::size_t id = links.id[p.record];
            if (!taken[id]) {
                taken[id] = true;
                const std::size_t begin = groups.start[id];
                const std::size_t end = groups.start[id + 1];
                n.child_count = end - begin;
                tree.children.resize(tree.children.size() + n.child_count, none);
                for (std::size_t k = end; k > begin; --k) {
                    stack.push_back({groups.records[k - 1], n.first_child + (k - 1 - begin)});
                }
            }
            tree.nodes.push_back(n);
        }
    }
}

}  // namespace
}  // namespace detail

identifier_index identifier_index::of(std::span<const message_record> records) {
    identifier_index ids;
    detail::link_records(records, ids);
    return ids;
}

conversation_tree build_conversation_tree(std::span<const message_record> records) {
    conversation_tree tree;
    if (records.empty()) return tree;
    const detail::record_links links = detail::link_records(records, tree.identifiers);
    detail::record_classes classes = detail::classify_records(records, links, tree);
    const detail::parent_groups groups =
        detail::group_by_parent(std::move(classes.filed), tree.identifiers.last_record.size());
    detail::lay_out_nodes(classes.roots, groups, links, tree);
    return tree;
}

conversation_stats compute_stats(const conversation_tree& tree) {
    conversation_stats s;
    // (node, depth of the node counted from 1 at its root)
    std::vector<std::pair<std::size_t, std::uint64_t>> stack;
    for (auto it = tree.roots.rbegin(); it != tree.roots.rend(); ++it)
        stack.emplace_back(*it, 1);
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        ++s.total_messages;
        const auto kids = tree.children_of(node);
        if (kids.empty()) {
            ++s.leaf_count;
            s.max_depth = std::max(s.max_depth, depth);
            continue;
        }
        if (kids.size() > 1) ++s.num_branches;
        for (auto it = kids.rbegin(); it != kids.rend(); ++it)
            stack.emplace_back(*it, depth + 1);
    }
    return s;
}

}  // namespace kestro
