// ToolResultBlock: the answer to a tool call, inside a user message.
//
//     block.content -> the result's text form, or None when the block has no content
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

const tool_result_block& result(const block_obj& o) {
    return std::get<tool_result_block>(o.item->value);
}

std::optional<std::string> ToolResultBlock_content(const block_obj& o) {
    const auto& content = result(o).content;
    if (!content) return std::nullopt;
    return tool_result_text(*content);
}

PyObject* ToolResultBlock_repr(PyObject* self) {
    const auto& b = result(cast<block_obj>(self));
    std::string error = "None";
    if (b.is_error) error = std::string("Some(") + bool_text(*b.is_error) + ")";
    return to_py("<ToolResultBlock id='" + b.tool_use_id + "' error=" + error + ">");
}

PyGetSetDef ToolResultBlock_getset[] = {
    block_member<&tool_result_block::tool_use_id>("tool_use_id"),
    computed<block_obj, ToolResultBlock_content>("content"),
    block_member<&tool_result_block::is_error>("is_error"),
    {},
};

constexpr const char* ToolResultBlock_doc = "A tool result block in a message";

PyType_Slot ToolResultBlock_slots[] = {
    {Py_tp_doc, const_cast<char*>(ToolResultBlock_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ToolResultBlock_getset},
    {Py_tp_repr, slot(unary_entry<ToolResultBlock_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ToolResultBlock_spec{class_name(class_id::tool_result_block), sizeof(block_obj), 0,
                                 k_type_flags, ToolResultBlock_slots};

}  // namespace kestro::py
