// Grouping assistant records into API replies.
#pragma once

#include <vector>

#include "types/transcript.hpp"

namespace kestro {

// One reply per API reply, in the order of each reply's first record. Only assistant messages
// that carry usage take part. Records share a reply when they share (message id, request id);
// the message id alone when a record has no request id; a record without a message id is a
// reply of its own. Counts are each count's maximum over the reply's records (absent counts
// as 0), the timestamp the earliest, model and stop reason the last given, cost the largest
// given. O(n) expected.
std::vector<transcript_reply> merge_replies(const std::vector<transcript_message>& messages);

}  // namespace kestro
