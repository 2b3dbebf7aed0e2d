// The value classes: TextBlock, ToolUseBlock, ThinkingBlock, ImageBlock, ToolResultBlock,
// TokenUsage, SessionMetadata, ToolResult, ToolExecution, ConversationStats, ConversationNode and
// ConversationTree. Each views its record inside the shared session and converts on every read:
//
//     block.text            -> new str          node.children   -> new nodes of direct children
//     execution.input       -> new dict/list    tree.stats      -> new ConversationStats
#include "python/models.hpp"

#include <string>
#include <variant>

#include "types/content.hpp"

namespace kestro::py {
namespace {

using block_obj = view_object<content_block>;
using usage_obj = view_object<token_usage>;
using metadata_obj = view_object<session_metadata>;
using result_obj = view_object<tool_result>;
using execution_obj = view_object<tool_execution>;
using stats_obj = view_object<conversation_stats>;
using node_obj = view_object<conversation_node>;
using tree_obj = view_object<conversation_tree>;

const char* bool_text(bool value) {
    return value ? "true" : "false";
}

// ---- blocks ----------------------------------------------------------------------------------

template <class B>
const B& block(const block_obj& o) {
    return std::get<B>(o.item->value);
}

const std::string& TextBlock_text(const block_obj& o) {
    return block<text_block>(o).text;
}

PyObject* TextBlock_repr(PyObject* self) {
    const std::string& text = block<text_block>(cast<block_obj>(self)).text;
    std::string shown;
    if (text.size() <= 50) {
        shown = text;
    } else {
        // Cut at a character boundary: back off over continuation bytes.
        std::size_t cut = 50;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        shown = text.substr(0, cut) + "...";
    }
    return to_py("<TextBlock text='" + shown + "'>");
}

const std::string& ToolUseBlock_id(const block_obj& o) {
    return block<tool_use_block>(o).id;
}
const std::string& ToolUseBlock_name(const block_obj& o) {
    return block<tool_use_block>(o).name;
}
ref ToolUseBlock_input(const block_obj& o) {
    return ref::steal(json_to_py(block<tool_use_block>(o).input));
}

PyObject* ToolUseBlock_repr(PyObject* self) {
    const auto& b = block<tool_use_block>(cast<block_obj>(self));
    return to_py("<ToolUseBlock id='" + b.id + "' name='" + b.name + "'>");
}

const std::string& ThinkingBlock_thinking(const block_obj& o) {
    return block<thinking_block>(o).thinking;
}
const std::string& ThinkingBlock_signature(const block_obj& o) {
    return block<thinking_block>(o).signature;
}

PyObject* ThinkingBlock_repr(PyObject* self) {
    return to_py("<ThinkingBlock thinking='" +
                 block<thinking_block>(cast<block_obj>(self)).thinking + "'>");
}

const std::string& ImageBlock_source_type(const block_obj& o) {
    return block<image_block>(o).source.type;
}
const std::string& ImageBlock_media_type(const block_obj& o) {
    return block<image_block>(o).source.media_type;
}
const std::string& ImageBlock_data(const block_obj& o) {
    return block<image_block>(o).source.data;
}

PyObject* ImageBlock_repr(PyObject* self) {
    return to_py("<ImageBlock media_type='" +
                 block<image_block>(cast<block_obj>(self)).source.media_type + "'>");
}

const std::string& ToolResultBlock_tool_use_id(const block_obj& o) {
    return block<tool_result_block>(o).tool_use_id;
}
std::optional<std::string> ToolResultBlock_content(const block_obj& o) {
    const auto& content = block<tool_result_block>(o).content;
    if (!content) return std::nullopt;
    return tool_result_text(*content);
}
std::optional<bool> ToolResultBlock_is_error(const block_obj& o) {
    return block<tool_result_block>(o).is_error;
}

PyObject* ToolResultBlock_repr(PyObject* self) {
    const auto& b = block<tool_result_block>(cast<block_obj>(self));
    std::string error = "None";
    if (b.is_error) error = std::string("Some(") + bool_text(*b.is_error) + ")";
    return to_py("<ToolResultBlock id='" + b.tool_use_id + "' error=" + error + ">");
}

// ---- TokenUsage ------------------------------------------------------------------------------

std::uint32_t TokenUsage_input_tokens(const usage_obj& o) {
    return o.item->input_tokens;
}
std::optional<std::uint32_t> TokenUsage_cache_creation_input_tokens(const usage_obj& o) {
    return o.item->cache_creation_input_tokens;
}
std::optional<std::uint32_t> TokenUsage_cache_read_input_tokens(const usage_obj& o) {
    return o.item->cache_read_input_tokens;
}
std::uint32_t TokenUsage_output_tokens(const usage_obj& o) {
    return o.item->output_tokens;
}
const std::optional<std::string>& TokenUsage_service_tier(const usage_obj& o) {
    return o.item->service_tier;
}

PyObject* TokenUsage_repr(PyObject* self) {
    const auto& u = *cast<usage_obj>(self).item;
    return to_py("<TokenUsage in=" + std::to_string(u.input_tokens) +
                 " out=" + std::to_string(u.output_tokens) + ">");
}

// ---- SessionMetadata -------------------------------------------------------------------------

std::optional<std::string> rfc3339(const std::optional<date_time>& t) {
    if (!t) return std::nullopt;
    return t->to_rfc3339();
}

std::uint64_t SessionMetadata_total_messages(const metadata_obj& o) {
    return o.item->total_messages;
}
std::uint64_t SessionMetadata_user_messages(const metadata_obj& o) {
    return o.item->user_messages;
}
std::uint64_t SessionMetadata_assistant_messages(const metadata_obj& o) {
    return o.item->assistant_messages;
}
double SessionMetadata_total_cost_usd(const metadata_obj& o) {
    return o.item->total_cost_usd;
}
std::uint32_t SessionMetadata_total_input_tokens(const metadata_obj& o) {
    return o.item->total_input_tokens;
}
std::uint32_t SessionMetadata_total_output_tokens(const metadata_obj& o) {
    return o.item->total_output_tokens;
}
std::uint32_t SessionMetadata_cache_creation_tokens(const metadata_obj& o) {
    return o.item->cache_creation_tokens;
}
std::uint32_t SessionMetadata_cache_read_tokens(const metadata_obj& o) {
    return o.item->cache_read_tokens;
}
const std::vector<std::string>& SessionMetadata_unique_tools_used(const metadata_obj& o) {
    return o.item->unique_tools_used;
}
std::uint64_t SessionMetadata_total_tool_calls(const metadata_obj& o) {
    return o.item->total_tool_calls;
}
const std::vector<std::pair<std::string, std::uint64_t>>& SessionMetadata_tool_usage_count(
    const metadata_obj& o) {
    return o.item->tool_usage_count;
}
const std::string& SessionMetadata_session_file_path(const metadata_obj& o) {
    return o.item->session_file_path;
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
std::uint64_t SessionMetadata_total_duration_ms(const metadata_obj& o) {
    return o.item->total_duration_ms;
}
std::optional<double> SessionMetadata_average_response_time_ms(const metadata_obj& o) {
    return o.item->average_response_time_ms;
}

PyObject* SessionMetadata_repr(PyObject* self) {
    const auto& m = *cast<metadata_obj>(self).item;
    return to_py("<SessionMetadata messages=" + std::to_string(m.total_messages) + " cost=$" +
                 four_decimals(m.total_cost_usd) +
                 " tools=" + std::to_string(m.unique_tools_used.size()) + ">");
}

// ---- ToolResult ------------------------------------------------------------------------------

bool is_success(const tool_result& r) {
    return !r.is_error && !r.interrupted;
}

std::string_view ToolResult_tool_use_id(const result_obj& o) {
    return o.item->tool_use_id;
}
std::string ToolResult_content(const result_obj& o) {
    return o.item->content();
}
const std::optional<std::string>& ToolResult_stdout(const result_obj& o) {
    return o.item->stdout_text;
}
const std::optional<std::string>& ToolResult_stderr(const result_obj& o) {
    return o.item->stderr_text;
}
bool ToolResult_interrupted(const result_obj& o) {
    return o.item->interrupted;
}
bool ToolResult_is_error(const result_obj& o) {
    return o.item->is_error;
}

PyObject* ToolResult_is_success(PyObject* self) {
    return to_py(is_success(*cast<result_obj>(self).item));
}

PyObject* ToolResult_effective_content(PyObject* self) {
    const auto& r = *cast<result_obj>(self).item;
    if (r.is_error && r.stderr_text && !r.stderr_text->empty()) return to_py(*r.stderr_text);
    if (r.stdout_text && !r.stdout_text->empty()) return to_py(*r.stdout_text);
    return to_py(r.content());
}

PyObject* ToolResult_repr(PyObject* self) {
    const auto& r = *cast<result_obj>(self).item;
    return to_py("<ToolResult id='" + std::string(r.tool_use_id) +
                 "' success=" + bool_text(is_success(r)) + ">");
}

// ---- ToolExecution ---------------------------------------------------------------------------

std::string_view ToolExecution_tool_name(const execution_obj& o) {
    return o.item->tool_name;
}
ref ToolExecution_output(const execution_obj& o) {
    return ref::steal(make_view(class_id::tool_result, o.owner, &o.item->output));
}
std::uint64_t ToolExecution_duration_ms(const execution_obj& o) {
    return o.item->duration_ms;
}
std::string ToolExecution_timestamp(const execution_obj& o) {
    return o.item->timestamp.to_rfc3339();
}
ref ToolExecution_input(const execution_obj& o) {
    if (o.item->input == nullptr) return ref::steal(Py_NewRef(Py_None));
    return ref::steal(json_to_py(*o.item->input));
}

PyObject* ToolExecution_is_success(PyObject* self) {
    return to_py(is_success(cast<execution_obj>(self).item->output));
}

PyObject* ToolExecution_repr(PyObject* self) {
    const auto& e = *cast<execution_obj>(self).item;
    return to_py("<ToolExecution tool='" + std::string(e.tool_name) +
                 "' duration_ms=" + std::to_string(e.duration_ms) +
                 " success=" + bool_text(is_success(e.output)) + ">");
}

// ---- ConversationStats -----------------------------------------------------------------------

std::uint64_t ConversationStats_total_messages(const stats_obj& o) {
    return o.item->total_messages;
}
std::uint64_t ConversationStats_max_depth(const stats_obj& o) {
    return o.item->max_depth;
}
std::uint64_t ConversationStats_num_branches(const stats_obj& o) {
    return o.item->num_branches;
}
std::uint64_t ConversationStats_leaf_count(const stats_obj& o) {
    return o.item->leaf_count;
}

PyObject* ConversationStats_repr(PyObject* self) {
    const auto& s = *cast<stats_obj>(self).item;
    return to_py("<ConversationStats messages=" + std::to_string(s.total_messages) + " depth=" +
                 std::to_string(s.max_depth) + " branches=" + std::to_string(s.num_branches) + ">");
}

// ---- ConversationNode ------------------------------------------------------------------------

// Nodes of the session's tree as a list of new node objects.
PyObject* node_list(const std::shared_ptr<const session>& owner,
                    std::span<const std::size_t> indices) {
    const auto& nodes = owner->parsed.conversation_tree.nodes;
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(indices.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < indices.size(); ++i) {
        PyObject* node = make_view(class_id::conversation_node, owner, &nodes.at(indices[i]));
        if (node == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), node);  // steals node
    }
    return list.release();
}

std::size_t node_index(const node_obj& o) {
    return static_cast<std::size_t>(o.item - o.owner->parsed.conversation_tree.nodes.data());
}

ref ConversationNode_message(const node_obj& o) {
    const auto& record = o.owner->parsed.messages.at(o.item->record);
    return ref::steal(make_message(o.owner, &record));
}
ref ConversationNode_children(const node_obj& o) {
    return ref::steal(
        node_list(o.owner, o.owner->parsed.conversation_tree.children_of(node_index(o))));
}

PyObject* ConversationNode_is_leaf(PyObject* self) {
    return to_py(cast<node_obj>(self).item->child_count == 0);
}
PyObject* ConversationNode_child_count(PyObject* self) {
    return to_py(static_cast<std::uint64_t>(cast<node_obj>(self).item->child_count));
}

PyObject* ConversationNode_repr(PyObject* self) {
    const auto& o = cast<node_obj>(self);
    const auto& record = o.owner->parsed.messages.at(o.item->record);
    return to_py("<ConversationNode uuid='" + record.uuid.to_string() +
                 "' children=" + std::to_string(o.item->child_count) + ">");
}

// ---- ConversationTree ------------------------------------------------------------------------

std::vector<std::string> ConversationTree_orphaned_messages(const tree_obj& o) {
    std::vector<std::string> ids;
    ids.reserve(o.item->orphaned_messages.size());
    for (const auto& id : o.item->orphaned_messages)
        ids.push_back(id.to_string());
    return ids;
}

ref ConversationTree_circular_references(const tree_obj& o) {
    const auto& pairs = o.item->circular_references;
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        ref first = ref::steal(to_py(pairs[i].first.to_string()));
        ref second = ref::steal(to_py(pairs[i].second.to_string()));
        if (!first || !second) return ref();
        PyObject* tuple = PyTuple_New(2);
        if (tuple == nullptr) return ref();
        PyTuple_SetItem(tuple, 0, first.release());  // steals
        PyTuple_SetItem(tuple, 1, second.release());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple);
    }
    return list;
}

ref ConversationTree_stats(const tree_obj& o) {
    return ref::steal(make_view(class_id::conversation_stats, o.owner, &o.owner->tree_stats));
}
ref ConversationTree_root_messages(const tree_obj& o) {
    return ref::steal(node_list(o.owner, o.item->roots));
}

PyObject* ConversationTree_max_depth(PyObject* self) {
    return to_py(cast<tree_obj>(self).owner->tree_stats.max_depth);
}
PyObject* ConversationTree_count_branches(PyObject* self) {
    return to_py(cast<tree_obj>(self).owner->tree_stats.num_branches);
}

PyObject* ConversationTree_repr(PyObject* self) {
    const auto& o = cast<tree_obj>(self);
    const auto& stats = o.owner->tree_stats;
    return to_py("<ConversationTree roots=" + std::to_string(o.item->roots.size()) +
                 " messages=" + std::to_string(stats.total_messages) +
                 " depth=" + std::to_string(stats.max_depth) + ">");
}

// ---- class descriptions ----------------------------------------------------------------------

#define KESTRO_FIELD(obj, cls, name) \
    { #name, field < obj, cls##_##name>, nullptr, "", nullptr }

PyGetSetDef TextBlock_getset[] = {
    KESTRO_FIELD(block_obj, TextBlock, text),
    {},
};
PyGetSetDef ToolUseBlock_getset[] = {
    KESTRO_FIELD(block_obj, ToolUseBlock, id),
    KESTRO_FIELD(block_obj, ToolUseBlock, name),
    KESTRO_FIELD(block_obj, ToolUseBlock, input),
    {},
};
PyGetSetDef ThinkingBlock_getset[] = {
    KESTRO_FIELD(block_obj, ThinkingBlock, thinking),
    KESTRO_FIELD(block_obj, ThinkingBlock, signature),
    {},
};
PyGetSetDef ImageBlock_getset[] = {
    KESTRO_FIELD(block_obj, ImageBlock, source_type),
    KESTRO_FIELD(block_obj, ImageBlock, media_type),
    KESTRO_FIELD(block_obj, ImageBlock, data),
    {},
};
PyGetSetDef ToolResultBlock_getset[] = {
    KESTRO_FIELD(block_obj, ToolResultBlock, tool_use_id),
    KESTRO_FIELD(block_obj, ToolResultBlock, content),
    KESTRO_FIELD(block_obj, ToolResultBlock, is_error),
    {},
};
PyGetSetDef TokenUsage_getset[] = {
    KESTRO_FIELD(usage_obj, TokenUsage, input_tokens),
    KESTRO_FIELD(usage_obj, TokenUsage, cache_creation_input_tokens),
    KESTRO_FIELD(usage_obj, TokenUsage, cache_read_input_tokens),
    KESTRO_FIELD(usage_obj, TokenUsage, output_tokens),
    KESTRO_FIELD(usage_obj, TokenUsage, service_tier),
    {},
};
PyGetSetDef SessionMetadata_getset[] = {
    KESTRO_FIELD(metadata_obj, SessionMetadata, total_messages),
    KESTRO_FIELD(metadata_obj, SessionMetadata, user_messages),
    KESTRO_FIELD(metadata_obj, SessionMetadata, assistant_messages),
    KESTRO_FIELD(metadata_obj, SessionMetadata, total_cost_usd),
    KESTRO_FIELD(metadata_obj, SessionMetadata, total_input_tokens),
    KESTRO_FIELD(metadata_obj, SessionMetadata, total_output_tokens),
    KESTRO_FIELD(metadata_obj, SessionMetadata, cache_creation_tokens),
    KESTRO_FIELD(metadata_obj, SessionMetadata, cache_read_tokens),
    KESTRO_FIELD(metadata_obj, SessionMetadata, unique_tools_used),
    KESTRO_FIELD(metadata_obj, SessionMetadata, total_tool_calls),
    KESTRO_FIELD(metadata_obj, SessionMetadata, tool_usage_count),
    KESTRO_FIELD(metadata_obj, SessionMetadata, session_file_path),
    KESTRO_FIELD(metadata_obj, SessionMetadata, first_message_timestamp),
    KESTRO_FIELD(metadata_obj, SessionMetadata, last_message_timestamp),
    KESTRO_FIELD(metadata_obj, SessionMetadata, session_duration),
    KESTRO_FIELD(metadata_obj, SessionMetadata, total_duration_ms),
    KESTRO_FIELD(metadata_obj, SessionMetadata, average_response_time_ms),
    {},
};
PyGetSetDef ToolResult_getset[] = {
    KESTRO_FIELD(result_obj, ToolResult, tool_use_id),
    KESTRO_FIELD(result_obj, ToolResult, content),
    KESTRO_FIELD(result_obj, ToolResult, stdout),
    KESTRO_FIELD(result_obj, ToolResult, stderr),
    KESTRO_FIELD(result_obj, ToolResult, interrupted),
    KESTRO_FIELD(result_obj, ToolResult, is_error),
    {},
};
PyGetSetDef ToolExecution_getset[] = {
    KESTRO_FIELD(execution_obj, ToolExecution, tool_name),
    KESTRO_FIELD(execution_obj, ToolExecution, output),
    KESTRO_FIELD(execution_obj, ToolExecution, duration_ms),
    KESTRO_FIELD(execution_obj, ToolExecution, timestamp),
    KESTRO_FIELD(execution_obj, ToolExecution, input),
    {},
};
PyGetSetDef ConversationStats_getset[] = {
    KESTRO_FIELD(stats_obj, ConversationStats, total_messages),
    KESTRO_FIELD(stats_obj, ConversationStats, max_depth),
    KESTRO_FIELD(stats_obj, ConversationStats, num_branches),
    KESTRO_FIELD(stats_obj, ConversationStats, leaf_count),
    {},
};
PyGetSetDef ConversationNode_getset[] = {
    KESTRO_FIELD(node_obj, ConversationNode, message),
    KESTRO_FIELD(node_obj, ConversationNode, children),
    {},
};
PyGetSetDef ConversationTree_getset[] = {
    KESTRO_FIELD(tree_obj, ConversationTree, orphaned_messages),
    KESTRO_FIELD(tree_obj, ConversationTree, circular_references),
    KESTRO_FIELD(tree_obj, ConversationTree, stats),
    KESTRO_FIELD(tree_obj, ConversationTree, root_messages),
    {},
};

#undef KESTRO_FIELD

PyMethodDef ToolResult_methods[] = {
    {"is_success", method(noargs_entry<ToolResult_is_success>), METH_NOARGS,
     "is_success($self)\n--\n\nCheck if this tool execution was successful"},
    {"effective_content", method(noargs_entry<ToolResult_effective_content>), METH_NOARGS,
     "effective_content($self)\n--\n\nGet the effective output content"},
    {},
};
PyMethodDef ToolExecution_methods[] = {
    {"is_success", method(noargs_entry<ToolExecution_is_success>), METH_NOARGS,
     "is_success($self)\n--\n\nCheck if this tool execution was successful"},
    {},
};
PyMethodDef ConversationNode_methods[] = {
    {"is_leaf", method(noargs_entry<ConversationNode_is_leaf>), METH_NOARGS,
     "is_leaf($self)\n--\n\nCheck if this node is a leaf (has no children)"},
    {"child_count", method(noargs_entry<ConversationNode_child_count>), METH_NOARGS,
     "child_count($self)\n--\n\nGet the number of children"},
    {},
};
PyMethodDef ConversationTree_methods[] = {
    {"max_depth", method(noargs_entry<ConversationTree_max_depth>), METH_NOARGS,
     "max_depth($self)\n--\n\nGet the maximum depth of the conversation tree"},
    {"count_branches", method(noargs_entry<ConversationTree_count_branches>), METH_NOARGS,
     "count_branches($self)\n--\n\nCount the number of branching points"},
    {},
};

constexpr const char* TextBlock_doc = "A block of text content in a message";
constexpr const char* ToolUseBlock_doc =
    "A tool use block in a message\n"
    "\n"
    "Represents a tool invocation within a message, including the tool name,\n"
    "input parameters, and invocation ID.\n"
    "\n"
    "Properties:\n"
    "    id: Unique identifier for this tool use\n"
    "    name: Name of the tool being invoked\n"
    "    input: Input parameters as a dictionary";
constexpr const char* ThinkingBlock_doc = "A thinking block in a message";
constexpr const char* ImageBlock_doc = "An image block in a message";
constexpr const char* ToolResultBlock_doc = "A tool result block in a message";
constexpr const char* TokenUsage_doc = "Token usage statistics for a message";
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
constexpr const char* ToolResult_doc =
    "Result from a tool execution\n"
    "\n"
    "Contains the output and status information from a tool invocation.\n"
    "\n"
    "Properties:\n"
    "    tool_use_id: Unique identifier for this tool use\n"
    "    content: Output content from the tool\n"
    "    stdout: Standard output if available\n"
    "    stderr: Standard error if available\n"
    "    interrupted: Whether the execution was interrupted\n"
    "    is_error: Whether the execution resulted in an error";
constexpr const char* ToolExecution_doc =
    "Represents a complete tool execution with timing\n"
    "\n"
    "This class captures a complete tool invocation including input, output, and timing.\n"
    "\n"
    "Properties:\n"
    "    tool_name: Name of the tool executed\n"
    "    input: Input parameters passed to the tool (as dict)\n"
    "    output: ToolResult object with execution results\n"
    "    duration_ms: Execution duration in milliseconds\n"
    "    timestamp: When the tool was executed";
constexpr const char* ConversationStats_doc =
    "Statistics about a conversation tree\n"
    "\n"
    "Provides metrics about the structure of a conversation.\n"
    "\n"
    "Properties:\n"
    "    total_messages: Total number of messages\n"
    "    max_depth: Maximum depth of the conversation tree\n"
    "    num_branches: Number of branching points\n"
    "    leaf_count: Number of leaf nodes (messages with no replies)";
constexpr const char* ConversationNode_doc =
    "A node in the conversation tree\n"
    "\n"
    "Represents a single message and its children in the conversation tree structure.\n"
    "\n"
    "Properties:\n"
    "    message: The Message object at this node\n"
    "    children: List of child ConversationNode objects";
constexpr const char* ConversationTree_doc =
    "Represents a conversation as a tree structure\n"
    "\n"
    "This class provides a tree representation of the conversation, showing how messages\n"
    "branch and reply to each other. It's useful for analyzing conversation flow and\n"
    "finding sidechains or branches.\n"
    "\n"
    "Properties:\n"
    "    root_messages: List of root ConversationNode objects (messages with no parent)\n"
    "    orphaned_messages: List of message UUIDs with missing parents\n"
    "    circular_references: List of (uuid, uuid) tuples indicating circular references\n"
    "    stats: ConversationStats object with tree metrics";

#define KESTRO_VALUE_SLOTS(cls, obj)                                                \
    {Py_tp_doc, const_cast<char*>(cls##_doc)}, {Py_tp_new, slot(refuse_new)},       \
        {Py_tp_dealloc, slot(destroy<obj>)}, {Py_tp_traverse, slot(traverse_type)}, \
        {Py_tp_getset, cls##_getset}, {                                             \
        Py_tp_repr, slot(unary_entry<cls##_repr>)                                   \
    }

PyType_Slot TextBlock_slots[] = {KESTRO_VALUE_SLOTS(TextBlock, block_obj), {0, nullptr}};
PyType_Slot ToolUseBlock_slots[] = {KESTRO_VALUE_SLOTS(ToolUseBlock, block_obj), {0, nullptr}};
PyType_Slot ThinkingBlock_slots[] = {KESTRO_VALUE_SLOTS(ThinkingBlock, block_obj), {0, nullptr}};
PyType_Slot ImageBlock_slots[] = {KESTRO_VALUE_SLOTS(ImageBlock, block_obj), {0, nullptr}};
PyType_Slot ToolResultBlock_slots[] = {KESTRO_VALUE_SLOTS(ToolResultBlock, block_obj),
                                       {0, nullptr}};
PyType_Slot TokenUsage_slots[] = {KESTRO_VALUE_SLOTS(TokenUsage, usage_obj), {0, nullptr}};
PyType_Slot SessionMetadata_slots[] = {KESTRO_VALUE_SLOTS(SessionMetadata, metadata_obj),
                                       {0, nullptr}};
PyType_Slot ToolResult_slots[] = {
    KESTRO_VALUE_SLOTS(ToolResult, result_obj), {Py_tp_methods, ToolResult_methods}, {0, nullptr}};
PyType_Slot ToolExecution_slots[] = {KESTRO_VALUE_SLOTS(ToolExecution, execution_obj),
                                     {Py_tp_methods, ToolExecution_methods},
                                     {0, nullptr}};
PyType_Slot ConversationStats_slots[] = {KESTRO_VALUE_SLOTS(ConversationStats, stats_obj),
                                         {0, nullptr}};
PyType_Slot ConversationNode_slots[] = {KESTRO_VALUE_SLOTS(ConversationNode, node_obj),
                                        {Py_tp_methods, ConversationNode_methods},
                                        {0, nullptr}};
PyType_Slot ConversationTree_slots[] = {KESTRO_VALUE_SLOTS(ConversationTree, tree_obj),
                                        {Py_tp_methods, ConversationTree_methods},
                                        {0, nullptr}};

#undef KESTRO_VALUE_SLOTS

#define KESTRO_SPEC(cls, obj)                                         \
    PyType_Spec cls##_spec {                                          \
        "kestro_sdk." #cls, sizeof(obj), 0, k_type_flags, cls##_slots \
    }

KESTRO_SPEC(TextBlock, block_obj);
KESTRO_SPEC(ToolUseBlock, block_obj);
KESTRO_SPEC(ThinkingBlock, block_obj);
KESTRO_SPEC(ImageBlock, block_obj);
KESTRO_SPEC(ToolResultBlock, block_obj);
KESTRO_SPEC(TokenUsage, usage_obj);
KESTRO_SPEC(SessionMetadata, metadata_obj);
KESTRO_SPEC(ToolResult, result_obj);
KESTRO_SPEC(ToolExecution, execution_obj);
KESTRO_SPEC(ConversationStats, stats_obj);
KESTRO_SPEC(ConversationNode, node_obj);
KESTRO_SPEC(ConversationTree, tree_obj);

#undef KESTRO_SPEC

}  // namespace

PyObject* make_content_block(const std::shared_ptr<const session>& owner,
                             const content_block* block) {
    static constexpr class_id by_kind[] = {
        class_id::text_block,        class_id::thinking_block, class_id::tool_use_block,
        class_id::tool_result_block, class_id::image_block,
    };
    return make_view(by_kind[block->value.index()], owner, block);
}

const PyType_Spec* value_class_spec(class_id id) {
    switch (id) {
        case class_id::session_metadata:
            return &SessionMetadata_spec;
        case class_id::tool_result:
            return &ToolResult_spec;
        case class_id::tool_execution:
            return &ToolExecution_spec;
        case class_id::conversation_stats:
            return &ConversationStats_spec;
        case class_id::conversation_node:
            return &ConversationNode_spec;
        case class_id::conversation_tree:
            return &ConversationTree_spec;
        case class_id::text_block:
            return &TextBlock_spec;
        case class_id::tool_use_block:
            return &ToolUseBlock_spec;
        case class_id::thinking_block:
            return &ThinkingBlock_spec;
        case class_id::image_block:
            return &ImageBlock_spec;
        case class_id::tool_result_block:
            return &ToolResultBlock_spec;
        case class_id::token_usage:
            return &TokenUsage_spec;
        default:
            return nullptr;
    }
}

}  // namespace kestro::py
