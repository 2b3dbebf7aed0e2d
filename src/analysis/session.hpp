// A loaded session: the parsed log plus what its Python face reads, built once and shared.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/tool_executions.hpp"
#include "conversation/tree.hpp"
#include "parser/session.hpp"
#include "types/message.hpp"
#include "types/utf8.hpp"
#include "types/uuid.hpp"

namespace kestro {

// Immutable once built; every Python object of a session holds a shared reference to it and a
// pointer into it, so nothing is copied for the objects handed out.
struct session {
    parsed_session parsed;
    // Point into `parsed.messages` (tool inputs); valid as long as this session lives.
    std::vector<tool_execution> tool_executions;
    conversation_stats tree_stats;
};

// Takes the parsed session over with the executions the reader paired and derives the tree
// statistics. Threads look identifiers up in the tree's identifier index. A session assembled
// by hand (no executions, or no index while there are records) gets what it lacks built here.
// O(records + blocks). Fails only by std::bad_alloc.
std::shared_ptr<const session> build_session(parsed_session&& parsed);

// The texts of the message's text blocks joined with "\n"; "" without any.
std::string message_text(const message_payload& message);

// The names of the message's tool-use blocks in block order, duplicates kept. The views point
// into `message`.
std::vector<std::string_view> message_tools(const message_payload& message);

// Whether some tool-use block of the message names `tool_name` exactly.
bool message_uses_tool(const message_payload& message, std::string_view tool_name);

// Record indices of the thread ending at `target`, from the oldest reachable ancestor to the
// target: parent links are followed through the last record of each identifier until a parent
// is unknown, absent, or already in the thread (so cycles end). Empty for an unknown target.
// O(thread length).
std::vector<std::size_t> thread_indices(const session& s, const uuid& target);

// The identifier if `text` is exactly its 36-character lower-case hyphenated form. Python
// callers compare identifiers as that text, so other spellings must match nothing.
std::optional<uuid> parse_canonical_uuid(std::string_view text);

// The last normal component of a '/'-separated path: trailing separators and "." components
// are ignored; none for an empty path, the root, or a path ending in "..".
std::optional<std::string_view> final_path_component(std::string_view path);

// final_path_component as text, or "unknown" when there is none or it is not UTF-8.
std::string final_component_name(std::string_view path);

}  // namespace kestro
