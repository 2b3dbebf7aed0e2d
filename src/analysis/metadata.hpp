// Computing the session metadata from the message records.
#pragma once

#include <span>
#include <string>

#include "types/message.hpp"
#include "types/metadata.hpp"

namespace kestro {

// Counts, cost, saturating token sums, tool usage in first-use order, time span and response
// times of the records (file order). Cannot fail. O(n).
session_metadata compute_metadata(std::span<const message_record> records, std::string file_path);

}  // namespace kestro
