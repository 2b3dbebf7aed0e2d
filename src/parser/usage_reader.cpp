// The usage scan's line handler: it reads a line's few members and skips the rest.
#include "parser/usage_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <variant>

#include "parser/field_reader.hpp"
#include "parser/json_line.hpp"
#include "parser/line_source.hpp"
#include "parser/member_table.hpp"

namespace kestro {

namespace {

using namespace std::string_view_literals;
using detail::json_kind;

enum top_key : std::uint8_t {
    k_type,
    k_uuid,
    k_timestamp,
    k_subtype,
    k_session_id,
    k_is_sidechain,
    k_is_meta,
    k_agent_id,
    k_message,
    k_request_id,
    k_cost_usd,
    k_duration_ms,
    k_summary,
    k_ai_title,
    k_custom_title,
    k_top_count,
};
constexpr std::array<std::string_view, k_top_count> top_keys{
    "type"sv,        "uuid"sv,       "timestamp"sv, "subtype"sv, "sessionId"sv,
    "isSidechain"sv, "isMeta"sv,     "agentId"sv,   "message"sv, "requestId"sv,
    "costUSD"sv,     "durationMs"sv, "summary"sv,   "aiTitle"sv, "customTitle"sv,
};

enum payload_key : std::uint8_t { p_id, p_model, p_content, p_usage, p_count };
constexpr std::array<std::string_view, p_count> payload_keys{"id"sv, "model"sv, "content"sv,
                                                             "usage"sv};

enum usage_key : std::uint8_t {
    u_input,
    u_output,
    u_cache_creation,
    u_cache_read,
    u_split,
    u_count
};
constexpr std::array<std::string_view, u_count> usage_keys{
    "input_tokens"sv,
    "output_tokens"sv,
    "cache_creation_input_tokens"sv,
    "cache_read_input_tokens"sv,
    "cache_creation"sv,
};

enum split_key : std::uint8_t { s_5m, s_1h, s_count };
constexpr std::array<std::string_view, s_count> split_keys{"ephemeral_5m_input_tokens"sv,
                                                           "ephemeral_1h_input_tokens"sv};

enum block_key : std::uint8_t { b_type, b_name, b_id, b_tool_use_id, b_is_error, b_count };
constexpr std::array<std::string_view, b_count> block_keys{"type"sv, "name"sv, "id"sv,
                                                           "tool_use_id"sv, "is_error"sv};

constexpr auto top_lengths = detail::keys_by_length(top_keys);
constexpr auto payload_lengths = detail::keys_by_length(payload_keys);
constexpr auto usage_lengths = detail::keys_by_length(usage_keys);
constexpr auto split_lengths = detail::keys_by_length(split_keys);
constexpr auto block_lengths = detail::keys_by_length(block_keys);

// Fills a usage_line from a parsed line; the problem texts are the complete reader's.
class usage_mapper : detail::field_reader {
  public:
    template <class V>
    void map(V root, usage_line& out) {
        const std::uint64_t line = out.line;
        reset(out);
        out.line = line;
        if (!record(root, out)) {
            reset(out);
            out.line = line;
            out.what = usage_line::kind::problem;
            out.reason = std::move(reason);
        }
    }

  private:
    static void reset(usage_line& out) {
        out.what = usage_line::kind::other;
        out.timestamp.reset();
        out.session_id.reset();
        out.agent_id.reset();
        out.is_sidechain = false;
        out.message_id.reset();
        out.request_id.reset();
        out.model.reset();
        out.usage = usage_counts{};
        out.cost_usd.reset();
        out.tools.clear();
        out.tool_ids.clear();
        out.tool_results.clear();
        out.title_kind = title_source::none;
        out.title = {};
        out.turn_duration_ms.reset();
        out.reason.clear();
    }

    template <class V>
    bool usage(V object, usage_counts& u) {
        if (object.kind() != json_kind::object) return wrong("message.usage", "an object");
        detail::members<V, u_count> f(object, usage_keys, usage_lengths);
        if (!count(f.value[u_input], f.present[u_input], "message.usage.input_tokens",
                   u.input_tokens) ||
            !count(f.value[u_output], f.present[u_output], "message.usage.output_tokens",
                   u.output_tokens) ||
            !count(f.value[u_cache_creation], f.present[u_cache_creation],
                   "message.usage.cache_creation_input_tokens", u.cache_creation_input_tokens) ||
            !count(f.value[u_cache_read], f.present[u_cache_read],
                   "message.usage.cache_read_input_tokens", u.cache_read_input_tokens)) {
            return false;
        }
        if (!f.has(u_split)) return true;
        V split = f.value[u_split];
        if (split.kind() != json_kind::object) {
            return wrong("message.usage.cache_creation", "an object");
        }
        detail::members<V, s_count> s(split, split_keys, split_lengths);
        return count(s.value[s_5m], s.present[s_5m],
                     "message.usage.cache_creation.ephemeral_5m_input_tokens",
                     u.ephemeral_5m_input_tokens) &&
               count(s.value[s_1h], s.present[s_1h],
                     "message.usage.cache_creation.ephemeral_1h_input_tokens",
                     u.ephemeral_1h_input_tokens);
    }

    // The calls of an assistant's content; the results in a user's, and whether it has any.
    // Nothing here makes a line a problem: a block the scan cannot use is passed over.
    template <class V>
    static bool scan_blocks(V content, usage_line& out, bool assistant) {
        bool tool_result = false;
        for (auto it = content.array_begin(); it != content.array_end(); ++it) {
            V block(*it);
            if (block.kind() != json_kind::object) continue;
            detail::members<V, b_count> f(block, block_keys, block_lengths);
            if (!f.present[b_type] || f.value[b_type].kind() != json_kind::string) continue;
            const std::string_view type = f.value[b_type].string();
            if (!assistant) {
                if (type != "tool_result") continue;
                tool_result = true;
                if (f.present[b_tool_use_id] &&
                    f.value[b_tool_use_id].kind() == json_kind::string) {
                    const bool error = f.present[b_is_error] &&
                                       f.value[b_is_error].kind() == json_kind::boolean &&
                                       f.value[b_is_error].boolean();
                    out.tool_results.emplace_back(f.value[b_tool_use_id].string(), error);
                }
            } else if (type == "tool_use" && f.present[b_name] &&
                       f.value[b_name].kind() == json_kind::string) {
                out.tools.push_back(f.value[b_name].string());
                std::optional<std::string_view> id;
                if (f.present[b_id] && f.value[b_id].kind() == json_kind::string) {
                    id = f.value[b_id].string();
                }
                out.tool_ids.push_back(id);
            }
        }
        return tool_result;
    }

    template <class V>
    bool message(detail::members<V, k_top_count>& f, bool assistant, usage_line& out) {
        if (!f.present[k_uuid]) return missing("uuid");
        if (f.value[k_uuid].kind() != json_kind::string) return wrong("uuid", "a string");
        if (!f.present[k_timestamp]) return missing("timestamp");
        V stamp = f.value[k_timestamp];
        if (stamp.kind() != json_kind::string) return wrong("timestamp", "a string");
        auto parsed = date_time::parse(stamp.string());
        if (!parsed) return wrong("timestamp", "an RFC 3339 time");
        out.timestamp = parsed.value();
        if (!f.present[k_message]) return missing("message");
        bool is_meta = false;
        if (!flag(f.value[k_is_sidechain], f.present[k_is_sidechain], "isSidechain",
                  out.is_sidechain) ||
            !flag(f.value[k_is_meta], f.present[k_is_meta], "isMeta", is_meta) ||
            !text(f.value[k_agent_id], f.present[k_agent_id], "agentId", out.agent_id) ||
            !text(f.value[k_request_id], f.present[k_request_id], "requestId", out.request_id) ||
            !number(f.value[k_cost_usd], f.present[k_cost_usd], "costUSD", out.cost_usd)) {
            return false;
        }
        V payload = f.value[k_message];
        if (payload.kind() != json_kind::object) return wrong("message", "an object");
        detail::members<V, p_count> p(payload, payload_keys, payload_lengths);
        if (!text(p.value[p_id], p.present[p_id], "message.id", out.message_id) ||
            !text(p.value[p_model], p.present[p_model], "message.model", out.model)) {
            return false;
        }
        if (!p.present[p_content]) return missing("message.content");
        V content = p.value[p_content];
        bool tool_result = false;
        // Tool names matter only for replies, tool results only for telling prompts apart.
        const bool blocks_matter = !assistant || p.has(p_usage);
        if (content.kind() == json_kind::array) {
            if (blocks_matter) tool_result = scan_blocks(content, out, assistant);
        } else if (content.kind() != json_kind::string) {
            return wrong("message.content", "a string or an array");
        }
        if (assistant) {
            if (p.has(p_usage)) {
                if (!usage(p.value[p_usage], out.usage)) return false;
                out.what = usage_line::kind::reply;
            }
        } else if (!is_meta && !tool_result) {
            out.what = usage_line::kind::prompt;
        }
        return true;
    }

    template <class V>
    bool title(detail::members<V, k_top_count>& f, std::size_t key, title_source source,
               std::string_view field, usage_line& out) {
        if (!f.present[key]) return missing(field);
        if (f.value[key].kind() != json_kind::string) return wrong(field, "a string");
        out.title_kind = source;
        out.title = f.value[key].string();
        return true;
    }

    template <class V>
    bool record(V root, usage_line& out) {
        if (root.kind() != json_kind::object) {
            reason = "not a JSON object";
            return false;
        }
        detail::members<V, k_top_count> f(root, top_keys, top_lengths);
        if (!f.present[k_type]) return missing("type");
        if (f.value[k_type].kind() != json_kind::string) return wrong("type", "a string");
        const std::string_view type = f.value[k_type].string();
        if (!text(f.value[k_session_id], f.present[k_session_id], "sessionId", out.session_id)) {
            return false;
        }
        if (type == "user" || type == "assistant") return message(f, type == "assistant", out);
        // Other records' times are informative only: one that does not read is left out.
        if (f.has(k_timestamp) && f.value[k_timestamp].kind() == json_kind::string) {
            auto parsed = date_time::parse(f.value[k_timestamp].string());
            if (parsed) out.timestamp = parsed.value();
        }
        if (!text(f.value[k_agent_id], f.present[k_agent_id], "agentId", out.agent_id)) {
            return false;
        }
        if (type == "summary") return title(f, k_summary, title_source::summary, "summary", out);
        if (type == "custom-title") {
            return title(f, k_custom_title, title_source::custom_title, "customTitle", out);
        }
        if (type == "ai-title") return title(f, k_ai_title, title_source::ai_title, "aiTitle", out);
        if (type == "system" && f.has(k_subtype) &&
            f.value[k_subtype].kind() == json_kind::string &&
            f.value[k_subtype].string() == "turn_duration") {
            return count(f.value[k_duration_ms], f.present[k_duration_ms], "durationMs",
                         out.turn_duration_ms);
        }
        return true;
    }
};

// What parsing keeps from one file to the next: the JSON parser's buffers above all.
struct parse_state {
    detail::json_line_reader reader;
    usage_mapper mapper;
    usage_line line;
};

// The line handler (see parser/line_source.hpp): each line mapped and handed to the sink.
class usage_handler {
  public:
    usage_handler(parse_state& state, usage_sink& sink) : state_(state), sink_(sink) {}

    void expect_bytes(std::size_t) {}

    bool line(std::uint64_t number, std::string_view text, std::size_t readable) {
        usage_line& out = state_.line;
        out.line = number;
        switch (state_.reader.read(text, readable)) {
            case detail::json_line_reader::outcome::dom:
                state_.mapper.map(state_.reader.dom(), out);
                break;
            case detail::json_line_reader::outcome::value:
                state_.mapper.map(state_.reader.value(), out);
                break;
            case detail::json_line_reader::outcome::not_utf8:
                return problem(number, "not valid UTF-8");
            case detail::json_line_reader::outcome::invalid_json:
                return problem(number, "not JSON: " + state_.reader.error());
            case detail::json_line_reader::outcome::too_long:
                return problem(number, "line " + std::to_string(number) + " is longer than " +
                                           std::to_string(max_line_bytes) + " bytes");
        }
        last_ok_ = out.what != usage_line::kind::problem;
        return sink_.take(out);
    }

    // Whether the last line handed on read as a record.
    bool last_ok_ = true;

  private:
    bool problem(std::uint64_t number, std::string reason) {
        usage_line& out = state_.line;
        out = usage_line{};
        out.line = number;
        out.what = usage_line::kind::problem;
        out.reason = std::move(reason);
        last_ok_ = false;
        return sink_.take(out);
    }

    parse_state& state_;
    usage_sink& sink_;
};

// Sits between the line layer's blocks and its line splitter to keep count of where the read
// stands: the end of the last complete line, and cancellation once a block.
class usage_blocks final : public detail::block_sink {
  public:
    usage_blocks(parse_state& state, usage_sink& sink, std::uint64_t start,
                 const std::atomic<bool>* cancel)
        : handler_(state, sink), splitter_(handler_), cancel_(cancel), read_{start, 0, false} {}

    void expect_bytes(std::size_t bytes) override { splitter_.expect_bytes(bytes); }

    bool block(const char* data, std::size_t size, const char* readable_end) override {
        // Checked once a block (a fraction of a millisecond of parsing), so a cancelled scan
        // stops promptly without a test per line.
        if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
            read_.cancelled = true;
            return false;
        }
        // Lines up to the last line feed are complete; what follows it counts only if it reads.
        const void* last_lf = ::memrchr(data, '\n', size);
        std::size_t complete =
            last_lf == nullptr ? 0 : std::size_t(static_cast<const char*>(last_lf) - data) + 1;
        handler_.last_ok_ = true;
        const std::uint64_t before = splitter_.lines_seen();
        // Stopped by the sink: what was handed on before is all that counts.
        if (!splitter_.block(data, size, readable_end)) return false;
        // The splitter has already found every line feed; counting them again was a third of
        // the scan's time. Its count includes a last line without one.
        read_.lines += splitter_.lines_seen() - before - (complete < size ? 1 : 0);
        if (complete < size && handler_.last_ok_) {
            complete = size;
            ++read_.lines;
        }
        read_.end += complete;
        return true;
    }

    [[nodiscard]] const usage_read& result() const { return read_; }

  private:
    usage_handler handler_;
    detail::line_splitter<usage_handler> splitter_;
    const std::atomic<bool>* cancel_;
    usage_read read_;
};

}  // namespace

struct usage_reader::impl {
    parse_state state;
};

usage_reader::usage_reader() : impl_(std::make_unique<impl>()) {}
usage_reader::~usage_reader() = default;

std::optional<sdk_error> usage_reader::read(int fd, std::uint64_t start, usage_sink& sink,
                                            const std::atomic<bool>* cancel, usage_read& out) {
    out = usage_read{start, 0, false};
    if (start > 0 && ::lseek(fd, off_t(start), SEEK_SET) < 0) {
        return sdk_error::io(io_error::from_errno(errno));
    }
    usage_blocks blocks(impl_->state, sink, start, cancel);
    result<read_end> how = detail::read_fd_blocks(fd, blocks);
    out = blocks.result();
    if (!how) return how.error();
    return std::nullopt;
}

usage_read usage_reader::read_bytes(std::string_view bytes, usage_sink& sink) {
    usage_blocks blocks(impl_->state, sink, 0, nullptr);
    blocks.expect_bytes(bytes.size());
    (void)blocks.block(bytes.data(), bytes.size(), bytes.data() + bytes.size());
    return blocks.result();
}

std::optional<sdk_error> read_usage(int fd, std::uint64_t start, usage_sink& sink,
                                    const std::atomic<bool>* cancel, usage_read& out) {
    usage_reader reader;
    return reader.read(fd, start, sink, cancel, out);
}

usage_read read_usage_bytes(std::string_view bytes, usage_sink& sink) {
    usage_reader reader;
    return reader.read_bytes(bytes, sink);
}

}  // namespace kestro
