// ConversationTree: the reply forest of a session, with orphans and cycles.
//
//     tree.root_messages       -> new list of new nodes
//     tree.circular_references -> new list of (uuid, uuid) tuples
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

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

PyGetSetDef ConversationTree_getset[] = {
    computed<tree_obj, ConversationTree_orphaned_messages>("orphaned_messages"),
    computed<tree_obj, ConversationTree_circular_references>("circular_references"),
    computed<tree_obj, ConversationTree_stats>("stats"),
    computed<tree_obj, ConversationTree_root_messages>("root_messages"),
    {},
};

PyMethodDef ConversationTree_methods[] = {
    {"max_depth", method(noargs_entry<ConversationTree_max_depth>), METH_NOARGS,
     "max_depth($self)\n--\n\nGet the maximum depth of the conversation tree"},
    {"count_branches", method(noargs_entry<ConversationTree_count_branches>), METH_NOARGS,
     "count_branches($self)\n--\n\nCount the number of branching points"},
    {},
};

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

PyType_Slot ConversationTree_slots[] = {
    {Py_tp_doc, const_cast<char*>(ConversationTree_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<tree_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ConversationTree_getset},
    {Py_tp_repr, slot(unary_entry<ConversationTree_repr>)},
    {Py_tp_methods, ConversationTree_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec ConversationTree_spec{class_name(class_id::conversation_tree), sizeof(tree_obj), 0,
                                  k_type_flags, ConversationTree_slots};

}  // namespace kestro::py
