// ConversationNode: one message of the reply tree and its direct replies.
//
//     node.message  -> new Message view
//     node.children -> new list of new nodes
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {

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

namespace {

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

PyGetSetDef ConversationNode_getset[] = {
    computed<node_obj, ConversationNode_message>("message"),
    computed<node_obj, ConversationNode_children>("children"),
    {},
};

PyMethodDef ConversationNode_methods[] = {
    {"is_leaf", method(noargs_entry<ConversationNode_is_leaf>), METH_NOARGS,
     "is_leaf($self)\n--\n\nCheck if this node is a leaf (has no children)"},
    {"child_count", method(noargs_entry<ConversationNode_child_count>), METH_NOARGS,
     "child_count($self)\n--\n\nGet the number of children"},
    {},
};

constexpr const char* ConversationNode_doc =
    "A node in the conversation tree\n"
    "\n"
    "Represents a single message and its children in the conversation tree structure.\n"
    "\n"
    "Properties:\n"
    "    message: The Message object at this node\n"
    "    children: List of child ConversationNode objects";

PyType_Slot ConversationNode_slots[] = {
    {Py_tp_doc, const_cast<char*>(ConversationNode_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<node_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ConversationNode_getset},
    {Py_tp_repr, slot(unary_entry<ConversationNode_repr>)},
    {Py_tp_methods, ConversationNode_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec ConversationNode_spec{class_name(class_id::conversation_node), sizeof(node_obj), 0,
                                  k_type_flags, ConversationNode_slots};

}  // namespace kestro::py
