// Message: a user or assistant line, with its content as block objects and its usage.
//
//     message.uuid / .parent_uuid / .timestamp / .role / .content / .text / .tools / .usage / ...
#include <string>
#include <string_view>
#include <vector>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {

PyObject* make_message(const std::shared_ptr<const transcript>& owner, std::uint32_t index) {
    return make(class_id::message, owner, &owner->messages[index]);
}

namespace {

const transcript_record& record_of(const message_obj& o) {
    return o.owner->records[o.item->record];
}
std::optional<std::string_view> shared(const shared_text& text) {
    if (text.empty()) return std::nullopt;
    return text.view();
}

std::uint64_t Message_line(const message_obj& o) {
    return record_of(o).line;
}
const std::string& Message_type(const message_obj& o) {
    return record_of(o).type;
}
// A message always has one: the mapping requires it.
const std::string& Message_uuid(const message_obj& o) {
    return *record_of(o).uuid;
}
const std::optional<std::string>& Message_parent_uuid(const message_obj& o) {
    return record_of(o).parent_uuid;
}
std::string Message_timestamp(const message_obj& o) {
    return o.item->timestamp.to_rfc3339();
}
std::string_view Message_role(const message_obj& o) {
    return to_json_text(o.item->role);
}
ref Message_content(const message_obj& o) {
    return ref::steal(make_blocks(o.owner, o.item->content.root()));
}
std::string Message_text(const message_obj& o) {
    return content_text(o.item->content.root());
}
std::vector<std::string_view> Message_tools(const message_obj& o) {
    std::vector<std::string_view> names;
    tool_names(o.item->content.root(), names);
    return names;
}
std::optional<std::string_view> Message_cwd(const message_obj& o) {
    return shared(o.item->cwd);
}
std::optional<std::string_view> Message_version(const message_obj& o) {
    return shared(o.item->version);
}
std::optional<std::string_view> Message_git_branch(const message_obj& o) {
    return shared(o.item->git_branch);
}
ref Message_usage(const message_obj& o) {
    if (!o.item->usage) return ref::borrow(Py_None);
    return ref::steal(make(class_id::usage, o.owner, &*o.item->usage));
}
ref Message_tool_use_result(const message_obj& o) {
    if (!o.item->tool_use_result) return ref::borrow(Py_None);
    return ref::steal(json_to_py(*o.item->tool_use_result));
}

PyObject* Message_repr(PyObject* self) {
    const auto& o = cast<message_obj>(self);
    return to_py("<Message line=" + std::to_string(Message_line(o)) + " role='" +
                 std::string(Message_role(o)) + "' uuid='" + Message_uuid(o) + "'>");
}

PyGetSetDef Message_getset[] = {
    computed<message_obj, Message_line>("line"),
    computed<message_obj, Message_type>("type"),
    computed<message_obj, Message_uuid>("uuid"),
    computed<message_obj, Message_parent_uuid>("parent_uuid"),
    computed<message_obj, Message_timestamp>("timestamp"),
    computed<message_obj, Message_role>("role"),
    computed<message_obj, Message_content>("content"),
    computed<message_obj, Message_text>("text"),
    computed<message_obj, Message_tools>("tools"),
    member<message_obj, &transcript_message::is_sidechain>("is_sidechain"),
    member<message_obj, &transcript_message::is_meta>("is_meta"),
    member<message_obj, &transcript_message::agent_id>("agent_id"),
    computed<message_obj, Message_cwd>("cwd"),
    computed<message_obj, Message_version>("version"),
    computed<message_obj, Message_git_branch>("git_branch"),
    member<message_obj, &transcript_message::message_id>("message_id"),
    member<message_obj, &transcript_message::request_id>("request_id"),
    member<message_obj, &transcript_message::model>("model"),
    member<message_obj, &transcript_message::stop_reason>("stop_reason"),
    computed<message_obj, Message_usage>("usage"),
    member<message_obj, &transcript_message::cost_usd>("cost_usd"),
    member<message_obj, &transcript_message::duration_ms>("duration_ms"),
    computed<message_obj, Message_tool_use_result>("tool_use_result"),
    {},
};

PyType_Slot Message_slots[] = {
    {Py_tp_getset, Message_getset},
    {Py_tp_repr, slot(unary_entry<Message_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<message_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Message_spec{class_name(class_id::message), sizeof(message_obj), 0, k_type_flags,
                         Message_slots};

}  // namespace kestro::py::reader
