// ToolUseBlock: a tool call inside an assistant message.
//
//     block.input -> new dict/list built from the stored JSON
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

const tool_use_block& use(const block_obj& o) {
    return std::get<tool_use_block>(o.item->value);
}

ref ToolUseBlock_input(const block_obj& o) {
    return ref::steal(json_to_py(use(o).input));
}

PyObject* ToolUseBlock_repr(PyObject* self) {
    const auto& b = use(cast<block_obj>(self));
    return to_py("<ToolUseBlock id='" + b.id + "' name='" + b.name + "'>");
}

PyGetSetDef ToolUseBlock_getset[] = {
    block_member<&tool_use_block::id>("id"),
    block_member<&tool_use_block::name>("name"),
    computed<block_obj, ToolUseBlock_input>("input"),
    {},
};

constexpr const char* ToolUseBlock_doc =
    "A tool use block in a message\n"
    "\n"
    "Represents a tool invocation within a message, including the tool name,\n"
    "input parameters, and invocation ID.\n"
    "\n"
    "Properties:\n"
    "    id: Unique identifier for this tool use\n"
    "    name: Name of the tool being invoked\n"
    "    input: Input parameters as a dictionary";

PyType_Slot ToolUseBlock_slots[] = {
    {Py_tp_doc, const_cast<char*>(ToolUseBlock_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ToolUseBlock_getset},
    {Py_tp_repr, slot(unary_entry<ToolUseBlock_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ToolUseBlock_spec{class_name(class_id::tool_use_block), sizeof(block_obj), 0,
                              k_type_flags, ToolUseBlock_slots};

}  // namespace kestro::py
