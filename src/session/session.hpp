// A session: the parsed log with its tree, metadata and paired tool uses, read in one pass.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/tool_executions.hpp"
#include "conversation/tree.hpp"
#include "error.hpp"
#include "parser/strict_mapping.hpp"
#include "types/message.hpp"
#include "types/metadata.hpp"
#include "types/uuid.hpp"

namespace kestro {

struct parsed_session {
    std::string session_id;
    std::vector<message_record> messages;         // file order
    std::vector<summary_record> summaries;        // file order
    kestro::conversation_tree conversation_tree;  // indexes into `messages`
    session_metadata metadata;
    // Paired while reading, when the reader did; none otherwise. It points into the content
    // blocks of `messages`, which is why a parsed session moves but never copies.
    std::optional<std::vector<tool_execution>> tool_executions;

    parsed_session() = default;
    parsed_session(parsed_session&&) = default;
    parsed_session& operator=(parsed_session&&) = default;
    parsed_session(const parsed_session&) = delete;
    parsed_session& operator=(const parsed_session&) = delete;
};

// Parses the whole file through the strict mapping, with metadata and tool pairing listening
// in the same pass, then links the tree. Fails with the first error in line order (or with
// the errors of `options`); never returns a partial session. Memory stays proportional to the
// result.
result<parsed_session> parse_session_file(const std::filesystem::path& path,
                                          const warning_sink& warn = write_warning_to_stderr,
                                          const read_options& options = {});

// The same over bytes already in memory (used by tests and fuzzing); `path_text` becomes the
// metadata's session file path.
result<parsed_session> parse_session_bytes(std::string_view bytes, std::string path_text,
                                           const warning_sink& warn = write_warning_to_stderr);

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

// Record indices of the thread ending at `target`, from the oldest reachable ancestor to the
// target: parent links are followed through the last record of each identifier until a parent
// is unknown, absent, or already in the thread (so cycles end). Empty for an unknown target.
// O(thread length).
std::vector<std::size_t> thread_indices(const session& s, const uuid& target);

}  // namespace kestro
