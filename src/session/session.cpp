// Reading a log into a session in one pass, building the shared session, and its threads.
#include "session/session.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "session/session_sink.hpp"

namespace kestro {

namespace {

result<parsed_session> assemble(result<parsed_log> log, session_sink& sink, std::string path_text) {
    if (!log) return log.error();
    parsed_log& records = log.value();
    parsed_session s;
    s.session_id = std::move(records.session_id);
    s.messages = std::move(records.messages);
    s.summaries = std::move(records.summaries);
    s.conversation_tree = build_conversation_tree(s.messages);
    s.metadata = sink.finish_metadata(std::move(path_text));
    s.tool_executions = sink.finish_executions();
    return s;
}

}  // namespace

result<parsed_session> parse_session_file(const std::filesystem::path& path,
                                          const warning_sink& warn, const read_options& options) {
    session_sink sink;
    return assemble(read_strict_file(path, sink, warn, options), sink, path.native());
}

result<parsed_session> parse_session_bytes(std::string_view bytes, std::string path_text,
                                           const warning_sink& warn) {
    session_sink sink;
    return assemble(read_strict_bytes(bytes, sink, warn), sink, std::move(path_text));
}

std::shared_ptr<const session> build_session(parsed_session&& parsed) {
    auto s = std::make_shared<session>();
    s->parsed = std::move(parsed);
    // The executions point into the records' content blocks, which the move leaves in place.
    if (s->parsed.tool_executions) {
        s->tool_executions = std::move(*s->parsed.tool_executions);
        s->parsed.tool_executions.reset();
    } else {
        s->tool_executions = pair_tool_executions(s->parsed.messages);
    }
    s->tree_stats = compute_stats(s->parsed.conversation_tree);
    // The parser's tree was built from these records, and its index is the one threads need.
    auto& identifiers = s->parsed.conversation_tree.identifiers;
    if (identifiers.number.empty() && !s->parsed.messages.empty()) {
        identifiers = identifier_index::of(s->parsed.messages);
    }
    return s;
}

std::vector<std::size_t> thread_indices(const session& s, const uuid& target) {
    std::vector<std::size_t> thread;
    std::unordered_set<std::size_t> seen;
    const auto& records = s.parsed.messages;
    const auto& identifiers = s.parsed.conversation_tree.identifiers;
    uuid current = target;
    for (;;) {
        const std::optional<std::size_t> last = identifiers.last_record_of(current);
        if (!last) break;
        if (!seen.insert(*last).second) break;
        thread.push_back(*last);
        const auto& parent = records[*last].parent_uuid;
        if (!parent) break;
        current = *parent;
    }
    std::reverse(thread.begin(), thread.end());
    return thread;
}

}  // namespace kestro
