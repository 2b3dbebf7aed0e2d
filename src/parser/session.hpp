// Reading one session log file into a parsed session.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/tool_executions.hpp"
#include "conversation/tree.hpp"
#include "error.hpp"
#include "types/message.hpp"
#include "types/metadata.hpp"

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

// Receives each warning line (without the trailing line feed) as it is met, in line order.
using warning_sink = std::function<void(std::string_view)>;

// Writes the line and a line feed to the process's standard error and flushes.
void write_warning_to_stderr(std::string_view line);

// Parses the whole file or fails with the first error in line order; never returns a partial
// session. Reads with open/read in large blocks; memory stays proportional to the result.
result<parsed_session> parse_session_file(const std::filesystem::path& path,
                                          const warning_sink& warn = write_warning_to_stderr);

// The same over bytes already in memory (used by tests and fuzzing); `path_text` becomes the
// metadata's session file path.
result<parsed_session> parse_session_bytes(std::string_view bytes, std::string path_text,
                                           const warning_sink& warn = write_warning_to_stderr);

}  // namespace kestro
