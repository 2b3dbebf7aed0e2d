// Computing the session metadata from the message records.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "types/flat_index.hpp"
#include "types/message.hpp"
#include "types/metadata.hpp"

namespace kestro {

// Counts, cost, saturating token sums, tool usage in first-use order, time span and response
// times of the records (file order). Cannot fail. O(n).
session_metadata compute_metadata(std::span<const message_record> records, std::string file_path);

// compute_metadata one record at a time, for a reader that adds each record while it is still
// in cache. Tool names are viewed in the records' content blocks, which must stay alive (a
// record may move, its blocks do not) until finish.
class metadata_accumulator {
  public:
    // Adds the next record in file order. O(blocks of the record).
    void add(const message_record& m);
    // The metadata of the records added so far.
    session_metadata finish(std::string file_path) &&;

  private:
    session_metadata md_;
    // Each name's position in the first-use list, so that the output order does not depend on
    // hashing. A session calls a handful of distinct tools, so the table starts small.
    text_index tool_position_;
    // The assistant durations can pass 2^64 in sum, and the mean must still be right.
    __extension__ unsigned __int128 response_sum_ = 0;
    std::uint64_t response_count_ = 0;
};

}  // namespace kestro
