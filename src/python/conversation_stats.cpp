// ConversationStats: the shape of a session's reply tree in four counts.
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

PyObject* ConversationStats_repr(PyObject* self) {
    const auto& s = *cast<stats_obj>(self).item;
    return to_py("<ConversationStats messages=" + std::to_string(s.total_messages) + " depth=" +
                 std::to_string(s.max_depth) + " branches=" + std::to_string(s.num_branches) + ">");
}

PyGetSetDef ConversationStats_getset[] = {
    member<stats_obj, &conversation_stats::total_messages>("total_messages"),
    member<stats_obj, &conversation_stats::max_depth>("max_depth"),
    member<stats_obj, &conversation_stats::num_branches>("num_branches"),
    member<stats_obj, &conversation_stats::leaf_count>("leaf_count"),
    {},
};

constexpr const char* ConversationStats_doc =
    "Statistics about a conversation tree\n"
    "\n"
    "Provides metrics about the structure of a conversation.\n"
    "\n"
    "Properties:\n"
    "    total_messages: Total number of messages\n"
    "    max_depth: Maximum depth of the conversation tree\n"
    "    num_branches: Number of branching points\n"
    "    leaf_count: Number of leaf nodes (messages with no replies)";

PyType_Slot ConversationStats_slots[] = {
    {Py_tp_doc, const_cast<char*>(ConversationStats_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<stats_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ConversationStats_getset},
    {Py_tp_repr, slot(unary_entry<ConversationStats_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ConversationStats_spec{class_name(class_id::conversation_stats), sizeof(stats_obj), 0,
                                   k_type_flags, ConversationStats_slots};

}  // namespace kestro::py
