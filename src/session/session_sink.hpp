// The record sink that gathers a session's metadata and tool executions while its log is read.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "analysis/metadata.hpp"
#include "analysis/tool_executions.hpp"
#include "types/message.hpp"
#include "types/metadata.hpp"

namespace kestro {

// Fed each record as it is mapped, while it is still in cache: one pass over the records
// instead of three. Keeps views into the records' content blocks, so the parsed log must
// outlive finish()'s results (see the sink contract in parser/strict_mapping.hpp).
class session_sink {
  public:
    void message(const message_record& record) {
        metadata_.add(record);
        pairing_.add(record);
    }
    void summary(const summary_record&) {}

    session_metadata finish_metadata(std::string file_path) {
        return std::move(metadata_).finish(std::move(file_path));
    }
    std::vector<tool_execution> finish_executions() { return std::move(pairing_).finish(); }

  private:
    metadata_accumulator metadata_;
    tool_pairing pairing_;
};

}  // namespace kestro
