// Pairing of tool-use blocks with the tool-result blocks that answer them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "types/content.hpp"
#include "types/date_time.hpp"
#include "types/json_value.hpp"
#include "types/message.hpp"

namespace kestro {

struct tool_result {
    std::string tool_use_id;
    std::string content;  // text form of the result block's content, "" when it has none
    std::optional<std::string> stdout_text;
    std::optional<std::string> stderr_text;
    bool interrupted = false;
    bool is_error = false;
};

// One answered tool use. `input` points into the records passed to pair_tool_executions, which
// must outlive the execution (sessions keep both together, immutable).
struct tool_execution {
    std::string tool_name;
    const json_value* input = nullptr;
    tool_result output;
    std::uint64_t duration_ms = 0;
    date_time timestamp;  // of the record holding the result
};

// Visits the blocks in file order; a result pairs with the latest pending use of its id and
// consumes it. Executions come in the order of their results. O(blocks).
std::vector<tool_execution> pair_tool_executions(std::span<const message_record> records);

}  // namespace kestro
