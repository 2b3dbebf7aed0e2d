// Pairing of tool-use blocks with the tool-result blocks that answer them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/content.hpp"
#include "types/date_time.hpp"
#include "types/flat_index.hpp"
#include "types/message.hpp"
#include "types/packed_json.hpp"

namespace kestro {

// The result half of an execution. Text is viewed in (or, for block lists, derived on demand
// from) the records, so a session holds each tool output once however often it is shown.
struct tool_result {
    std::string_view tool_use_id;
    const tool_result_content* source = nullptr;  // the result block's content, if it has one
    std::optional<std::string> stdout_text;
    std::optional<std::string> stderr_text;
    bool interrupted = false;
    bool is_error = false;

    // Text form of the result block's content, "" when it has none.
    [[nodiscard]] std::string content() const {
        return source != nullptr ? tool_result_text(*source) : std::string();
    }
};

// One answered tool use. Its views and pointers refer into the records passed to
// pair_tool_executions, which must outlive it (sessions keep both together, immutable).
struct tool_execution {
    std::string_view tool_name;
    const packed_json* input = nullptr;
    tool_result output;
    std::uint64_t duration_ms = 0;
    date_time timestamp;  // of the record holding the result
};

// Visits the blocks in file order; a result pairs with the latest pending use of its id and
// consumes it. Executions come in the order of their results. O(blocks).
std::vector<tool_execution> pair_tool_executions(std::span<const message_record> records);

// pair_tool_executions one record at a time, for a reader that adds each record while it is
// still in cache. The executions point into the records' content blocks, which stay where they
// are when a record moves; the records must outlive them.
class tool_pairing {
  public:
    // Adds the next record in file order. O(blocks of the record).
    void add(const message_record& m);
    // The executions of the records added so far, in the order of their results.
    std::vector<tool_execution> finish() && { return std::move(executions_); }

  private:
    struct pending_use {
        std::string_view name;
        const packed_json* input;
        date_time time;
    };
    // Uses are answered soon, so few are pending at a time and the table stays small;
    // `pending_` keeps every use in file order, and its recent end, which the table points
    // into, stays in cache. Keys are views into the records.
    text_index pending_by_id_;
    std::vector<pending_use> pending_;
    std::vector<tool_execution> executions_;
};

}  // namespace kestro
