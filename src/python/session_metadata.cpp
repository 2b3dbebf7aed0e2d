// SessionMetadata: the counts, sums and times of a session.
//
//     metadata.tool_usage_count -> new dict in first-use order
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

std::optional<std::string> rfc3339(const std::optional<date_time>& t) {
    if (!t) return std::nullopt;
    return t->to_rfc3339();
}

std::optional<std::string> SessionMetadata_first_message_timestamp(const metadata_obj& o) {
    return rfc3339(o.item->first_message_timestamp);
}
std::optional<std::string> SessionMetadata_last_message_timestamp(const metadata_obj& o) {
    return rfc3339(o.item->last_message_timestamp);
}
std::optional<std::int64_t> SessionMetadata_session_duration(const metadata_obj& o) {
    if (!o.item->session_duration) return std::nullopt;
    return o.item->session_duration->whole_seconds();
}

PyObject* SessionMetadata_repr(PyObject* self) {
    const auto& m = *cast<metadata_obj>(self).item;
    return to_py("<SessionMetadata messages=" + std::to_string(m.total_messages) + " cost=$" +
                 four_decimals(m.total_cost_usd) +
                 " tools=" + std::to_string(m.unique_tools_used.size()) + ">");
}

using md = session_metadata;
PyGetSetDef SessionMetadata_getset[] = {
    member<metadata_obj, &md::total_messages>("total_messages"),
    member<metadata_obj, &md::user_messages>("user_messages"),
    member<metadata_obj, &md::assistant_messages>("assistant_messages"),
    member<metadata_obj, &md::total_cost_usd>("total_cost_usd"),
    member<metadata_obj, &md::total_input_tokens>("total_input_tokens"),
    member<metadata_obj, &md::total_output_tokens>("total_output_tokens"),
    member<metadata_obj, &md::cache_creation_tokens>("cache_creation_tokens"),
    member<metadata_obj, &md::cache_read_tokens>("cache_read_tokens"),
    member<metadata_obj, &md::unique_tools_used>("unique_tools_used"),
    member<metadata_obj, &md::total_tool_calls>("total_tool_calls"),
    member<metadata_obj, &md::tool_usage_count>("tool_usage_count"),
    member<metadata_obj, &md::session_file_path>("session_file_path"),
    computed<metadata_obj, SessionMetadata_first_message_timestamp>("first_message_timestamp"),
    computed<metadata_obj, SessionMetadata_last_message_timestamp>("last_message_timestamp"),
    computed<metadata_obj, SessionMetadata_session_duration>("session_duration"),
    member<metadata_obj, &md::total_duration_ms>("total_duration_ms"),
    member<metadata_obj, &md::average_response_time_ms>("average_response_time_ms"),
    {},
};

constexpr const char* SessionMetadata_doc =
    "Metadata about a parsed session\n"
    "\n"
    "This class provides detailed statistics and metadata about a Kestro Code session,\n"
    "including token usage, timing information, and tool usage patterns.\n"
    "\n"
    "Properties:\n"
    "    total_messages: Total number of messages in the session\n"
    "    user_messages: Number of user messages\n"
    "    assistant_messages: Number of assistant messages\n"
    "    total_cost_usd: Total cost in USD\n"
    "    total_input_tokens: Total input tokens used\n"
    "    total_output_tokens: Total output tokens generated\n"
    "    cache_creation_tokens: Tokens used for cache creation\n"
    "    cache_read_tokens: Tokens read from cache\n"
    "    unique_tools_used: List of unique tool names used\n"
    "    total_tool_calls: Total number of tool invocations\n"
    "    tool_usage_count: Dictionary mapping tool names to usage counts\n"
    "    session_file_path: Path to the session file\n"
    "    first_message_timestamp: Timestamp of the first message\n"
    "    last_message_timestamp: Timestamp of the last message\n"
    "    session_duration: Duration of the session in seconds\n"
    "    total_duration_ms: Total processing time in milliseconds\n"
    "    average_response_time_ms: Average assistant response time";

PyType_Slot SessionMetadata_slots[] = {
    {Py_tp_doc, const_cast<char*>(SessionMetadata_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<metadata_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, SessionMetadata_getset},
    {Py_tp_repr, slot(unary_entry<SessionMetadata_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec SessionMetadata_spec{class_name(class_id::session_metadata), sizeof(metadata_obj), 0,
                                 k_type_flags, SessionMetadata_slots};

}  // namespace kestro::py
