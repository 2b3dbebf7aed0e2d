// Session: a loaded log, shared by every object made from it.
//
//     session.messages      -> new list of new Message views
//     session.get_thread(u) -> new list, oldest ancestor first
//     iter(session)         -> MessageIterator over the same shared records
#include <string_view>

#include "python/args.hpp"
#include "python/classes.hpp"
#include "python/fields.hpp"
#include "session/names.hpp"

namespace kestro::py {
namespace {

const session& data(const session_obj& o) {
    return *o.item;
}

// Records accepted by `keep`, each as a new Message.
template <class Keep>
PyObject* message_list(const session_obj& o, Keep keep) {
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& record : data(o).parsed.messages) {
        if (!keep(record)) continue;
        ref item = ref::steal(make_message(o.owner, &record));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

ref Session_messages(const session_obj& o) {
    return ref::steal(message_list(o, [](const message_record&) { return true; }));
}
std::optional<std::int64_t> Session_duration(const session_obj& o) {
    const auto& span = data(o).parsed.metadata.session_duration;
    if (!span) return std::nullopt;
    return span->whole_seconds();
}
ref Session_conversation_tree(const session_obj& o) {
    return ref::steal(
        make_view(class_id::conversation_tree, o.owner, &data(o).parsed.conversation_tree));
}
ref Session_metadata(const session_obj& o) {
    return ref::steal(make_view(class_id::session_metadata, o.owner, &data(o).parsed.metadata));
}
ref Session_tool_executions(const session_obj& o) {
    const auto& executions = data(o).tool_executions;
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(executions.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < executions.size(); ++i) {
        PyObject* item = make_view(class_id::tool_execution, o.owner, &executions[i]);
        if (item == nullptr) return ref();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}
ref Session_tool_costs(const session_obj& o) {
    const auto& metadata = data(o).parsed.metadata;
    ref dict = ref::steal(PyDict_New());
    if (!dict) return dict;
    for (const auto& [name, count] : metadata.tool_usage_count) {
        double cost = 0.0;
        if (metadata.total_tool_calls != 0) {
            cost = metadata.total_cost_usd * static_cast<double>(count) /
                   static_cast<double>(metadata.total_tool_calls);
        }
        ref key = ref::steal(to_py(name));
        ref value = ref::steal(to_py(cost));
        if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return ref();
    }
    return dict;
}
ref Session_project_path(const session_obj& o) {
    const auto& records = data(o).parsed.messages;
    if (records.empty()) {
        raise(PyExc_ValueError, "Cannot determine project path from empty session");
        return ref();
    }
    return ref::steal(to_py(records.front().cwd));
}
ref Session_project_name(const session_obj& o) {
    const auto& records = data(o).parsed.messages;
    if (records.empty()) {
        raise(PyExc_ValueError, "Cannot determine project name from empty session");
        return ref();
    }
    return ref::steal(to_py(final_component_name(records.front().cwd)));
}
std::vector<double> Session_cost_by_turn(const session_obj& o) {
    const auto& records = data(o).parsed.messages;
    std::vector<double> costs;
    costs.reserve(records.size());
    for (const auto& record : records)
        costs.push_back(record.cost_usd.value_or(0.0));
    return costs;
}

PyObject* Session_get_main_chain(PyObject* self) {
    return message_list(cast<session_obj>(self),
                        [](const message_record& r) { return !r.is_sidechain; });
}

PyObject* Session_get_messages_by_role(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const parameters params{"Session.get_messages_by_role()", {"role"}, 1};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto role = text_argument(arg[0], "role");
    if (!role) return nullptr;
    return message_list(cast<session_obj>(self), [&](const message_record& r) {
        return to_json_text(r.message.role) == *role;
    });
}

PyObject* Session_get_messages_by_tool(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
    static const parameters params{"Session.get_messages_by_tool()", {"tool_name"}, 1};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto tool = text_argument(arg[0], "tool_name");
    if (!tool) return nullptr;
    return message_list(cast<session_obj>(self), [&](const message_record& r) {
        return message_uses_tool(r.message, *tool);
    });
}

PyObject* Session_get_message_by_uuid(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const parameters params{"Session.get_message_by_uuid()", {"uuid"}, 1};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto text = text_argument(arg[0], "uuid");
    if (!text) return nullptr;
    const auto& o = cast<session_obj>(self);
    if (auto id = parse_canonical_uuid(*text)) {
        for (const auto& record : data(o).parsed.messages) {
            if (record.uuid == *id) return make_message(o.owner, &record);
        }
    }
    return Py_NewRef(Py_None);
}

PyObject* Session_filter_messages(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const parameters params{"Session.filter_messages()", {"predicate"}, 1};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    PyObject* predicate = arg[0];  // borrowed from the call
    const auto& o = cast<session_obj>(self);
    // The predicate may drop every other reference to the session; the list keeps it alive.
    const std::shared_ptr<const session> owner = o.owner;
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& record : owner->parsed.messages) {
        ref shown = ref::steal(make_message(owner, &record));
        if (!shown) return nullptr;
        ref verdict = ref::steal(PyObject_CallFunctionObjArgs(predicate, shown.get(), nullptr));
        if (!verdict) return propagate();
        const int truth = PyObject_IsTrue(verdict.get());
        if (truth < 0) return nullptr;
        if (truth == 0) continue;
        // The result holds objects distinct from those the predicate saw.
        ref kept = ref::steal(make_message(owner, &record));
        if (!kept || PyList_Append(list.get(), kept.get()) < 0) return nullptr;
    }
    return list.release();
}

PyObject* Session_get_thread(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const parameters params{"Session.get_thread()", {"message_uuid"}, 1};
    PyObject* arg[1];
    if (!match_arguments(params, args, nargs, kwnames, arg)) return nullptr;
    auto text = text_argument(arg[0], "message_uuid");
    if (!text) return nullptr;
    const auto& o = cast<session_obj>(self);
    std::vector<std::size_t> thread;
    if (auto id = parse_canonical_uuid(*text)) thread = thread_indices(data(o), *id);
    const auto& records = data(o).parsed.messages;
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(thread.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < thread.size(); ++i) {
        PyObject* item = make_message(o.owner, &records.at(thread[i]));
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

Py_ssize_t Session_len(PyObject* self) {
    return static_cast<Py_ssize_t>(data(cast<session_obj>(self)).parsed.messages.size());
}

PyObject* Session_iter(PyObject* self) {
    return make_iterator(cast<session_obj>(self).owner);
}

PyObject* Session_repr(PyObject* self) {
    const auto& s = data(cast<session_obj>(self));
    return to_py("<Session id='" + s.parsed.session_id +
                 "' messages=" + std::to_string(s.parsed.messages.size()) + " cost=$" +
                 four_decimals(s.parsed.metadata.total_cost_usd) + ">");
}

PyGetSetDef Session_getset[] = {
    member<session_obj, &session::parsed, &parsed_session::session_id>("session_id"),
    computed<session_obj, Session_messages>("messages"),
    member<session_obj, &session::parsed, &parsed_session::metadata,
           &session_metadata::total_cost_usd>("total_cost"),
    member<session_obj, &session::parsed, &parsed_session::metadata,
           &session_metadata::unique_tools_used>("tools_used"),
    computed<session_obj, Session_duration>("duration"),
    computed<session_obj, Session_conversation_tree>("conversation_tree"),
    computed<session_obj, Session_metadata>("metadata"),
    computed<session_obj, Session_tool_executions>("tool_executions"),
    computed<session_obj, Session_tool_costs>("tool_costs"),
    computed<session_obj, Session_project_path>("project_path"),
    computed<session_obj, Session_project_name>("project_name"),
    computed<session_obj, Session_cost_by_turn>("cost_by_turn"),
    {},
};

constexpr int k_fast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef Session_methods[] = {
    {"get_main_chain", method(noargs_entry<Session_get_main_chain>), METH_NOARGS,
     "get_main_chain($self)\n--\n\n"
     "Get only the main conversation chain (excluding sidechains).\n\n"
     "Returns:\n    List[Message]: Messages in the main conversation thread"},
    {"get_messages_by_role", method(fast_entry<Session_get_messages_by_role>), k_fast,
     "get_messages_by_role($self, role)\n--\n\n"
     "Get messages with a specific role.\n\n"
     "Args:\n    role: Role to filter by (\"user\" or \"assistant\")\n\n"
     "Returns:\n    List[Message]: Messages with the specified role"},
    {"get_messages_by_tool", method(fast_entry<Session_get_messages_by_tool>), k_fast,
     "get_messages_by_tool($self, tool_name)\n--\n\n"
     "Get messages that used a specific tool.\n\n"
     "Args:\n    tool_name: Name of the tool to filter by\n\n"
     "Returns:\n    List[Message]: Messages that used the specified tool"},
    {"get_message_by_uuid", method(fast_entry<Session_get_message_by_uuid>), k_fast,
     "get_message_by_uuid($self, uuid)\n--\n\n"
     "Get a message by its UUID.\n\n"
     "Args:\n    uuid: UUID string of the message\n\n"
     "Returns:\n    Optional[Message]: The message if found, None otherwise"},
    {"filter_messages", method(fast_entry<Session_filter_messages>), k_fast,
     "filter_messages($self, predicate)\n--\n\n"
     "Filter messages with a custom predicate function.\n\n"
     "Args:\n    predicate: A callable that takes a Message and returns bool\n\n"
     "Returns:\n    List[Message]: Messages that match the predicate"},
    {"get_thread", method(fast_entry<Session_get_thread>), k_fast,
     "get_thread($self, message_uuid)\n--\n\n"
     "Get all messages in a thread from root to specified message.\n\n"
     "Args:\n    message_uuid: UUID of the target message\n\n"
     "Returns:\n    List[Message]: Messages in the thread from root to target"},
    {},
};

constexpr const char* Session_doc =
    "Primary container for Kestro Code session data.\n"
    "\n"
    "This class represents a complete Kestro Code session, including all messages,\n"
    "conversation threading, tool usage information, and metadata.\n"
    "\n"
    "Properties:\n"
    "    session_id: Unique identifier of the session\n"
    "    messages: List of all messages in the session\n"
    "    total_cost: Total cost of the session in USD\n"
    "    tools_used: Set of tool names used in the session\n"
    "    duration: Total session duration in seconds (None if not available)\n"
    "    tool_costs: Cost breakdown by tool (dict mapping tool name to cost)\n"
    "    cost_by_turn: Cost breakdown by message turn (list of costs)\n"
    "    conversation_tree: Tree structure of the conversation\n"
    "    metadata: Statistics and metadata of the session\n"
    "    tool_executions: Tool executions with their results and timing\n"
    "\n"
    "Methods:\n"
    "    get_main_chain(): Get the main conversation chain (excluding sidechains)\n"
    "    get_messages_by_role(role): Get the messages with a specific role\n"
    "\n"
    "Example:\n"
    "    >>> session = load(\"conversation.jsonl\")\n"
    "    >>> print(f\"Session: {session.session_id}\")\n"
    "    >>> print(f\"Total cost: ${session.total_cost:.4f}\")\n"
    "    >>> print(f\"Tools used: {', '.join(session.tools_used)}\")\n"
    "    >>> user_messages = session.get_messages_by_role(\"user\")\n"
    "    >>> print(f\"User messages: {len(user_messages)}\")";

PyType_Slot Session_slots[] = {
    {Py_tp_doc, const_cast<char*>(Session_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<session_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, Session_getset},
    {Py_tp_methods, Session_methods},
    {Py_tp_repr, slot(unary_entry<Session_repr>)},
    {Py_tp_iter, slot(unary_entry<Session_iter>)},
    {Py_sq_length, slot(length_entry<Session_len>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Session_spec{class_name(class_id::session), sizeof(session_obj), 0, k_type_flags,
                         Session_slots};

PyObject* make_session(const std::shared_ptr<const session>& s) {
    return make_view(class_id::session, s, s.get());
}

}  // namespace kestro::py
