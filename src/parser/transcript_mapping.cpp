// The complete reader's mapping: which fields each record type needs, and the problem texts.
#include "parser/transcript_mapping.hpp"

#include "parser/field_reader.hpp"
#include "parser/member_table.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kestro::detail {

namespace {

using namespace std::string_view_literals;

// The types this reader names besides user and assistant.
constexpr std::array<std::string_view, 9> known_types{
    "summary"sv,
    "system"sv,
    "progress"sv,
    "attachment"sv,
    "file-history-snapshot"sv,
    "queue-operation"sv,
    "permission-mode"sv,
    "last-prompt"sv,
    "custom-title"sv,
};

enum top_key : std::uint8_t {
    k_type,
    k_uuid,
    k_parent_uuid,
    k_timestamp,
    k_subtype,
    k_session_id,
    k_cwd,
    k_version,
    k_git_branch,
    k_is_sidechain,
    k_is_meta,
    k_agent_id,
    k_message,
    k_request_id,
    k_cost_usd,
    k_duration_ms,
    k_tool_use_result,
    k_summary,
    k_ai_title,
    k_custom_title,
    k_top_count,
};
constexpr std::array<std::string_view, k_top_count> top_keys{
    "type"sv,       "uuid"sv,          "parentUuid"sv, "timestamp"sv, "subtype"sv,
    "sessionId"sv,  "cwd"sv,           "version"sv,    "gitBranch"sv, "isSidechain"sv,
    "isMeta"sv,     "agentId"sv,       "message"sv,    "requestId"sv, "costUSD"sv,
    "durationMs"sv, "toolUseResult"sv, "summary"sv,    "aiTitle"sv,   "customTitle"sv,
};

enum payload_key : std::uint8_t {
    p_id,
    p_role,
    p_model,
    p_content,
    p_stop_reason,
    p_usage,
    p_count
};
constexpr std::array<std::string_view, p_count> payload_keys{
    "id"sv, "role"sv, "model"sv, "content"sv, "stop_reason"sv, "usage"sv,
};

enum usage_key : std::uint8_t {
    u_input,
    u_output,
    u_cache_creation,
    u_cache_read,
    u_service_tier,
    u_split,
    u_count,
};
constexpr std::array<std::string_view, u_count> usage_keys{
    "input_tokens"sv,
    "output_tokens"sv,
    "cache_creation_input_tokens"sv,
    "cache_read_input_tokens"sv,
    "service_tier"sv,
    "cache_creation"sv,
};

enum block_key : std::uint8_t {
    b_type,
    b_text,
    b_thinking,
    b_id,
    b_name,
    b_tool_use_id,
    b_source,
    b_is_error,
    b_content,
    b_count,
};
constexpr std::array<std::string_view, b_count> block_keys{
    "type"sv,        "text"sv,   "thinking"sv, "id"sv,      "name"sv,
    "tool_use_id"sv, "source"sv, "is_error"sv, "content"sv,
};

constexpr auto top_lengths = keys_by_length(top_keys);
constexpr auto block_lengths = keys_by_length(block_keys);
constexpr auto payload_lengths = keys_by_length(payload_keys);
constexpr auto usage_lengths = keys_by_length(usage_keys);

// Where a content block is, spelled out only when a problem names it.
struct block_path {
    std::size_t outer;                 // in message.content
    std::optional<std::size_t> inner;  // in that tool result's content
    [[nodiscard]] std::string text() const {
        std::string path = "message.content[" + std::to_string(outer) + "]";
        if (inner) path += ".content[" + std::to_string(*inner) + "]";
        return path;
    }
};

}  // namespace

struct transcript_mapper::impl : field_reader {
    json_packer packer;

    // Fields newer than the original record shapes, and every field of the records other than
    // user, assistant and summary, are read when they have the right type and otherwise left
    // out (see field_reader::lenient): a log the exact reader accepts must give no problem here.

    // An identifier in its canonical form.
    template <class V>
    bool id(V v, bool present, std::string_view field, std::optional<std::string>& out) {
        if (!present || v.kind() == json_kind::null) return true;
        if (v.kind() != json_kind::string) return wrong(field, "a string");
        out = canonical_id(v.string());
        return true;
    }

    // A content block: an object with a string type, and for the types this reader shows
    // typed, their required fields. Blocks inside a tool result are checked the same way, one
    // level deep: deeper values are kept as they are.
    template <class V>
    bool check_block(V block, const block_path& where) {
        const bool nested = where.inner.has_value();
        if (block.kind() != json_kind::object) return wrong(where.text(), "an object");
        members<V, b_count> f(block, block_keys, block_lengths);
        if (!f.present[b_type]) return missing(where.text() + ".type");
        const V type = f.value[b_type];
        const V content = f.value[b_content];
        const bool has_content = f.present[b_content];
        if (type.kind() != json_kind::string) return wrong(where.text() + ".type", "a string");
        const std::string_view type_text = type.string();
        auto need = [&](block_key key, json_kind kind, std::string_view what) {
            if (f.present[key] && f.value[key].kind() == kind) return true;
            const std::string field = where.text() + "." + std::string(block_keys[key]);
            return f.present[key] ? wrong(field, what) : missing(field);
        };
        if (type_text == "text") return need(b_text, json_kind::string, "a string");
        if (type_text == "thinking") return need(b_thinking, json_kind::string, "a string");
        if (type_text == "tool_use") {
            return need(b_id, json_kind::string, "a string") &&
                   need(b_name, json_kind::string, "a string");
        }
        if (type_text == "image") return need(b_source, json_kind::object, "an object");
        if (type_text != "tool_result") return true;
        if (!need(b_tool_use_id, json_kind::string, "a string")) return false;
        if (f.has(b_is_error) && f.value[b_is_error].kind() != json_kind::boolean) {
            return wrong(where.text() + ".is_error", "a boolean");
        }
        if (!has_content || content.kind() == json_kind::null ||
            content.kind() == json_kind::string) {
            return true;
        }
        if (content.kind() != json_kind::array || nested) {
            return content.kind() == json_kind::array ||
                   wrong(where.text() + ".content", "a string or an array");
        }
        std::size_t i = 0;
        for (auto it = content.array_begin(); it != content.array_end(); ++it, ++i) {
            if (!check_block(V(*it), block_path{where.outer, i})) return false;
        }
        return true;
    }

    template <class V>
    bool usage(V object, transcript_message& m) {
        if (object.kind() == json_kind::null) return true;
        if (object.kind() != json_kind::object) return wrong("message.usage", "an object");
        members<V, u_count> f(object, usage_keys, usage_lengths);
        usage_counts& u = m.usage.emplace();
        if (!count(f.value[u_input], f.present[u_input], "message.usage.input_tokens",
                   u.input_tokens) ||
            !count(f.value[u_output], f.present[u_output], "message.usage.output_tokens",
                   u.output_tokens) ||
            !count(f.value[u_cache_creation], f.present[u_cache_creation],
                   "message.usage.cache_creation_input_tokens", u.cache_creation_input_tokens) ||
            !count(f.value[u_cache_read], f.present[u_cache_read],
                   "message.usage.cache_read_input_tokens", u.cache_read_input_tokens) ||
            !text(f.value[u_service_tier], f.present[u_service_tier], "message.usage.service_tier",
                  u.service_tier)) {
            return false;
        }
        if (!f.has(u_split)) return true;
        return leniently([&] { return split(f.value[u_split], u); });
    }

    template <class V>
    bool split(V split, usage_counts& u) {
        if (split.kind() != json_kind::object) {
            return wrong("message.usage.cache_creation", "an object");
        }
        V five, hour;
        bool has_five = false, has_hour = false;
        split.for_each_member([&](std::string_view key, V v) {
            if (key == "ephemeral_5m_input_tokens") {
                five = v;
                has_five = true;
            } else if (key == "ephemeral_1h_input_tokens") {
                hour = v;
                has_hour = true;
            }
        });
        return count(five, has_five, "message.usage.cache_creation.ephemeral_5m_input_tokens",
                     u.ephemeral_5m_input_tokens) &&
               count(hour, has_hour, "message.usage.cache_creation.ephemeral_1h_input_tokens",
                     u.ephemeral_1h_input_tokens);
    }

    template <class V>
    bool payload(V object, std::string_view type, transcript_message& m) {
        if (object.kind() != json_kind::object) return wrong("message", "an object");
        members<V, p_count> f(object, payload_keys, payload_lengths);
        std::string_view role_text;
        if (!text(f.value[p_role], f.present[p_role], "message.role", role_text)) {
            return false;
        }
        if (role_text != "user" && role_text != "assistant") role_text = type;
        m.role = role_text == "user" ? role::user : role::assistant;
        if (!text(f.value[p_id], f.present[p_id], "message.id", m.message_id) ||
            !text(f.value[p_model], f.present[p_model], "message.model", m.model) ||
            !text(f.value[p_stop_reason], f.present[p_stop_reason], "message.stop_reason",
                  m.stop_reason)) {
            return false;
        }
        // A message without content (or with null) has no blocks, as the exact reader reads it.
        if (f.has(p_content)) {
            V content = f.value[p_content];
            if (content.kind() == json_kind::array) {
                std::size_t i = 0;
                for (auto it = content.array_begin(); it != content.array_end(); ++it, ++i) {
                    if (!check_block(V(*it), block_path{i, std::nullopt})) return false;
                }
            } else if (content.kind() != json_kind::string) {
                return wrong("message.content", "a string or an array");
            }
        }
        if (f.present[p_usage] && !usage(f.value[p_usage], m)) return false;
        if (f.has(p_content)) m.content = f.value[p_content].take_json(packer);
        return true;
    }

    template <class V>
    bool message(members<V, k_top_count>& f, transcript_line& out) {
        transcript_message& m = out.message;
        transcript_record& r = out.record;
        if (!f.present[k_uuid]) return missing("uuid");
        if (f.value[k_uuid].kind() != json_kind::string) return wrong("uuid", "a string");
        if (!f.present[k_timestamp]) return missing("timestamp");
        V stamp = f.value[k_timestamp];
        if (stamp.kind() != json_kind::string) return wrong("timestamp", "a string");
        auto parsed = date_time::parse(stamp.string());
        if (!parsed) return wrong("timestamp", "an RFC 3339 time");
        m.timestamp = parsed.value();
        r.timestamp = parsed.value();
        if (!f.present[k_message]) return missing("message");
        return flag(f.value[k_is_sidechain], f.present[k_is_sidechain], "isSidechain",
                    m.is_sidechain) &&
               flag(f.value[k_is_meta], f.present[k_is_meta], "isMeta", m.is_meta) &&
               leniently([&] {
                   return text(f.value[k_agent_id], f.present[k_agent_id], "agentId", m.agent_id);
               }) &&
               text(f.value[k_request_id], f.present[k_request_id], "requestId", m.request_id) &&
               number(f.value[k_cost_usd], f.present[k_cost_usd], "costUSD", m.cost_usd) &&
               count(f.value[k_duration_ms], f.present[k_duration_ms], "durationMs",
                     m.duration_ms) &&
               payload(f.value[k_message], r.type, m) && tool_use_result(f, m);
    }

    template <class V>
    bool tool_use_result(members<V, k_top_count>& f, transcript_message& m) {
        if (f.present[k_tool_use_result])
            m.tool_use_result = f.value[k_tool_use_result].take_json(packer);
        return true;
    }

    // The fields every record may carry.
    template <class V>
    bool common(members<V, k_top_count>& f, transcript_line& out) {
        transcript_record& r = out.record;
        if (!id(f.value[k_uuid], f.present[k_uuid], "uuid", r.uuid) ||
            !id(f.value[k_parent_uuid], f.present[k_parent_uuid], "parentUuid", r.parent_uuid) ||
            !text(f.value[k_session_id], f.present[k_session_id], "sessionId", out.session_id) ||
            !text(f.value[k_cwd], f.present[k_cwd], "cwd", out.cwd) ||
            !text(f.value[k_version], f.present[k_version], "version", out.version) ||
            !leniently([&] {
                return text(f.value[k_git_branch], f.present[k_git_branch], "gitBranch",
                            out.git_branch) &&
                       text(f.value[k_subtype], f.present[k_subtype], "subtype", r.subtype);
            })) {
            return false;
        }
        // Other records' times are informative only: one that does not read is left out.
        if (f.has(k_timestamp) && f.value[k_timestamp].kind() == json_kind::string) {
            auto parsed = date_time::parse(f.value[k_timestamp].string());
            if (parsed) r.timestamp = parsed.value();
        }
        return true;
    }

    template <class V>
    bool title(members<V, k_top_count>& f, std::size_t key, title_source source,
               std::string_view field, bool required, transcript_line& out) {
        if (!f.present[key]) return !required || missing(field);
        if (f.value[key].kind() != json_kind::string) return wrong(field, "a string");
        out.title_kind = source;
        out.title = f.value[key].string();
        return true;
    }

    template <class V>
    bool record(V root, transcript_line& out) {
        transcript_record& r = out.record;
        if (root.kind() != json_kind::object) {
            reason = "not a JSON object";
            return false;
        }
        members<V, k_top_count> f(root, top_keys, top_lengths);
        if (!f.present[k_type]) return missing("type");
        if (f.value[k_type].kind() != json_kind::string) return wrong("type", "a string");
        const std::string_view type = f.value[k_type].string();
        r.type = std::string(type);
        if (type == "user" || type == "assistant") {
            r.kind = record_kind::message;
            return common(f, out) && message(f, out);
        }
        leniently([&] { return common(f, out); });
        r.kind = record_kind::other;
        for (std::string_view known : known_types) {
            if (type == known) r.kind = record_kind::known;
        }
        bool ok = true;
        if (type == "summary") {
            ok = title(f, k_summary, title_source::summary, "summary", true, out);
        } else if (type == "custom-title") {
            ok = leniently([&] {
                return title(f, k_custom_title, title_source::custom_title, "customTitle", false,
                             out);
            });
        } else if (type == "ai-title") {
            ok = leniently([&] {
                return title(f, k_ai_title, title_source::ai_title, "aiTitle", false, out);
            });
        }
        if (ok) r.raw = root.take_json(packer);
        return ok;
    }

    template <class V>
    void map(V root, transcript_line& out) {
        const std::uint64_t line = out.record.line;
        out = transcript_line{};
        out.record.line = line;
        if (!record(root, out)) {
            std::string type = std::move(out.record.type);
            out = transcript_line{};
            out.record.line = line;
            out.record.kind = record_kind::problem;
            out.record.type = std::move(type);
            out.record.reason = std::move(reason);
        }
    }
};

transcript_mapper::transcript_mapper() : impl_(std::make_unique<impl>()) {}
transcript_mapper::~transcript_mapper() = default;

void transcript_mapper::map(dom_view root, transcript_line& out) {
    impl_->map(root, out);
}
void transcript_mapper::map(json_view root, transcript_line& out) {
    impl_->map(root, out);
}

}  // namespace kestro::detail
