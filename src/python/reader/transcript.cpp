// The Transcript class of _reader: one session file read completely, with its sub-agents.
//
//     t.records      -> [Message | Record | Problem, ...] in file order
//     t.messages     -> [Message, ...]        t.replies -> [Reply, ...]
//     t.problems     -> [(line, reason), ...] t.subagents -> [Transcript, ...]
//     t.thread(uuid) / t.main_thread() -> [Message, ...]
#include <string>
#include <vector>

#include "python/args.hpp"
#include "python/reader/objects.hpp"
#include "session/transcript.hpp"

namespace kestro::py::reader {
namespace {

const transcript& data(const transcript_obj& o) {
    return *o.item;
}

template <class F>
ref list_of(std::size_t n, F&& item) {
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return list;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* value = item(i);
        if (value == nullptr) return ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

ref messages_at(const transcript_obj& o, const std::vector<std::uint32_t>& indexes) {
    return list_of(indexes.size(),
                   [&](std::size_t i) { return make_message(o.owner, indexes[i]); });
}

std::optional<std::string> Transcript_started(const transcript_obj& o) {
    return time_text(data(o).started);
}
std::optional<std::string> Transcript_ended(const transcript_obj& o) {
    return time_text(data(o).ended);
}
ref Transcript_records(const transcript_obj& o) {
    const auto& records = data(o).records;
    return list_of(records.size(), [&](std::size_t i) -> PyObject* {
        const transcript_record& r = records[i];
        switch (r.kind) {
            case record_kind::message:
                return make_message(o.owner, r.message);
            case record_kind::known:
            case record_kind::other:
                return make(class_id::record, o.owner, &r);
            case record_kind::problem:
                return make(class_id::problem, o.owner, &r);
        }
        return nullptr;
    });
}
ref Transcript_messages(const transcript_obj& o) {
    return list_of(data(o).messages.size(),
                   [&](std::size_t i) { return make_message(o.owner, std::uint32_t(i)); });
}
ref Transcript_replies(const transcript_obj& o) {
    const auto& replies = data(o).replies;
    return list_of(replies.size(),
                   [&](std::size_t i) { return make(class_id::reply, o.owner, &replies[i]); });
}
ref Transcript_problems(const transcript_obj& o) {
    std::vector<const transcript_record*> problems;
    for (const auto& r : data(o).records) {
        if (r.kind == record_kind::problem) problems.push_back(&r);
    }
    return list_of(problems.size(), [&](std::size_t i) -> PyObject* {
        ref line = ref::steal(to_py(problems[i]->line));
        ref reason = ref::steal(to_py(problems[i]->reason));
        if (!line || !reason) return nullptr;
        return PyTuple_Pack(2, line.get(), reason.get());
    });
}
ref Transcript_subagents(const transcript_obj& o) {
    const auto& subs = data(o).subagents;
    return list_of(subs.size(), [&](std::size_t i) { return make_transcript(subs[i]); });
}

PyObject* Transcript_thread(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    static const parameters params{"Transcript.thread()", {"uuid"}, 1};
    PyObject* arg[1] = {};
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto text = text_argument(arg[0], "uuid");
    if (!text) return nullptr;
    const auto& o = cast<transcript_obj>(self);
    std::vector<std::uint32_t> thread;
    const std::string id = canonical_id(*text);
    if (auto at = find_record(data(o), id)) thread = thread_of(data(o), *at);
    return messages_at(o, thread).release();
}

PyObject* Transcript_main_thread(PyObject* self) {
    const auto& o = cast<transcript_obj>(self);
    std::vector<std::uint32_t> thread;
    if (auto leaf = main_leaf(data(o))) thread = thread_of(data(o), *leaf);
    return messages_at(o, thread).release();
}

Py_ssize_t Transcript_len(PyObject* self) {
    return static_cast<Py_ssize_t>(data(cast<transcript_obj>(self)).records.size());
}

PyObject* Transcript_repr(PyObject* self) {
    const auto& t = data(cast<transcript_obj>(self));
    return to_py("<Transcript session_id='" + t.session_id.value_or(std::string()) +
                 "' records=" + std::to_string(t.records.size()) +
                 " messages=" + std::to_string(t.messages.size()) +
                 " subagents=" + std::to_string(t.subagents.size()) + ">");
}

PyGetSetDef Transcript_getset[] = {
    member<transcript_obj, &transcript::path>("path"),
    member<transcript_obj, &transcript::session_id>("session_id"),
    member<transcript_obj, &transcript::title>("title"),
    member<transcript_obj, &transcript::version>("version"),
    member<transcript_obj, &transcript::git_branch>("git_branch"),
    computed<transcript_obj, Transcript_started>("started"),
    computed<transcript_obj, Transcript_ended>("ended"),
    member<transcript_obj, &transcript::agent_id>("agent_id"),
    member<transcript_obj, &transcript::parent_tool_use_id>("parent_tool_use_id"),
    computed<transcript_obj, Transcript_records>("records"),
    computed<transcript_obj, Transcript_messages>("messages"),
    computed<transcript_obj, Transcript_replies>("replies"),
    computed<transcript_obj, Transcript_problems>("problems"),
    computed<transcript_obj, Transcript_subagents>("subagents"),
    {},
};

constexpr int k_fast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef Transcript_methods[] = {
    {"thread", method(fast_entry<Transcript_thread>), k_fast,
     "thread($self, uuid)\n--\n\nThe messages from the earliest reachable ancestor down to the "
     "message with this uuid."},
    {"main_thread", method(noargs_entry<Transcript_main_thread>), METH_NOARGS,
     "main_thread($self)\n--\n\nThe thread of the last message that is not a side chain."},
    {},
};

PyType_Slot Transcript_slots[] = {
    {Py_tp_getset, Transcript_getset},
    {Py_tp_methods, Transcript_methods},
    {Py_tp_repr, slot(unary_entry<Transcript_repr>)},
    {Py_sq_length, slot(length_entry<Transcript_len>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<transcript_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Transcript_spec{class_name(class_id::transcript), sizeof(transcript_obj), 0,
                            k_type_flags, Transcript_slots};

PyObject* make_transcript(const std::shared_ptr<const transcript>& t) {
    return make(class_id::transcript, t, t.get());
}

}  // namespace kestro::py::reader
