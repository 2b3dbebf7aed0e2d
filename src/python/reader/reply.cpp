// Reply: one assistant reply, streamed over several records; its counts are merged over them.
//
//     reply.uuids / .tools / .messages / .content / .input_tokens / ...
#include <string>
#include <string_view>
#include <vector>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::string Reply_timestamp(const reply_obj& o) {
    return o.item->timestamp.to_rfc3339();
}
std::vector<std::string_view> Reply_uuids(const reply_obj& o) {
    std::vector<std::string_view> ids;
    for (std::uint32_t m : o.item->messages) {
        const auto& uuid = o.owner->records[o.owner->messages[m].record].uuid;
        ids.push_back(uuid ? std::string_view(*uuid) : std::string_view());
    }
    return ids;
}
std::vector<std::string_view> Reply_tools(const reply_obj& o) {
    std::vector<std::string_view> names;
    for (std::uint32_t m : o.item->messages)
        tool_names(o.owner->messages[m].content.root(), names);
    return names;
}
ref Reply_messages(const reply_obj& o) {
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(o.item->messages.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < o.item->messages.size(); ++i) {
        PyObject* item = make_message(o.owner, o.item->messages[i]);
        if (item == nullptr) return ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}
ref Reply_content(const reply_obj& o) {
    ref all = ref::steal(PyList_New(0));
    if (!all) return all;
    for (std::uint32_t m : o.item->messages) {
        ref part = ref::steal(make_blocks(o.owner, o.owner->messages[m].content.root()));
        if (!part) return part;
        const Py_ssize_t end = PyList_Size(all.get());
        if (PyList_SetSlice(all.get(), end, end, part.get()) < 0) return ref();
    }
    return all;
}
PyObject* Reply_repr(PyObject* self) {
    const auto& o = cast<reply_obj>(self);
    return to_py("<Reply message_id='" + o.item->message_id.value_or(std::string()) +
                 "' records=" + std::to_string(o.item->messages.size()) +
                 " output_tokens=" + std::to_string(o.item->output_tokens) + ">");
}

PyGetSetDef Reply_getset[] = {
    member<reply_obj, &transcript_reply::message_id>("message_id"),
    member<reply_obj, &transcript_reply::request_id>("request_id"),
    computed<reply_obj, Reply_timestamp>("timestamp"),
    member<reply_obj, &transcript_reply::model>("model"),
    member<reply_obj, &transcript_reply::stop_reason>("stop_reason"),
    member<reply_obj, &transcript_reply::cost_usd>("cost_usd"),
    computed<reply_obj, Reply_uuids>("uuids"),
    computed<reply_obj, Reply_tools>("tools"),
    computed<reply_obj, Reply_messages>("messages"),
    computed<reply_obj, Reply_content>("content"),
    member<reply_obj, &reply_figures::input_tokens>("input_tokens"),
    member<reply_obj, &reply_figures::output_tokens>("output_tokens"),
    member<reply_obj, &reply_figures::cache_creation_input_tokens>("cache_creation_input_tokens"),
    member<reply_obj, &reply_figures::cache_read_input_tokens>("cache_read_input_tokens"),
    member<reply_obj, &reply_figures::ephemeral_5m_input_tokens>("ephemeral_5m_input_tokens"),
    member<reply_obj, &reply_figures::ephemeral_1h_input_tokens>("ephemeral_1h_input_tokens"),
    {},
};

PyType_Slot Reply_slots[] = {
    {Py_tp_getset, Reply_getset},
    {Py_tp_repr, slot(unary_entry<Reply_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<reply_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Reply_spec{class_name(class_id::reply), sizeof(reply_obj), 0, k_type_flags,
                       Reply_slots};

}  // namespace kestro::py::reader
