// Invariant checks behind the fuzz targets: what must hold for any bytes at all.
#include "fuzz_checks.hpp"

#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <variant>
#include <vector>

#include "analysis/metadata.hpp"
#include "analysis/session.hpp"
#include "analysis/tool_executions.hpp"
#include "conversation/tree.hpp"
#include "error.hpp"
#include "parser/json_reader.hpp"
#include "parser/json_view.hpp"
#include "parser/record_mapping.hpp"
#include "parser/session.hpp"

namespace kestro::fuzz {

void fail(std::string_view what, std::size_t input_size) {
    std::fprintf(stderr, "invariant broken: %.*s (input of %zu bytes)\n", int(what.size()),
                 what.data(), input_size);
    std::abort();
}

namespace {

void put_text(std::string& out, std::string_view s) {
    out += std::to_string(s.size());
    out += ':';
    out += s;
}

template <class T>
void put_optional_text(std::string& out, const std::optional<T>& s) {
    if (s) {
        out += '+';
        put_text(out, *s);
    } else {
        out += '-';
    }
}

template <class T>
void put_optional_number(std::string& out, const std::optional<T>& v) {
    out += v ? '+' + std::to_string(*v) : std::string("-");
}

void put_double(std::string& out, double d) {
    // Bits, not decimal text: the two readers must agree to the last bit.
    out += 'd' + std::to_string(std::bit_cast<std::uint64_t>(d)) + ';';
}

// Work items of the digest walk: a value or block still to visit, or literal text to append.
using item = std::variant<const json_value*, const content_block*, std::string>;

void walk(std::string& out, std::vector<item> stack) {
    while (!stack.empty()) {
        item next = std::move(stack.back());
        stack.pop_back();
        if (auto* text = std::get_if<std::string>(&next)) {
            out += *text;
        } else if (auto* v = std::get_if<const json_value*>(&next)) {
            const auto& s = (*v)->get();
            if (std::holds_alternative<std::nullptr_t>(s)) {
                out += 'n';
            } else if (const auto* b = std::get_if<bool>(&s)) {
                out += *b ? 't' : 'f';
            } else if (const auto* u = std::get_if<std::uint64_t>(&s)) {
                out += 'u' + std::to_string(*u) + ';';
            } else if (const auto* i = std::get_if<std::int64_t>(&s)) {
                out += 'i' + std::to_string(*i) + ';';
            } else if (const auto* d = std::get_if<double>(&s)) {
                put_double(out, *d);
            } else if (const auto* str = std::get_if<std::string>(&s)) {
                out += 's';
                put_text(out, *str);
            } else if (const auto* a = std::get_if<json_value::array>(&s)) {
                out += '[';
                stack.emplace_back(std::string("]"));
                for (auto it = a->rbegin(); it != a->rend(); ++it) {
                    stack.emplace_back(&*it);
                }
            } else {
                const auto& o = std::get<json_value::object>(s);
                out += '{';
                stack.emplace_back(std::string("}"));
                for (auto it = o.rbegin(); it != o.rend(); ++it) {
                    stack.emplace_back(&it->second);
                    std::string key;
                    put_text(key, it->first);
                    stack.emplace_back(std::move(key));
                }
            }
        } else {
            const auto& block = std::get<const content_block*>(next)->value;
            if (const auto* t = std::get_if<text_block>(&block)) {
                out += "T";
                put_text(out, t->text);
            } else if (const auto* h = std::get_if<thinking_block>(&block)) {
                out += "H";
                put_text(out, h->thinking);
                put_text(out, h->signature);
            } else if (const auto* u = std::get_if<tool_use_block>(&block)) {
                out += "U";
                put_text(out, u->id);
                put_text(out, u->name);
                stack.emplace_back(&u->input);
            } else if (const auto* r = std::get_if<tool_result_block>(&block)) {
                out += "R";
                put_text(out, r->tool_use_id);
                std::string tail = r->is_error ? (*r->is_error ? "+t" : "+f") : "-";
                if (!r->content) {
                    out += '-';
                    out += tail;
                } else if (const auto* s = std::get_if<std::string>(&r->content->value)) {
                    out += 's';
                    put_text(out, *s);
                    out += tail;
                } else {
                    const auto& blocks = std::get<std::vector<content_block>>(r->content->value);
                    out += '[';
                    stack.emplace_back("]" + tail);
                    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
                        stack.emplace_back(&*it);
                    }
                }
            } else {
                const auto& img = std::get<image_block>(block).source;
                out += "I";
                put_text(out, img.type);
                put_text(out, img.media_type);
                put_text(out, img.data);
            }
        }
    }
}

}  // namespace

std::string digest(const json_value& v) {
    std::string out;
    walk(out, {&v});
    return out;
}

std::string digest(const message_record& r) {
    std::string out;
    put_optional_text(out, r.parent_uuid ? std::optional(r.parent_uuid->to_string())
                                         : std::optional<std::string>());
    out += r.is_sidechain ? 't' : 'f';
    out += to_json_text(r.user_type);
    put_text(out, r.cwd);
    put_text(out, r.session_id);
    put_text(out, r.version);
    out += to_json_text(r.message_type);
    put_optional_text(out, r.message.id);
    out += to_json_text(r.message.role);
    put_optional_text(out, r.message.model);
    out += r.message.stop_reason ? std::string(to_json_text(*r.message.stop_reason)) : "-";
    if (const auto& u = r.message.usage) {
        out += 'u' + std::to_string(u->input_tokens) + ',' + std::to_string(u->output_tokens);
        put_optional_number(out, u->cache_creation_input_tokens);
        put_optional_number(out, u->cache_read_input_tokens);
        put_optional_text(out, u->service_tier);
    } else {
        out += '-';
    }
    if (r.cost_usd) {
        put_double(out, *r.cost_usd);
    } else {
        out += '-';
    }
    put_optional_number(out, r.duration_ms);
    put_optional_text(out, r.request_id);
    out += r.uuid.to_string();
    out += std::to_string(r.timestamp.seconds) + '.' + std::to_string(r.timestamp.nanos);
    out += r.is_meta ? (*r.is_meta ? "+t" : "+f") : "-";
    out += r.tool_use_result ? "+" + digest(*r.tool_use_result) : "-";
    std::vector<item> blocks;
    for (auto it = r.message.content.rbegin(); it != r.message.content.rend(); ++it) {
        blocks.emplace_back(&*it);
    }
    walk(out, std::move(blocks));
    return out;
}

std::string digest(const summary_record& r) {
    std::string out;
    put_text(out, r.record_type);
    put_text(out, r.summary);
    out += r.leaf_uuid.to_string();
    return out;
}

namespace {

// What one line becomes, as text: the record's digest or the parser's message for the line.
template <class V>
std::string map_line(const V& root, detail::record_mapper& mapper, std::size_t input_size) {
    bool has_type = false;
    V type_value;
    if (root.kind() == detail::json_kind::object) {
        root.for_each_member([&](std::string_view key, V value) {
            if (key == "type") {
                has_type = true;
                type_value = value;
            }
        });
    }
    if (!has_type || type_value.kind() != detail::json_kind::string) {
        return "no type";
    }
    std::string type(type_value.string());
    if (type == "user" || type == "assistant") {
        message_record record;
        if (!mapper.map_message(root, record)) {
            require(!mapper.error().empty(), "a message mapping failed without a text", input_size);
            return "message failed: " + mapper.error();
        }
        require(to_json_text(record.message_type) == type, "message type differs from 'type'",
                input_size);
        return "message " + digest(record);
    }
    if (type == "summary") {
        summary_record record;
        if (!mapper.map_summary(root, record)) {
            require(!mapper.error().empty(), "a summary mapping failed without a text", input_size);
            return "summary failed: " + mapper.error();
        }
        require(record.record_type == "summary", "summary record_type is not 'summary'",
                input_size);
        return "summary " + digest(record);
    }
    return "unknown " + type;
}

// Whether a JSON failure text ends in " at line 1 column N" with N within the line or one past.
bool names_position(const std::string& error, std::size_t line_size) {
    static constexpr std::string_view marker = " at line 1 column ";
    auto at = error.rfind(marker);
    if (at == std::string::npos || at == 0) {
        return false;
    }
    std::string_view digits = std::string_view(error).substr(at + marker.size());
    if (digits.empty() || digits.size() > 20 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    unsigned long long column = std::strtoull(std::string(digits).c_str(), nullptr, 10);
    return column >= 1 && column <= line_size + 1;
}

}  // namespace

void check_line(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view line = input.substr(0, input.find('\n'));
    if (line.size() < input.size() && !line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    // The session reader rejects such lines before any JSON is read.
    if (!simdjson::validate_utf8(line.data(), line.size()) || detail::is_blank(line)) {
        return;
    }
    // Padded room after the line so the fast reader parses it where it lies, as the file
    // reader does for all but the last lines of a block.
    std::vector<char> padded(line.size() + simdjson::SIMDJSON_PADDING);
    std::memcpy(padded.data(), line.data(), line.size());
    std::string_view in_place(padded.data(), line.size());

    detail::line_reader reader;
    const auto outcome = reader.parse(in_place, padded.size());
    json_value precise;
    std::string precise_error;
    const bool precise_ok = detail::parse_json_precise(line, precise, precise_error);

    detail::record_mapper mapper;
    switch (outcome) {
        case detail::line_reader::outcome::failed:
            require(names_position(reader.error(), line.size()),
                    "a JSON failure text names no position within the line", size);
            if (!precise_ok) {
                require(reader.error() == precise_error,
                        "the reader's failure text is not the precise reader's", size);
            }
            return;
        case detail::line_reader::outcome::value:
            require(precise_ok, "the reader produced a value the precise reader refuses", size);
            (void)map_line(detail::json_view(reader.value()), mapper, size);
            return;
        case detail::line_reader::outcome::dom:
            break;
    }
    require(precise_ok, "the fast reader accepted a line the precise reader refuses", size);
    require(detail::to_json_value(reader.dom()) == precise,
            "the two readers built different value trees", size);
    const std::string fast = map_line(detail::dom_view(reader.dom()), mapper, size);
    detail::record_mapper second;
    const std::string slow = map_line(detail::json_view(precise), second, size);
    require(fast == slow, "the two record mappings disagree", size);
}

namespace {

bool same_double(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

std::uint32_t saturated(std::uint64_t sum) {
    return std::uint32_t(std::min<std::uint64_t>(sum, std::numeric_limits<std::uint32_t>::max()));
}

void check_error(const sdk_error& error, std::string_view bytes) {
    const std::size_t size = bytes.size();
    const std::string text = error.render();
    if (error.kind() == error_kind::io) {
        require(!simdjson::validate_utf8(bytes.data(), bytes.size()),
                "an I/O error for bytes that are valid UTF-8", size);
        require(text == "IO error: stream did not contain valid UTF-8",
                "the UTF-8 failure has another text", size);
        return;
    }
    require(error.kind() == error_kind::parse, "an error kind the parser never produces", size);
    const parse_error* p = error.as_parse();
    require(p != nullptr, "a parse error without its payload", size);
    if (p->kind == parse_error_kind::empty_file) {
        require(text == "Parse error: Empty session file", "the empty-file text differs", size);
        return;
    }
    require(p->kind == parse_error_kind::invalid_jsonl, "a parse kind the parser never produces",
            size);
    const auto lines = std::uint64_t(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
    require(p->line >= 1 && p->line <= lines, "the failing line number is outside the file", size);
    const std::string prefix =
        "Parse error: Invalid JSONL format at line " + std::to_string(p->line) + ": ";
    require(text.starts_with(prefix), "the line failure renders without its prefix", size);
    std::string_view message = std::string_view(text).substr(prefix.size());
    require(message == "Missing 'type' field" || message.starts_with("Invalid JSON: ") ||
                message.starts_with("Invalid message record: ") ||
                message.starts_with("Invalid summary record: "),
            "the line failure has an unknown message", size);
}

void check_tree(const parsed_session& parsed, std::size_t size) {
    const auto& records = parsed.messages;
    const auto& tree = parsed.conversation_tree;

    std::unordered_set<uuid, uuid_hash> ids;
    for (const auto& r : records) {
        ids.insert(r.uuid);
    }
    std::vector<uuid> orphans;
    std::size_t parentless = 0;
    for (const auto& r : records) {
        if (!r.parent_uuid) {
            ++parentless;
        } else if (!ids.contains(*r.parent_uuid)) {
            orphans.push_back(r.uuid);
        }
    }
    require(tree.orphaned_messages == orphans, "orphans differ from the missing parents", size);
    require(tree.roots.size() == parentless, "roots differ from the parentless records", size);
    require(tree.nodes.size() + tree.orphaned_messages.size() + tree.circular_references.size() <=
                records.size(),
            "more classified messages than records", size);
    for (const auto& [first, second] : tree.circular_references) {
        require(ids.contains(first) && ids.contains(second), "a cycle names an unknown record",
                size);
    }

    // One walk over the forest: every node once, children below their parents, file order.
    std::vector<bool> node_seen(tree.nodes.size(), false);
    std::vector<bool> record_seen(records.size(), false);
    std::uint64_t visited = 0, leaves = 0, branches = 0, deepest = 0;
    std::vector<std::pair<std::size_t, std::uint64_t>> stack;  // node, depth
    std::size_t previous_root_record = 0;
    for (std::size_t i = 0; i < tree.roots.size(); ++i) {
        std::size_t root = tree.roots[i];
        require(root < tree.nodes.size(), "a root outside the node table", size);
        std::size_t record = tree.nodes[root].record;
        require(record < records.size() && !records[record].parent_uuid, "a root with a parent",
                size);
        require(i == 0 || record > previous_root_record, "roots out of file order", size);
        previous_root_record = record;
        stack.emplace_back(root, 1);
    }
    std::reverse(stack.begin(), stack.end());
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        require(node < tree.nodes.size() && !node_seen[node], "a node reached twice", size);
        node_seen[node] = true;
        const auto& n = tree.nodes[node];
        require(n.record < records.size() && !record_seen[n.record], "a record in two nodes", size);
        record_seen[n.record] = true;
        ++visited;
        deepest = std::max(deepest, depth);
        require(n.first_child + n.child_count <= tree.children.size(),
                "children outside the child table", size);
        auto children = tree.children_of(node);
        leaves += children.empty() ? 1 : 0;
        branches += children.size() > 1 ? 1 : 0;
        std::size_t previous_child_record = 0;
        for (std::size_t k = 0; k < children.size(); ++k) {
            std::size_t child = children[k];
            require(child < tree.nodes.size(), "a child outside the node table", size);
            const auto& c = records[tree.nodes[child].record];
            require(c.parent_uuid && *c.parent_uuid == records[n.record].uuid,
                    "a child whose parent is another message", size);
            require(k == 0 || tree.nodes[child].record > previous_child_record,
                    "children out of file order", size);
            previous_child_record = tree.nodes[child].record;
        }
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.emplace_back(*it, depth + 1);
        }
    }
    require(visited == tree.nodes.size(), "nodes that no root reaches", size);
    const conversation_stats stats = compute_stats(tree);
    require(stats.total_messages == visited, "total_messages differs from the walk", size);
    require(stats.leaf_count == leaves, "leaf_count differs from the walk", size);
    require(stats.num_branches == branches, "num_branches differs from the walk", size);
    require(stats.max_depth == deepest, "max_depth differs from the walk", size);
}

void check_metadata(const parsed_session& parsed, std::string_view path, std::size_t size) {
    const auto& records = parsed.messages;
    const session_metadata& m = parsed.metadata;
    std::uint64_t users = 0, in = 0, out = 0, creation = 0, read = 0, calls = 0;
    double cost = 0.0;
    std::optional<date_time> first, last;
    for (const auto& r : records) {
        users += r.message_type == message_type::user ? 1 : 0;
        cost += r.cost_usd.value_or(0.0);
        if (const auto& u = r.message.usage) {
            in += u->input_tokens;
            out += u->output_tokens;
            creation += u->cache_creation_input_tokens.value_or(0);
            read += u->cache_read_input_tokens.value_or(0);
        }
        for (const auto& b : r.message.content) {
            calls += std::holds_alternative<tool_use_block>(b.value) ? 1 : 0;
        }
        first = first ? std::min(*first, r.timestamp) : r.timestamp;
        last = last ? std::max(*last, r.timestamp) : r.timestamp;
    }
    require(m.total_messages == records.size(), "total_messages is not the record count", size);
    require(m.user_messages == users && m.assistant_messages == records.size() - users,
            "user and assistant counts differ", size);
    require(same_double(m.total_cost_usd, cost), "total cost differs from the sum", size);
    require(m.total_input_tokens == saturated(in) && m.total_output_tokens == saturated(out) &&
                m.cache_creation_tokens == saturated(creation) &&
                m.cache_read_tokens == saturated(read),
            "token sums differ from the saturated sums", size);
    require(m.total_tool_calls == calls, "total_tool_calls differs from the tool-use blocks", size);
    std::uint64_t per_tool = 0;
    for (const auto& [name, count] : m.tool_usage_count) {
        per_tool += count;
        require(count > 0, "a tool counted zero times", size);
    }
    require(per_tool == calls, "per-tool counts do not add up", size);
    require(m.unique_tools_used.size() == m.tool_usage_count.size(),
            "unique tools and per-tool counts differ in size", size);
    require(m.first_message_timestamp == first && m.last_message_timestamp == last,
            "first or last timestamp is not the earliest or latest", size);
    require(m.session_duration.has_value() && m.session_duration->seconds >= 0,
            "a session duration that is absent or negative", size);
    require(m.session_file_path == path, "the file path changed on the way", size);
}

void check_session_queries(parsed_session&& parsed, std::size_t size) {
    std::size_t results = 0;
    for (const auto& r : parsed.messages) {
        for (const auto& b : r.message.content) {
            results += std::holds_alternative<tool_result_block>(b.value) ? 1 : 0;
        }
        (void)message_text(r.message);
        (void)message_tools(r.message);
    }
    std::shared_ptr<const session> s = build_session(std::move(parsed));
    const auto& records = s->parsed.messages;
    require(s->tool_executions.size() <= results, "more executions than tool results", size);
    for (const auto& e : s->tool_executions) {
        require(e.input != nullptr, "an execution without its input", size);
        require(!e.output.stdout_text && !e.output.stderr_text && !e.output.interrupted,
                "an execution with output the log cannot give", size);
    }
    // Threads end, also on loops; capped so a long chain stays a cheap input.
    const std::size_t probes = std::min<std::size_t>(records.size(), 64);
    for (std::size_t i = 0; i < probes; ++i) {
        std::vector<std::size_t> t = thread_indices(*s, records[i].uuid);
        require(!t.empty() && t.size() <= records.size(), "a thread of impossible length", size);
        require(t.back() == s->last_index_by_uuid.at(records[i].uuid),
                "a thread that does not end at the last record of its identifier", size);
        for (std::size_t k = 0; k + 1 < t.size(); ++k) {
            const auto& parent = records[t[k + 1]].parent_uuid;
            require(parent && *parent == records[t[k]].uuid, "a thread with a broken link", size);
        }
    }
}

}  // namespace

void check_session(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = "fuzz.jsonl";
    std::size_t warnings = 0;
    // Warnings are checked for their form and dropped: stderr stays quiet while fuzzing.
    const warning_sink sink = [&](std::string_view line) {
        ++warnings;
        require(line.starts_with("Warning: Unknown record type '") && line.ends_with(", skipping"),
                "a warning of another form", size);
    };
    result<parsed_session> parsed = parse_session_bytes(bytes, path, sink);
    require(warnings <= std::size_t(std::count(bytes.begin(), bytes.end(), '\n')) + 1,
            "more warnings than lines", size);
    if (!parsed) {
        check_error(parsed.error(), bytes);
        return;
    }
    parsed_session& p = parsed.value();
    require(simdjson::validate_utf8(bytes.data(), bytes.size()), "invalid UTF-8 was accepted",
            size);
    require(!p.messages.empty(), "a session without messages", size);
    require(p.session_id == p.messages.front().session_id,
            "the session id is not the first record's", size);
    check_tree(p, size);
    check_metadata(p, path, size);
    check_session_queries(std::move(p), size);
}

}  // namespace kestro::fuzz
