// The record classes of _reader: Message (user and assistant lines), Record (every other type,
// with its raw JSON), Problem (a line that could not be read), Usage and Reply.
//
//     message.uuid / .parent_uuid / .timestamp / .role / .content / .usage / ...
//     record.type / .is_known / .raw          problem.line / .reason
//     reply.uuids / .tools / .input_tokens / ... (counts merged over the reply's records)
#include <string>
#include <string_view>
#include <vector>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {

std::optional<std::string> time_text(const std::optional<date_time>& t) {
    if (!t) return std::nullopt;
    return t->to_rfc3339();
}

namespace {

const transcript_record& record_of(const message_obj& o) {
    return o.owner->records[o.item->record];
}
std::optional<std::string_view> shared(const shared_text& text) {
    if (text.empty()) return std::nullopt;
    return text.view();
}

// ---- Message ---------------------------------------------------------------------------------

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
bool Message_is_sidechain(const message_obj& o) {
    return o.item->is_sidechain;
}
bool Message_is_meta(const message_obj& o) {
    return o.item->is_meta;
}
const std::optional<std::string>& Message_agent_id(const message_obj& o) {
    return o.item->agent_id;
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
const std::optional<std::string>& Message_message_id(const message_obj& o) {
    return o.item->message_id;
}
const std::optional<std::string>& Message_request_id(const message_obj& o) {
    return o.item->request_id;
}
const std::optional<std::string>& Message_model(const message_obj& o) {
    return o.item->model;
}
const std::optional<std::string>& Message_stop_reason(const message_obj& o) {
    return o.item->stop_reason;
}
ref Message_usage(const message_obj& o) {
    if (!o.item->usage) return ref::borrow(Py_None);
    return ref::steal(make(class_id::usage, o.owner, &*o.item->usage));
}
const std::optional<double>& Message_cost_usd(const message_obj& o) {
    return o.item->cost_usd;
}
const std::optional<std::uint64_t>& Message_duration_ms(const message_obj& o) {
    return o.item->duration_ms;
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

// ---- Record and Problem ----------------------------------------------------------------------

std::uint64_t Record_line(const record_obj& o) {
    return o.item->line;
}
const std::string& Record_type(const record_obj& o) {
    return o.item->type;
}
bool Record_is_known(const record_obj& o) {
    return o.item->kind == record_kind::known;
}
const std::optional<std::string>& Record_uuid(const record_obj& o) {
    return o.item->uuid;
}
const std::optional<std::string>& Record_parent_uuid(const record_obj& o) {
    return o.item->parent_uuid;
}
std::optional<std::string> Record_timestamp(const record_obj& o) {
    return time_text(o.item->timestamp);
}
const std::optional<std::string>& Record_subtype(const record_obj& o) {
    return o.item->subtype;
}
ref Record_raw(const record_obj& o) {
    return ref::steal(json_to_py(o.item->raw));
}
PyObject* Record_repr(PyObject* self) {
    const auto& o = cast<record_obj>(self);
    return to_py("<Record line=" + std::to_string(o.item->line) + " type='" + o.item->type + "'>");
}

std::optional<std::string_view> Problem_type(const record_obj& o) {
    if (o.item->type.empty()) return std::nullopt;
    return o.item->type;
}
const std::string& Problem_reason(const record_obj& o) {
    return o.item->reason;
}
PyObject* Problem_repr(PyObject* self) {
    const auto& o = cast<record_obj>(self);
    return to_py("<Problem line=" + std::to_string(o.item->line) + " reason='" + o.item->reason +
                 "'>");
}

// ---- Usage -----------------------------------------------------------------------------------

template <std::optional<std::uint64_t> usage_counts::*Member>
const std::optional<std::uint64_t>& usage_count(const usage_obj& o) {
    return o.item->*Member;
}
const std::optional<std::string>& Usage_service_tier(const usage_obj& o) {
    return o.item->service_tier;
}

PyObject* Usage_repr(PyObject* self) {
    const auto& o = cast<usage_obj>(self);
    return to_py("<Usage input_tokens=" + std::to_string(o.item->input_tokens.value_or(0)) +
                 " output_tokens=" + std::to_string(o.item->output_tokens.value_or(0)) + ">");
}

// ---- Reply -----------------------------------------------------------------------------------

template <std::uint64_t reply_figures::*Member>
std::uint64_t reply_count(const reply_obj& o) {
    return o.item->*Member;
}
const std::optional<std::string>& Reply_message_id(const reply_obj& o) {
    return o.item->message_id;
}
const std::optional<std::string>& Reply_request_id(const reply_obj& o) {
    return o.item->request_id;
}
std::string Reply_timestamp(const reply_obj& o) {
    return o.item->timestamp.to_rfc3339();
}
const std::optional<std::string>& Reply_model(const reply_obj& o) {
    return o.item->model;
}
const std::optional<std::string>& Reply_stop_reason(const reply_obj& o) {
    return o.item->stop_reason;
}
const std::optional<double>& Reply_cost_usd(const reply_obj& o) {
    return o.item->cost_usd;
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

#define KESTRO_GET(obj, cls, name) \
    { #name, field < obj, cls##_##name>, nullptr, nullptr, nullptr }

PyGetSetDef Message_getset[] = {
    KESTRO_GET(message_obj, Message, line),
    KESTRO_GET(message_obj, Message, type),
    KESTRO_GET(message_obj, Message, uuid),
    KESTRO_GET(message_obj, Message, parent_uuid),
    KESTRO_GET(message_obj, Message, timestamp),
    KESTRO_GET(message_obj, Message, role),
    KESTRO_GET(message_obj, Message, content),
    KESTRO_GET(message_obj, Message, text),
    KESTRO_GET(message_obj, Message, tools),
    KESTRO_GET(message_obj, Message, is_sidechain),
    KESTRO_GET(message_obj, Message, is_meta),
    KESTRO_GET(message_obj, Message, agent_id),
    KESTRO_GET(message_obj, Message, cwd),
    KESTRO_GET(message_obj, Message, version),
    KESTRO_GET(message_obj, Message, git_branch),
    KESTRO_GET(message_obj, Message, message_id),
    KESTRO_GET(message_obj, Message, request_id),
    KESTRO_GET(message_obj, Message, model),
    KESTRO_GET(message_obj, Message, stop_reason),
    KESTRO_GET(message_obj, Message, usage),
    KESTRO_GET(message_obj, Message, cost_usd),
    KESTRO_GET(message_obj, Message, duration_ms),
    KESTRO_GET(message_obj, Message, tool_use_result),
    {},
};
PyGetSetDef Record_getset[] = {
    KESTRO_GET(record_obj, Record, line),
    KESTRO_GET(record_obj, Record, type),
    KESTRO_GET(record_obj, Record, is_known),
    KESTRO_GET(record_obj, Record, uuid),
    KESTRO_GET(record_obj, Record, parent_uuid),
    KESTRO_GET(record_obj, Record, timestamp),
    KESTRO_GET(record_obj, Record, subtype),
    KESTRO_GET(record_obj, Record, raw),
    {},
};
PyGetSetDef Problem_getset[] = {
    {"line", field<record_obj, Record_line>, nullptr, nullptr, nullptr},
    KESTRO_GET(record_obj, Problem, type),
    KESTRO_GET(record_obj, Problem, reason),
    {},
};
#define KESTRO_COUNT(name) \
    { #name, field < usage_obj, usage_count < &usage_counts::name>>, nullptr, nullptr, nullptr }
PyGetSetDef Usage_getset[] = {
    KESTRO_COUNT(input_tokens),
    KESTRO_COUNT(output_tokens),
    KESTRO_COUNT(cache_creation_input_tokens),
    KESTRO_COUNT(cache_read_input_tokens),
    KESTRO_COUNT(ephemeral_5m_input_tokens),
    KESTRO_COUNT(ephemeral_1h_input_tokens),
    KESTRO_GET(usage_obj, Usage, service_tier),
    {},
};
#define KESTRO_REPLY_COUNT(name) \
    { #name, field < reply_obj, reply_count < &reply_figures::name>>, nullptr, nullptr, nullptr }
PyGetSetDef Reply_getset[] = {
    KESTRO_GET(reply_obj, Reply, message_id),
    KESTRO_GET(reply_obj, Reply, request_id),
    KESTRO_GET(reply_obj, Reply, timestamp),
    KESTRO_GET(reply_obj, Reply, model),
    KESTRO_GET(reply_obj, Reply, stop_reason),
    KESTRO_GET(reply_obj, Reply, cost_usd),
    KESTRO_GET(reply_obj, Reply, uuids),
    KESTRO_GET(reply_obj, Reply, tools),
    KESTRO_GET(reply_obj, Reply, messages),
    KESTRO_GET(reply_obj, Reply, content),
    KESTRO_REPLY_COUNT(input_tokens),
    KESTRO_REPLY_COUNT(output_tokens),
    KESTRO_REPLY_COUNT(cache_creation_input_tokens),
    KESTRO_REPLY_COUNT(cache_read_input_tokens),
    KESTRO_REPLY_COUNT(ephemeral_5m_input_tokens),
    KESTRO_REPLY_COUNT(ephemeral_1h_input_tokens),
    {},
};

#define KESTRO_SPEC(cls, obj, repr)                                                 \
    PyType_Slot cls##_slots[] = {                                                   \
        {Py_tp_getset, cls##_getset},        {Py_tp_repr, repr},                    \
        {Py_tp_new, slot(refuse_new)},       {Py_tp_traverse, slot(traverse_type)}, \
        {Py_tp_dealloc, slot(destroy<obj>)}, {0, nullptr},                          \
    };                                                                              \
    PyType_Spec cls##_spec {                                                        \
        "kestro_sdk._reader." #cls, sizeof(obj), 0, k_type_flags, cls##_slots       \
    }

KESTRO_SPEC(Message, message_obj, slot(unary_entry<Message_repr>));
KESTRO_SPEC(Record, record_obj, slot(unary_entry<Record_repr>));
KESTRO_SPEC(Problem, record_obj, slot(unary_entry<Problem_repr>));
KESTRO_SPEC(Usage, usage_obj, slot(unary_entry<Usage_repr>));
KESTRO_SPEC(Reply, reply_obj, slot(unary_entry<Reply_repr>));

}  // namespace

const PyType_Spec* record_spec(class_id id) {
    switch (id) {
        case class_id::message:
            return &Message_spec;
        case class_id::record:
            return &Record_spec;
        case class_id::problem:
            return &Problem_spec;
        case class_id::usage:
            return &Usage_spec;
        case class_id::reply:
            return &Reply_spec;
        default:
            return nullptr;
    }
}

PyObject* make_message(const std::shared_ptr<const transcript>& owner, std::uint32_t index) {
    return make(class_id::message, owner, &owner->messages[index]);
}

}  // namespace kestro::py::reader
