// Session, Message, MessageIterator and Project. A Session and its Messages share the loaded
// session; every read builds new objects from it:
//
//     session.messages        -> new list of new Message views
//     iter(session)           -> MessageIterator over the same shared records
//     project.sessions        -> the one list kept by the project
#include "python/classes.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "python/args.hpp"
#include "python/models.hpp"
#include "session/project.hpp"

namespace kestro::py {

PyObject* make_message(const std::shared_ptr<const session>& owner, const message_record* record) {
    return make_view(class_id::message, owner, record);
}

namespace {

// ---- Message ---------------------------------------------------------------------------------

const message_payload& payload(const message_obj& o) {
    return o.item->message;
}

std::string_view Message_role(const message_obj& o) {
    return to_json_text(payload(o).role);
}
std::string Message_text(const message_obj& o) {
    return message_text(payload(o));
}
const std::optional<std::string>& Message_model(const message_obj& o) {
    return payload(o).model;
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
bool Message_is_sidechain(const message_obj& o) {
    return o.item->is_sidechain;
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

// ---- MessageIterator -------------------------------------------------------------------------

struct iterator_obj {
    PyObject_HEAD std::shared_ptr<const session> owner;
    std::size_t position;
    bool borrowed;  // held exclusively while __next__ runs
};

PyObject* make_iterator(const std::shared_ptr<const session>& owner) {
    PyTypeObject* type = type_object(class_id::message_iterator);
    if (type == nullptr) return nullptr;
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    auto& it = cast<iterator_obj>(self);
    new (&it.owner) std::shared_ptr<const session>(owner);
    it.position = 0;
    it.borrowed = false;
    return self;
}

PyObject* MessageIterator_iter(PyObject* self) {
    if (cast<iterator_obj>(self).borrowed) {
        return raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    return Py_NewRef(self);
}

PyObject* MessageIterator_next(PyObject* self) {
    auto& it = cast<iterator_obj>(self);
    if (it.borrowed) return raise(PyExc_RuntimeError, "Already borrowed");
    it.borrowed = true;
    PyObject* result = nullptr;
    const auto& records = it.owner->parsed.messages;
    if (it.position < records.size()) {
        result = make_message(it.owner, &records[it.position]);
        if (result != nullptr) ++it.position;
    }
    it.borrowed = false;
    return result;  // nullptr without an error set: exhausted
}

// ---- Session ---------------------------------------------------------------------------------

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

const std::string& Session_session_id(const session_obj& o) {
    return data(o).parsed.session_id;
}
ref Session_messages(const session_obj& o) {
    return ref::steal(message_list(o, [](const message_record&) { return true; }));
}
double Session_total_cost(const session_obj& o) {
    return data(o).parsed.metadata.total_cost_usd;
}
const std::vector<std::string>& Session_tools_used(const session_obj& o) {
    return data(o).parsed.metadata.unique_tools_used;
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

// ---- Project ---------------------------------------------------------------------------------

struct project_obj {
    PyObject_HEAD project_summary data;
    PyObject* sessions;  // a list of Session objects, shared with callers
};

const std::string& Project_name(const project_obj& o) {
    return o.data.name;
}
double Project_total_cost(const project_obj& o) {
    return o.data.total_cost;
}
std::uint64_t Project_total_messages(const project_obj& o) {
    return o.data.total_messages;
}
const std::vector<std::pair<std::string, std::uint64_t>>& Project_tool_usage_count(
    const project_obj& o) {
    return o.data.tool_usage_count;
}
std::optional<std::int64_t> Project_total_duration(const project_obj& o) {
    return o.data.total_duration;
}
ref Project_sessions(const project_obj& o) {
    return ref::borrow(o.sessions);
}

PyObject* Project_repr(PyObject* self) {
    const auto& d = cast<project_obj>(self).data;
    return to_py("<Project name='" + d.name + "' sessions=" + std::to_string(d.session_count) +
                 " cost=$" + four_decimals(d.total_cost) + ">");
}

PyObject* Project_str(PyObject* self) {
    const auto& d = cast<project_obj>(self).data;
    return to_py("Project '" + d.name + "' with " + std::to_string(d.session_count) + " sessions");
}

int Project_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(cast<project_obj>(self).sessions);
    return 0;
}

int Project_clear(PyObject* self) {
    Py_CLEAR(cast<project_obj>(self).sessions);
    return 0;
}

void Project_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Project_clear(self);
    std::destroy_at(&cast<project_obj>(self).data);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// ---- class descriptions ----------------------------------------------------------------------

#define KESTRO_FIELD(obj, cls, name) \
    { #name, field < obj, cls##_##name>, nullptr, "", nullptr }

PyGetSetDef Message_getset[] = {
    KESTRO_FIELD(message_obj, Message, role),
    KESTRO_FIELD(message_obj, Message, text),
    KESTRO_FIELD(message_obj, Message, model),
    KESTRO_FIELD(message_obj, Message, cost),
    KESTRO_FIELD(message_obj, Message, tools),
    KESTRO_FIELD(message_obj, Message, stop_reason),
    KESTRO_FIELD(message_obj, Message, usage),
    KESTRO_FIELD(message_obj, Message, timestamp),
    KESTRO_FIELD(message_obj, Message, uuid),
    KESTRO_FIELD(message_obj, Message, parent_uuid),
    KESTRO_FIELD(message_obj, Message, is_sidechain),
    KESTRO_FIELD(message_obj, Message, cwd),
    KESTRO_FIELD(message_obj, Message, total_tokens),
    KESTRO_FIELD(message_obj, Message, input_tokens),
    KESTRO_FIELD(message_obj, Message, output_tokens),
    {},
};

PyGetSetDef Session_getset[] = {
    KESTRO_FIELD(session_obj, Session, session_id),
    KESTRO_FIELD(session_obj, Session, messages),
    KESTRO_FIELD(session_obj, Session, total_cost),
    KESTRO_FIELD(session_obj, Session, tools_used),
    KESTRO_FIELD(session_obj, Session, duration),
    KESTRO_FIELD(session_obj, Session, conversation_tree),
    KESTRO_FIELD(session_obj, Session, metadata),
    KESTRO_FIELD(session_obj, Session, tool_executions),
    KESTRO_FIELD(session_obj, Session, tool_costs),
    KESTRO_FIELD(session_obj, Session, project_path),
    KESTRO_FIELD(session_obj, Session, project_name),
    KESTRO_FIELD(session_obj, Session, cost_by_turn),
    {},
};

PyGetSetDef Project_getset[] = {
    KESTRO_FIELD(project_obj, Project, name),
    KESTRO_FIELD(project_obj, Project, total_cost),
    KESTRO_FIELD(project_obj, Project, total_messages),
    KESTRO_FIELD(project_obj, Project, tool_usage_count),
    KESTRO_FIELD(project_obj, Project, total_duration),
    KESTRO_FIELD(project_obj, Project, sessions),
    {},
};

#undef KESTRO_FIELD

constexpr int k_fast = METH_FASTCALL | METH_KEYWORDS;

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

constexpr const char* MessageIterator_doc = "Iterator for messages in a session";

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

constexpr const char* Project_doc =
    "Container for a Kestro Code project with multiple sessions.\n"
    "\n"
    "This class represents a project directory containing multiple session files\n"
    "and provides aggregate statistics across all sessions in the project.\n"
    "\n"
    "Properties:\n"
    "    name: Project name (derived from directory name)\n"
    "    sessions: List of Session objects for this project\n"
    "    total_cost: Total cost across all sessions\n"
    "    total_messages: Total number of messages across all sessions\n"
    "    tool_usage_count: Aggregate tool usage counts across sessions\n"
    "    total_duration: Total duration across all sessions (if available)\n"
    "\n"
    "Example:\n"
    "    >>> project = load_project(\"apply-model\")\n"
    "    >>> print(f\"Project: {project.name}\")\n"
    "    >>> print(f\"Sessions: {len(project.sessions)}\")\n"
    "    >>> print(f\"Total cost: ${project.total_cost:.4f}\")\n"
    "    >>> for tool, count in project.tool_usage_count.items():\n"
    "    ...     print(f\"{tool}: {count} uses\")";

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

PyType_Slot MessageIterator_slots[] = {
    {Py_tp_doc, const_cast<char*>(MessageIterator_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<iterator_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_iter, slot(unary_entry<MessageIterator_iter>)},
    {Py_tp_iternext, slot(unary_entry<MessageIterator_next>)},
    {0, nullptr},
};

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

PyType_Slot Project_slots[] = {
    {Py_tp_doc, const_cast<char*>(Project_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(Project_dealloc)},
    {Py_tp_traverse, slot(Project_traverse)},
    {Py_tp_clear, slot(Project_clear)},
    {Py_tp_getset, Project_getset},
    {Py_tp_repr, slot(unary_entry<Project_repr>)},
    {Py_tp_str, slot(unary_entry<Project_str>)},
    {0, nullptr},
};

PyType_Spec Message_spec{"kestro_sdk.Message", sizeof(message_obj), 0, k_type_flags, Message_slots};
PyType_Spec MessageIterator_spec{"kestro_sdk.MessageIterator", sizeof(iterator_obj), 0,
                                 k_type_flags, MessageIterator_slots};
PyType_Spec Session_spec{"kestro_sdk.Session", sizeof(session_obj), 0, k_type_flags, Session_slots};
PyType_Spec Project_spec{"kestro_sdk.Project", sizeof(project_obj), 0, k_type_flags, Project_slots};

}  // namespace

PyObject* make_session(std::shared_ptr<const session> s) {
    const session* item = s.get();
    return make_view(class_id::session, s, item);
}

PyObject* make_project(std::string name,
                       const std::vector<std::shared_ptr<const session>>& sessions) {
    project_summary d = summarize_project(std::move(name), sessions);
    ref list = ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& s : sessions) {
        ref item = ref::steal(make_session(s));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    PyTypeObject* type = type_object(class_id::project);
    if (type == nullptr) return nullptr;
    PyObject* self = PyType_GenericAlloc(type, 0);
    if (self == nullptr) return nullptr;
    auto& p = cast<project_obj>(self);
    new (&p.data) project_summary(std::move(d));
    p.sessions = list.release();
    return self;
}

const PyType_Spec* main_class_spec(class_id id) {
    switch (id) {
        case class_id::message:
            return &Message_spec;
        case class_id::session:
            return &Session_spec;
        case class_id::project:
            return &Project_spec;
        case class_id::message_iterator:
            return &MessageIterator_spec;
        default:
            return nullptr;
    }
}

}  // namespace kestro::py
