// Grouping assistant records into API replies: the key and the merge rule every reader shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "types/row_index.hpp"
#include "types/transcript.hpp"

namespace kestro {

// Records share a reply when they share (message id, request id); the message id alone when a
// record has no request id (a missing request id differs from an empty one). A record without
// a message id is a reply of its own and has no key. The views belong to the caller.
struct reply_key {
    std::string_view message_id;
    std::string_view request_id;
    bool has_request_id = false;
    friend bool operator==(const reply_key&, const reply_key&) = default;
};

struct reply_key_hash {
    std::size_t operator()(const reply_key& k) const noexcept {
        // A message id has one request id but in rare logs: equality tells those apart.
        return text_hasher{}(k.message_id);
    }
};

// The key of a record with these ids, or nullopt when it has no message id.
std::optional<reply_key> key_of(const std::optional<std::string_view>& message_id,
                                const std::optional<std::string_view>& request_id);

// Whether a reply with these ids is the one `key` names.
bool holds_key(const std::optional<std::string>& message_id,
               const std::optional<std::string>& request_id, const reply_key& key);

// Folds one record into its reply: each count its maximum (absent counts as 0), the earliest
// time, the largest logged cost. `first` is true for the reply's first record.
void add_to_reply(reply_figures& reply, const usage_counts& usage, const date_time& timestamp,
                  const std::optional<double>& cost_usd, bool first);

// Folds a reply met again (in another file) into the one kept, by the same rule.
void merge_figures(reply_figures& kept, const reply_figures& again);

// Groups messages into replies as they are read, while each record's ids are still in cache.
// Only assistant messages that carry usage take part; model and stop reason are the last given.
class reply_merger {
  public:
    reply_merger() = default;
    // Room for `expected` replies without growing.
    explicit reply_merger(std::size_t expected) : by_key_(expected) { replies_.reserve(expected); }

    // Folds in `m`, the message numbered `index`. O(1) expected.
    void add(const transcript_message& m, std::uint32_t index);

    // The replies, in the order of each reply's first record.
    std::vector<transcript_reply> finish() && { return std::move(replies_); }

  private:
    std::vector<transcript_reply> replies_;
    row_index by_key_;
    std::size_t last_ = SIZE_MAX;  // the reply of the last record added
};

// One reply per API reply over `messages`, as reply_merger groups them. O(n) expected.
std::vector<transcript_reply> merge_replies(const std::vector<transcript_message>& messages);

}  // namespace kestro
