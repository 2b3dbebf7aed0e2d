// Invariant checks behind the fuzz targets: what must hold for any bytes at all.
#include "fuzz_checks.hpp"

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <concepts>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "analysis/message_text.hpp"
#include "parser/json_reader.hpp"
#include "parser/json_view.hpp"
#include "parser/line_source.hpp"
#include "parser/record_mapping.hpp"
#include "session/session.hpp"
#include "session/transcript.hpp"

namespace kestro::fuzz {
namespace {

std::size_t input_size = 0;  // of the input under check, for the failure report

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s (input of %zu bytes)\n", what, input_size);
        std::abort();
    }
}

// A canonical text of everything a record holds, for comparing two mappings of one line;
// the JSON values inside are kept aside and compared as values.
struct digest {
    std::string text;
    std::vector<json_value> values;

    bool operator==(const digest&) const = default;

    template <class... T>
    void put(const T&... fields) {
        (put_one(fields), ...);
    }

    template <class T>
    void put_one(const T& v) {
        if constexpr (std::is_same_v<T, json_value>) {
            text += 'J';
            values.push_back(v);
        } else if constexpr (std::is_same_v<T, packed_json>) {
            text += 'J';
            values.push_back(v.to_json_value());
        } else if constexpr (requires { v.has_value(); }) {
            text += v ? '+' : '-';
            if (v) put_one(*v);
        } else if constexpr (std::is_enum_v<T>) {
            text += to_json_text(v);
        } else if constexpr (std::is_same_v<T, double>) {
            // Bits, not decimal text: the two readers must agree to the last bit.
            text += std::to_string(std::bit_cast<std::uint64_t>(v)) + 'd';
        } else if constexpr (std::is_integral_v<T>) {
            text += std::to_string(v) + ';';
        } else if constexpr (std::is_same_v<T, uuid>) {
            text += v.to_string();
        } else if constexpr (std::is_same_v<T, date_time>) {
            put(v.seconds, v.nanos);
        } else if constexpr (std::is_same_v<T, token_usage>) {
            put(v.input_tokens, v.cache_creation_input_tokens, v.cache_read_input_tokens,
                v.output_tokens, v.service_tier);
        } else {
            text += std::to_string(v.size()) + ':';
            text += v;
        }
    }

    // Blocks nest through tool results, so the walk keeps its own stack; null closes a list.
    void put_blocks(const std::vector<content_block>& top) {
        std::vector<const content_block*> stack{nullptr};
        auto push_all = [&](const std::vector<content_block>& list) {
            for (auto it = list.rbegin(); it != list.rend(); ++it)
                stack.push_back(&*it);
        };
        push_all(top);
        while (!stack.empty()) {
            const content_block* b = stack.back();
            stack.pop_back();
            text += b ? char('A' + b->value.index()) : ')';
            if (!b) continue;
            if (const auto* t = std::get_if<text_block>(&b->value)) {
                put(t->text);
            } else if (const auto* h = std::get_if<thinking_block>(&b->value)) {
                put(h->thinking, h->signature);
            } else if (const auto* u = std::get_if<tool_use_block>(&b->value)) {
                put(u->id, u->name, u->input);
            } else if (const auto* r = std::get_if<tool_result_block>(&b->value)) {
                put(r->tool_use_id, r->is_error, r->content.has_value());
                if (const auto* s =
                        r->content ? std::get_if<std::string>(&r->content->value) : nullptr) {
                    put(*s);
                } else if (r->content) {
                    stack.push_back(nullptr);
                    push_all(std::get<std::vector<content_block>>(r->content->value));
                }
            } else {
                const auto& img = std::get<image_block>(b->value).source;
                put(img.type, img.media_type, img.data);
            }
        }
    }
};

// What one line becomes: the record's digest, or the mapping's failure text.
template <class V>
digest map_line(const V& root, message_record& r) {
    V type;
    bool has_type = false;
    if (root.kind() == detail::json_kind::object) {
        root.for_each_member([&](std::string_view key, V value) {
            has_type = has_type || key == "type";
            if (key == "type") type = value;
        });
    }
    digest d;
    if (!has_type || type.kind() != detail::json_kind::string) return {"no type", {}};
    const std::string name(type.string());
    detail::record_mapper mapper;
    if (name == "user" || name == "assistant") {
        if (auto m = mapper.map_message(root, r); !m) {
            return {"message failed: " + *m.error().as_text(), {}};
        }
        require(to_json_text(r.message_type) == name, "message type differs from 'type'");
        const message_payload& m = r.message;
        d.put(r.parent_uuid, r.is_sidechain, r.user_type, r.cwd, r.session_id, r.version,
              r.message_type, m.id, m.role, m.model, m.stop_reason, m.usage, r.cost_usd,
              r.duration_ms, r.request_id, r.uuid, r.timestamp, r.tool_use_result, r.is_meta);
        d.put_blocks(m.content);
        return d;
    }
    if (name == "summary") {
        summary_record s;
        if (auto m = mapper.map_summary(root, s); !m) {
            return {"summary failed: " + *m.error().as_text(), {}};
        }
        require(s.record_type == "summary", "summary record_type is not 'summary'");
        d.put(s.summary, s.leaf_uuid);
        return d;
    }
    return {"unknown " + name, {}};
}

// Whether a JSON failure text ends in " at line 1 column N" with N within the line or one past.
bool names_position(const std::string& error, std::size_t line_size) {
    static constexpr std::string_view marker = " at line 1 column ";
    const auto at = error.rfind(marker);
    std::size_t column = 0;
    const char* end = error.data() + error.size();
    if (at == std::string::npos || at == 0) return false;
    const auto [last, ec] = std::from_chars(error.data() + at + marker.size(), end, column);
    return ec == std::errc() && last == end && column >= 1 && column <= line_size + 1;
}

void check_error(const sdk_error& error, std::string_view bytes) {
    const std::string text = error.render();
    if (error.kind() == error_kind::io) {
        require(!simdjson::validate_utf8(bytes.data(), bytes.size()),
                "an I/O error for bytes that are valid UTF-8");
        require(text == "IO error: stream did not contain valid UTF-8",
                "the UTF-8 failure has another text");
        return;
    }
    const parse_error* p = error.as_parse();
    require(p != nullptr, "an error kind the parser never produces");
    if (p->kind == parse_error_kind::empty_file) {
        require(text == "Parse error: Empty session file", "the empty-file text differs");
        return;
    }
    require(p->kind == parse_error_kind::invalid_jsonl, "a parse kind the parser never produces");
    const auto lines = std::uint64_t(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
    require(p->line >= 1 && p->line <= lines, "the failing line number is outside the file");
    const std::string prefix =
        "Parse error: Invalid JSONL format at line " + std::to_string(p->line) + ": ";
    require(text.starts_with(prefix), "the line failure renders without its prefix");
    const std::string_view message = std::string_view(text).substr(prefix.size());
    require(message == "Missing 'type' field" || message.starts_with("Invalid JSON: ") ||
                message.starts_with("Invalid message record: ") ||
                message.starts_with("Invalid summary record: "),
            "the line failure has an unknown message");
}

}  // namespace

void check_line(const std::uint8_t* data, std::size_t size) {
    input_size = size;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view line = input.substr(0, input.find('\n'));
    if (line.size() < input.size() && line.ends_with('\r')) line.remove_suffix(1);
    // The session reader rejects such lines before any JSON is read.
    if (!simdjson::validate_utf8(line.data(), line.size()) || detail::is_blank(line)) return;
    // Padded room after the line so the fast reader parses it where it lies, as the file
    // reader does for all but the last lines of a block.
    std::vector<char> padded(line.size() + simdjson::SIMDJSON_PADDING);
    std::memcpy(padded.data(), line.data(), line.size());

    detail::line_reader reader;
    const auto outcome = reader.parse(std::string_view(padded.data(), line.size()), padded.size());
    const result<json_value> parsed = detail::parse_json_precise(line);
    const bool precise_ok = parsed.ok();
    const std::string precise_error = precise_ok ? std::string() : *parsed.error().as_text();
    json_value precise = precise_ok ? parsed.value() : json_value();
    if (outcome == detail::line_reader::outcome::failed) {
        require(names_position(reader.error(), line.size()),
                "a JSON failure text names no position within the line");
        require(precise_ok || reader.error() == precise_error,
                "the reader's failure text is not the precise reader's");
        return;
    }
    require(precise_ok, "the reader accepted a line the precise reader refuses");
    if (outcome == detail::line_reader::outcome::value) {
        require(reader.value() == precise, "the reader's value is not the precise reader's");
        message_record r;
        (void)map_line(detail::json_view(reader.value()), r);
        return;
    }
    require(detail::to_json_value(reader.dom()) == precise,
            "the two readers built different value trees");
    message_record fast, slow;
    require(map_line(detail::dom_view(reader.dom()), fast) ==
                map_line(detail::json_view(precise), slow),
            "the two record mappings disagree");
}

void check_session(const std::uint8_t* data, std::size_t size) {
    input_size = size;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = "fuzz.jsonl";
    std::size_t warnings = 0;
    // Warnings are checked for their form and dropped: stderr stays quiet while fuzzing.
    const warning_sink sink = [&](std::string_view line) {
        ++warnings;
        require(line.starts_with("Warning: Unknown record type '") && line.ends_with(", skipping"),
                "a warning of another form");
    };
    result<parsed_session> parsed = parse_session_bytes(bytes, path, sink);
    require(warnings <= std::size_t(std::count(bytes.begin(), bytes.end(), '\n')) + 1,
            "more warnings than lines");
    if (!parsed) {
        check_error(parsed.error(), bytes);
        return;
    }
    // What the analyses compute is checked against the records by the property tests; here
    // they only have to run to the end on any input without a sanitizer report.
    const parsed_session& p = parsed.value();
    require(simdjson::validate_utf8(bytes.data(), bytes.size()), "invalid UTF-8 was accepted");
    require(!p.messages.empty() && p.session_id == p.messages.front().session_id,
            "the session id is not the first record's");
    (void)compute_stats(p.conversation_tree);
    const auto s = build_session(std::move(parsed.value()));
    // Capped so that a long chain stays a cheap input.
    for (std::size_t i = 0; i < std::min<std::size_t>(s->parsed.messages.size(), 64); ++i) {
        const message_record& r = s->parsed.messages[i];
        (void)message_text(r.message);
        (void)message_tools(r.message);
        require(!thread_indices(*s, r.uuid).empty(), "no thread for a record of the session");
    }
}

void check_transcript(const std::uint8_t* data, std::size_t size) {
    input_size = size;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const transcript t = read_transcript_text(bytes, "fuzz.jsonl");
    std::uint64_t last_line = 0;
    std::size_t messages = 0;
    for (const transcript_record& r : t.records) {
        require(r.line > last_line, "records out of line order");
        last_line = r.line;
        require((r.kind == record_kind::problem) == !r.reason.empty(), "a problem without reason");
        if (r.kind == record_kind::message) {
            require(r.message == messages && t.messages[r.message].record == &r - t.records.data(),
                    "a message record and its message disagree");
            ++messages;
        }
    }
    require(messages == t.messages.size(), "messages that no record names");
    for (const transcript_reply& reply : t.replies) {
        for (std::uint32_t m : reply.messages) {
            require(t.messages[m].role == role::assistant && t.messages[m].usage.has_value(),
                    "a reply of a message without usage");
        }
    }
    for (std::uint32_t i = 0; i < std::min<std::size_t>(t.records.size(), 64); ++i) {
        require(thread_of(t, i).size() <= t.messages.size(), "a thread longer than the messages");
    }
    result<parsed_session> exact =
        parse_session_bytes(bytes, "fuzz.jsonl", [](std::string_view) {});
    if (!exact) return;
    for (const transcript_record& r : t.records) {
        require(r.kind != record_kind::problem, "a problem on a line the exact reader accepts");
    }
    require(exact.value().messages.size() == t.messages.size(),
            "the readers disagree on the messages");
}

}  // namespace kestro::fuzz
