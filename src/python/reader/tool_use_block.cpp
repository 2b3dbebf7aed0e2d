// ToolUseBlock: a tool call: .id, .name and .input (a new dict built from the
// stored JSON).
#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::string_view ToolUseBlock_id(const block_obj& o) {
    return text_or_empty(o, "id");
}
std::string_view ToolUseBlock_name(const block_obj& o) {
    return text_or_empty(o, "name");
}
ref ToolUseBlock_input(const block_obj& o) {
    auto input = find_member(o.item, "input");
    if (!input) return ref::borrow(Py_None);
    return ref::steal(json_to_py(*input));
}

PyGetSetDef ToolUseBlock_getset[] = {
    computed<block_obj, Block_type>("type"),
    computed<block_obj, Block_raw>("raw"),
    computed<block_obj, ToolUseBlock_id>("id"),
    computed<block_obj, ToolUseBlock_name>("name"),
    computed<block_obj, ToolUseBlock_input>("input"),
    {},
};

PyType_Slot ToolUseBlock_slots[] = {
    {Py_tp_getset, ToolUseBlock_getset},
    {Py_tp_repr, slot(unary_entry<Block_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ToolUseBlock_spec{class_name(class_id::tool_use_block), sizeof(block_obj), 0,
                              k_type_flags, ToolUseBlock_slots};

}  // namespace kestro::py::reader
