// Every line of a session log as the complete reader keeps it: records, messages, replies.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types/date_time.hpp"
#include "types/flat_index.hpp"
#include "types/message.hpp"
#include "types/packed_json.hpp"
#include "types/row_index.hpp"
#include "types/shared_text.hpp"

namespace kestro {

// A usage object as logged. Missing counts stay missing: a reader summing them decides what a
// missing count means.
struct usage_counts {
    std::optional<std::uint64_t> input_tokens;
    std::optional<std::uint64_t> output_tokens;
    std::optional<std::uint64_t> cache_creation_input_tokens;
    std::optional<std::uint64_t> cache_read_input_tokens;
    // The split of cache writes by lifetime, under usage.cache_creation.
    std::optional<std::uint64_t> ephemeral_5m_input_tokens;
    std::optional<std::uint64_t> ephemeral_1h_input_tokens;
    std::optional<std::string> service_tier;
};

// A user or assistant line. Its identity and links live in its record.
struct transcript_message {
    std::uint32_t record = 0;  // index into transcript::records
    kestro::role role = kestro::role::user;
    date_time timestamp;
    // The message's content as logged: a string, or an array of blocks of any type. Kept packed
    // because blocks of unknown types must survive unchanged and most blocks are only read.
    packed_json content;
    bool is_sidechain = false;
    bool is_meta = false;
    std::optional<std::string> agent_id;
    shared_text cwd;  // empty when absent
    shared_text version;
    shared_text git_branch;
    std::optional<std::string> message_id;
    std::optional<std::string> request_id;
    std::optional<std::string> model;
    std::optional<std::string> stop_reason;
    std::optional<usage_counts> usage;
    std::optional<double> cost_usd;
    std::optional<std::uint64_t> duration_ms;
    std::optional<packed_json> tool_use_result;
};

enum class record_kind : std::uint8_t {
    message,  // user or assistant: see transcript::messages
    known,    // another type this reader names: summary, system, progress, ...
    other,    // a type this reader does not name
    problem,  // a line that could not be read as a record
};

inline constexpr std::uint32_t no_message = std::numeric_limits<std::uint32_t>::max();

// One non-blank line of the file.
struct transcript_record {
    record_kind kind = record_kind::problem;
    std::uint64_t line = 0;  // 1-based, blank lines counted
    std::string type;        // the line's "type"; empty for problems
    // Canonical lower-case form when the text is a UUID, else the text as logged.
    std::optional<std::string> uuid;
    std::optional<std::string> parent_uuid;
    std::optional<date_time> timestamp;
    std::optional<std::string> subtype;  // system records
    std::uint32_t message = no_message;  // index into transcript::messages
    // The whole line for records that are not messages; null for messages and problems.
    packed_json raw;
    std::string reason;  // problems only
};

// What one API reply used, merged over its records (see analysis/replies.hpp).
struct reply_figures {
    // Each count is its maximum over the records: counts only grow while a reply streams.
    std::uint64_t input_tokens = 0;
    std::uint64_t output_tokens = 0;
    std::uint64_t cache_creation_input_tokens = 0;
    std::uint64_t cache_read_input_tokens = 0;
    std::uint64_t ephemeral_5m_input_tokens = 0;
    std::uint64_t ephemeral_1h_input_tokens = 0;
    date_time timestamp;             // the earliest record's
    std::optional<double> cost_usd;  // the largest logged cost
};

// One API reply: the records that share its key, merged.
struct transcript_reply : reply_figures {
    std::optional<std::string> message_id;
    std::optional<std::string> request_id;
    std::vector<std::uint32_t> messages;  // indexes into transcript::messages, file order
    std::optional<std::string> model;
    std::optional<std::string> stop_reason;
};

// The hash the text tables use, for tables of other keys made of texts.
template <class Index>
struct hash_of;
template <class Key, class Hash>
struct hash_of<flat_index<Key, Hash>> {
    using type = Hash;
};
using text_hasher = hash_of<text_index>::type;

// One session file read completely, and the sub-agents it started. Immutable once built.
struct transcript {
    std::string path;
    std::vector<transcript_record> records;  // file order
    std::vector<transcript_message> messages;
    std::vector<transcript_reply> replies;
    std::optional<std::string> session_id;  // the first one logged
    std::optional<std::string> title;
    std::optional<std::string> version;
    std::optional<std::string> git_branch;
    std::optional<date_time> started;
    std::optional<date_time> ended;
    // Set on a sub-agent's transcript.
    std::optional<std::string> agent_id;
    std::optional<std::string> parent_tool_use_id;
    std::vector<std::shared_ptr<const transcript>> subagents;
    // Record index by uuid, hashed with text_hasher; of records sharing one, the last in file
    // order. Look records up with find_record.
    row_index by_uuid;

    transcript() = default;
    transcript(const transcript&) = delete;
    transcript& operator=(const transcript&) = delete;
    transcript(transcript&&) = default;
    transcript& operator=(transcript&&) = default;
    ~transcript() = default;
};

}  // namespace kestro

namespace kestro {

// An identifier as the reader keys it: the canonical lower-case form when `text` is a UUID in
// any standard form, else `text` itself.
std::string canonical_id(std::string_view text);

// The index of the record whose uuid is `uuid` (in canonical form), or nullopt. O(1) expected.
std::optional<std::uint32_t> find_record(const transcript& t, std::string_view uuid);

// The value of `key` in a packed object, or nullopt (also when `object` is not an object).
// O(members).
std::optional<packed_json::view> find_member(packed_json::view object, std::string_view key);

// The value at a path of keys, or nullopt where one is missing.
std::optional<packed_json::view> find_path(packed_json::view root,
                                           std::initializer_list<std::string_view> keys);

// The string at a path of keys, or nullopt when missing or not a string.
std::optional<std::string_view> find_text(packed_json::view root,
                                          std::initializer_list<std::string_view> keys);

}  // namespace kestro
