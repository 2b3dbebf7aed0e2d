// Message: one user or assistant record of a session.
//
//     message.text             -> new str: the text blocks joined with "\n"
//     message.usage            -> new TokenUsage view, or None
//     message.get_tool_blocks() and the other block lists -> new lists of new block views
#include <algorithm>
#include <string_view>

#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {

PyObject* make_message(const std::shared_ptr<const session>& owner, const message_record* record) {
    return make_view(class_id::message, owner, record);
}

PyObject* make_content_block(const std::shared_ptr<const session>& owner,
                             const content_block* block) {
    // By the alternative's index in content_block::value.
    static constexpr class_id by_kind[] = {
        class_id::text_block,        class_id::thinking_block, class_id::tool_use_block,
        class_id::tool_result_block, class_id::image_block,
    };
    static_assert(std::size(by_kind) == std::variant_size_v<decltype(content_block::value)>);
    return make_view(by_kind[block->value.index()], owner, block);
}

namespace {

const message_payload& payload(const message_obj& o) {
    return o.item->message;
}

std::string_view Message_role(const message_obj& o) {
    return to_json_text(payload(o).role);
}
std::string Message_text(const message_obj& o) {
    return message_text(payload(o));
}
double Message_cost(const message_obj& o) {
    return o.item->cost_usd.value_or(0.0);
}
std::vector<std::string_view> Message_tools(const message_obj& o) {
    return message_tools(payload(o));
}
std::optional<std::string_view> Message_stop_reason(const message_obj& o) {
    if (!payload(o).stop_reason) return std::nullopt;
    return to_json_text(*payload(o).stop_reason);
}
ref Message_usage(const message_obj& o) {
    const auto& usage = payload(o).usage;
    if (!usage) return ref::steal(Py_NewRef(Py_None));
    return ref::steal(make_view(class_id::token_usage, o.owner, &*usage));
}
std::string Message_timestamp(const message_obj& o) {
    return o.item->timestamp.to_rfc3339();
}
std::string Message_uuid(const message_obj& o) {
    return o.item->uuid.to_string();
}
std::optional<std::string> Message_parent_uuid(const message_obj& o) {
    if (!o.item->parent_uuid) return std::nullopt;
    return o.item->parent_uuid->to_string();
}
std::string_view Message_cwd(const message_obj& o) {
    return o.item->cwd;
}
// A 64-bit sum: two counts near 2^32 must not wrap.
std::optional<std::uint64_t> Message_total_tokens(const message_obj& o) {
    const auto& usage = payload(o).usage;
    if (!usage) return std::nullopt;
    return std::uint64_t{usage->input_tokens} + std::uint64_t{usage->output_tokens};
}
std::optional<std::uint32_t> Message_input_tokens(const message_obj& o) {
    const auto& usage = payload(o).usage;
    if (!usage) return std::nullopt;
    return usage->input_tokens;
}
std::optional<std::uint32_t> Message_output_tokens(const message_obj& o) {
    const auto& usage = payload(o).usage;
    if (!usage) return std::nullopt;
    return usage->output_tokens;
}

// The message's blocks accepted by `keep`, each as its block object.
template <class Keep>
PyObject* block_list(PyObject* self, Keep keep) {
    const auto& o = cast<message_obj>(self);
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& block : payload(o).content) {
        if (!keep(block)) continue;
        ref item = ref::steal(make_content_block(o.owner, &block));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

template <class B>
bool is(const content_block& block) {
    return std::holds_alternative<B>(block.value);
}

PyObject* Message_get_tool_blocks(PyObject* self) {
    return block_list(self, is<tool_use_block>);
}
PyObject* Message_get_content_blocks(PyObject* self) {
    return block_list(self, [](const content_block&) { return true; });
}
PyObject* Message_get_text_blocks(PyObject* self) {
    return block_list(self, is<text_block>);
}
PyObject* Message_has_tool_use(PyObject* self) {
    const auto& content = payload(cast<message_obj>(self)).content;
    return to_py(std::any_of(content.begin(), content.end(), is<tool_use_block>));
}

PyObject* Message_repr(PyObject* self) {
    const auto& o = cast<message_obj>(self);
    return to_py("<Message role='" + std::string(Message_role(o)) + "' uuid='" +
                 o.item->uuid.to_string() + "' cost=Some(" + shortest_decimal(Message_cost(o)) +
                 ")>");
}

PyObject* Message_str(PyObject* self) {
    const auto& o = cast<message_obj>(self);
    return to_py(std::string(Message_role(o)) + ": " + message_text(payload(o)));
}

PyGetSetDef Message_getset[] = {
    computed<message_obj, Message_role>("role"),
    computed<message_obj, Message_text>("text"),
    member<message_obj, &message_record::message, &message_payload::model>("model"),
    computed<message_obj, Message_cost>("cost"),
    computed<message_obj, Message_tools>("tools"),
    computed<message_obj, Message_stop_reason>("stop_reason"),
    computed<message_obj, Message_usage>("usage"),
    computed<message_obj, Message_timestamp>("timestamp"),
    computed<message_obj, Message_uuid>("uuid"),
    computed<message_obj, Message_parent_uuid>("parent_uuid"),
    member<message_obj, &message_record::is_sidechain>("is_sidechain"),
    computed<message_obj, Message_cwd>("cwd"),
    computed<message_obj, Message_total_tokens>("total_tokens"),
    computed<message_obj, Message_input_tokens>("input_tokens"),
    computed<message_obj, Message_output_tokens>("output_tokens"),
    {},
};

PyMethodDef Message_methods[] = {
    {"get_tool_blocks", method(noargs_entry<Message_get_tool_blocks>), METH_NOARGS,
     "get_tool_blocks($self)\n--\n\n"
     "Get all tool use blocks in this message.\n\n"
     "Returns:\n    List[ToolUseBlock]: List of tool use blocks"},
    {"get_content_blocks", method(noargs_entry<Message_get_content_blocks>), METH_NOARGS,
     "get_content_blocks($self)\n--\n\nGet all content blocks with proper typing."},
    {"get_text_blocks", method(noargs_entry<Message_get_text_blocks>), METH_NOARGS,
     "get_text_blocks($self)\n--\n\n"
     "Get all text content blocks in this message.\n\n"
     "Returns:\n    List[TextBlock]: List of text content blocks"},
    {"has_tool_use", method(noargs_entry<Message_has_tool_use>), METH_NOARGS,
     "has_tool_use($self)\n--\n\n"
     "Check if this message contains tool usage.\n\n"
     "Returns:\n    bool: True if message contains any tool use blocks"},
    {},
};

constexpr const char* Message_doc =
    "Individual message in a Kestro Code conversation.\n"
    "\n"
    "This class represents a single message in a conversation, with properties for\n"
    "accessing the message content, role, cost, and other attributes.\n"
    "\n"
    "Properties:\n"
    "    role: Role of the message sender (\"user\" or \"assistant\")\n"
    "    text: Text content of the message\n"
    "    cost: Cost of the message in USD (None if not available)\n"
    "    tools: List of tool names used in this message\n"
    "    timestamp: When the message was created\n"
    "    uuid: Unique identifier of the message\n"
    "    parent_uuid: UUID of the parent message (None for root messages)\n"
    "    is_sidechain: Whether the message belongs to a sidechain\n"
    "    cwd: Working directory when the message was created\n"
    "\n"
    "Example:\n"
    "    >>> session = load(\"conversation.jsonl\")\n"
    "    >>> for message in session.messages:\n"
    "    ...     print(f\"{message.role}: {message.text[:50]}\")\n"
    "    ...     if message.cost:\n"
    "    ...         print(f\"  Cost: ${message.cost:.4f}\")";

PyType_Slot Message_slots[] = {
    {Py_tp_doc, const_cast<char*>(Message_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<message_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, Message_getset},
    {Py_tp_methods, Message_methods},
    {Py_tp_repr, slot(unary_entry<Message_repr>)},
    {Py_tp_str, slot(unary_entry<Message_str>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Message_spec{class_name(class_id::message), sizeof(message_obj), 0, k_type_flags,
                         Message_slots};

}  // namespace kestro::py
