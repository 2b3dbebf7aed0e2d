// Project: the sessions of one project directory and their totals.
//
//     project.sessions -> the one list of Session objects the project keeps
#include <utility>

#include "python/classes.hpp"
#include "python/fields.hpp"
#include "session/project.hpp"

namespace kestro::py {
namespace {

struct project_obj {
    PyObject_HEAD project_summary data;
    PyObject* sessions;  // a list of Session objects, shared with callers
};

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

PyGetSetDef Project_getset[] = {
    own_member<project_obj, &project_obj::data, &project_summary::name>("name"),
    own_member<project_obj, &project_obj::data, &project_summary::total_cost>("total_cost"),
    own_member<project_obj, &project_obj::data, &project_summary::total_messages>("total_messages"),
    own_member<project_obj, &project_obj::data, &project_summary::tool_usage_count>(
        "tool_usage_count"),
    own_member<project_obj, &project_obj::data, &project_summary::total_duration>("total_duration"),
    computed<project_obj, Project_sessions>("sessions"),
    {},
};

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

}  // namespace

PyType_Spec Project_spec{class_name(class_id::project), sizeof(project_obj), 0, k_type_flags,
                         Project_slots};

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

}  // namespace kestro::py
