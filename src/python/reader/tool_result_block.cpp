// ToolResultBlock: what a tool returned: .tool_use_id, .content, .text (its text
// blocks joined) and .is_error.
#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::string_view ToolResultBlock_tool_use_id(const block_obj& o) {
    return text_or_empty(o, "tool_use_id");
}
// A string, a list of blocks (of any type), or None.
ref ToolResultBlock_content(const block_obj& o) {
    auto content = find_member(o.item, "content");
    if (!content || content->kind() == packed_json::kind::null) return ref::borrow(Py_None);
    if (content->kind() == packed_json::kind::string) return ref::steal(to_py(content->string()));
    return ref::steal(make_blocks(o.owner, *content));
}
std::string ToolResultBlock_text(const block_obj& o) {
    auto content = find_member(o.item, "content");
    if (!content) return {};
    return content_text(*content);
}
std::optional<bool> ToolResultBlock_is_error(const block_obj& o) {
    auto at = find_member(o.item, "is_error");
    if (!at || at->kind() != packed_json::kind::boolean) return std::nullopt;
    return at->boolean();
}

PyGetSetDef ToolResultBlock_getset[] = {
    computed<block_obj, Block_type>("type"),
    computed<block_obj, Block_raw>("raw"),
    computed<block_obj, ToolResultBlock_tool_use_id>("tool_use_id"),
    computed<block_obj, ToolResultBlock_content>("content"),
    computed<block_obj, ToolResultBlock_text>("text"),
    computed<block_obj, ToolResultBlock_is_error>("is_error"),
    {},
};

PyType_Slot ToolResultBlock_slots[] = {
    {Py_tp_getset, ToolResultBlock_getset},
    {Py_tp_repr, slot(unary_entry<Block_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ToolResultBlock_spec{class_name(class_id::tool_result_block), sizeof(block_obj), 0,
                                 k_type_flags, ToolResultBlock_slots};

}  // namespace kestro::py::reader
