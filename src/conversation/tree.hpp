// The reply forest of a session: nodes, orphans, circular references and statistics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "types/flat_index.hpp"
#include "types/message.hpp"
#include "types/uuid.hpp"

namespace kestro {

// Nodes refer to message records by index into the list the tree was built from; the tree
// never copies a record. Children of a node are node indices [first_child, first_child + count)
// of `conversation_tree::children`, in file order.
struct conversation_node {
    std::size_t record = 0;
    std::size_t first_child = 0;
    std::size_t child_count = 0;
};

struct conversation_stats {
    std::uint64_t total_messages = 0;
    std::uint64_t max_depth = 0;
    std::uint64_t num_branches = 0;
    std::uint64_t leaf_count = 0;
    friend bool operator==(const conversation_stats&, const conversation_stats&) = default;
};

// The identifiers of a list of records, numbered densely in order of first appearance, with the
// last record bearing each one (threads and parent links follow the last of duplicates).
struct identifier_index {
    uuid_index number;                     // identifier -> its number
    std::vector<std::size_t> last_record;  // by number: index into the records

    // Numbers the identifiers of `records` (file order). O(records).
    static identifier_index of(std::span<const message_record> records);

    // The last record bearing `id`, none for an identifier not among the records.
    [[nodiscard]] std::optional<std::size_t> last_record_of(const uuid& id) const {
        const std::size_t* n = number.find(id);
        if (n == nullptr) return std::nullopt;
        return last_record[*n];
    }
};

struct conversation_tree {
    std::vector<conversation_node> nodes;
    std::vector<std::size_t> children;  // node indices, grouped per parent
    std::vector<std::size_t> roots;     // node indices, file order
    std::vector<uuid> orphaned_messages;
    std::vector<std::pair<uuid, uuid>> circular_references;
    // Of the records the tree was built from; kept for lookups by identifier after loading.
    identifier_index identifiers;

    [[nodiscard]] std::span<const std::size_t> children_of(std::size_t node) const {
        const auto& n = nodes[node];
        return {children.data() + n.first_child, n.child_count};
    }
};

// Links the records (file order) into a forest. Linear in the number of records; never
// recurses, so a chain of any length builds.
conversation_tree build_conversation_tree(std::span<const message_record> records);

// Counts nodes, the deepest root-to-leaf path, branching nodes and leaves; iterative, O(nodes).
conversation_stats compute_stats(const conversation_tree& tree);

}  // namespace kestro
