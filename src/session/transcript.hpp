// Reading a session completely: its file, then the sub-agents it started.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "types/transcript.hpp"

namespace kestro {

enum class read_errors : std::uint8_t {
    skip,    // problems are kept as records and listed
    strict,  // the first problem stops the read
};

// The first problem of a strict read.
struct read_problem {
    std::string path;
    std::uint64_t line = 0;
    std::string reason;
};

// Asked now and then during a read; true stops it (Ctrl-C). Empty: never cancelled.
using cancel_check = std::function<bool()>;

struct read_outcome {
    std::shared_ptr<const transcript> value;  // set on success
    std::optional<sdk_error> io;              // the file could not be read
    std::optional<read_problem> problem;      // a strict read met a problem
    bool cancelled = false;                   // the cancel check said stop
};

// Reads the session file at `path` and the sub-agent files that belong to it:
//   <dir>/<stem>/subagents/*.jsonl, linked to the Task result whose toolUseResult.agentId names
//   the agent, else to the agent_progress record with that data.agentId, else to nothing;
//   <dir>/agent-*.jsonl whose sessionId is the session's, linked to no tool use.
// A sub-agent file that cannot be read is left out; a problem in one stops a strict read.
// Never throws but std::bad_alloc.
read_outcome read_transcript(const std::filesystem::path& path, read_errors errors,
                             const cancel_check& cancelled = {});

// Bytes already in memory read as one file, every problem kept (tests and fuzzing).
transcript read_transcript_text(std::string_view bytes, std::string path_text);

// The messages of a thread: from the earliest ancestor reachable from record `record` down to
// it, following parent links through every record with a uuid (of records sharing a uuid the
// last is linked) and keeping the messages. A link back into the walk ends it. O(depth).
std::vector<std::uint32_t> thread_of(const transcript& t, std::uint32_t record);

// The record of the last message that is not a side chain, or nullopt.
std::optional<std::uint32_t> main_leaf(const transcript& t);

}  // namespace kestro
