// Records of a session log: message records, their payload, token usage, summaries, enums.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "types/content.hpp"
#include "types/date_time.hpp"
#include "types/packed_json.hpp"
#include "types/shared_text.hpp"
#include "types/uuid.hpp"

namespace kestro {

enum class user_type : std::uint8_t { external, internal };
enum class message_type : std::uint8_t { user, assistant };
enum class role : std::uint8_t { user, assistant };
enum class stop_reason : std::uint8_t { end_turn, max_tokens, stop_sequence, tool_use, error };

// The JSON texts of the enumerations ("external", "end_turn", ...). No default: a value
// without its text fails to compile (-Wswitch, an error in CI).
constexpr std::string_view to_json_text(user_type v) {
    switch (v) {
        case user_type::external:
            return "external";
        case user_type::internal:
            return "internal";
    }
    return {};
}
constexpr std::string_view to_json_text(message_type v) {
    switch (v) {
        case message_type::user:
            return "user";
        case message_type::assistant:
            return "assistant";
    }
    return {};
}
constexpr std::string_view to_json_text(role v) {
    switch (v) {
        case role::user:
            return "user";
        case role::assistant:
            return "assistant";
    }
    return {};
}
constexpr std::string_view to_json_text(stop_reason v) {
    switch (v) {
        case stop_reason::end_turn:
            return "end_turn";
        case stop_reason::max_tokens:
            return "max_tokens";
        case stop_reason::stop_sequence:
            return "stop_sequence";
        case stop_reason::tool_use:
            return "tool_use";
        case stop_reason::error:
            return "error";
    }
    return {};
}

// The texts of an enumeration of N values, indexed by value: the table a reader looks names up
// in. The check fails when a value past the N-th has a text, so N cannot fall behind.
template <class E, std::size_t N>
constexpr std::array<std::string_view, N> json_texts() {
    static_assert(to_json_text(static_cast<E>(N)).empty(), "the enumeration has more values");
    std::array<std::string_view, N> texts{};
    for (std::size_t i = 0; i < N; ++i)
        texts[i] = to_json_text(static_cast<E>(i));
    return texts;
}
inline constexpr auto user_type_texts = json_texts<user_type, 2>();
inline constexpr auto message_type_texts = json_texts<message_type, 2>();
inline constexpr auto role_texts = json_texts<role, 2>();
inline constexpr auto stop_reason_texts = json_texts<stop_reason, 5>();

struct token_usage {
    std::uint32_t input_tokens = 0;
    std::optional<std::uint32_t> cache_creation_input_tokens;
    std::optional<std::uint32_t> cache_read_input_tokens;
    std::uint32_t output_tokens = 0;
    std::optional<std::string> service_tier;
};

// The payload under a record's "message" key.
struct message_payload {
    std::optional<std::string> id;
    kestro::role role = kestro::role::user;
    std::optional<std::string> model;
    std::vector<content_block> content;
    std::optional<kestro::stop_reason> stop_reason;
    std::optional<token_usage> usage;
};

// One "user" or "assistant" line.
struct message_record {
    std::optional<kestro::uuid> parent_uuid;
    bool is_sidechain = false;
    kestro::user_type user_type = kestro::user_type::external;
    shared_text cwd;  // a path, held as the bytes of the JSON string
    shared_text session_id;
    std::string version;
    kestro::message_type message_type = kestro::message_type::user;
    message_payload message;
    std::optional<double> cost_usd;
    std::optional<std::uint64_t> duration_ms;
    std::optional<std::string> request_id;
    kestro::uuid uuid;
    date_time timestamp;
    std::optional<packed_json> tool_use_result;
    std::optional<bool> is_meta;
};

// One "summary" line.
struct summary_record {
    std::string record_type;
    std::string summary;
    kestro::uuid leaf_uuid;
};

}  // namespace kestro
