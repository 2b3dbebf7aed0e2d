// ThinkingBlock: the assistant's reasoning, .thinking, and its .signature.
#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::string_view ThinkingBlock_thinking(const block_obj& o) {
    return text_or_empty(o, "thinking");
}
std::optional<std::string_view> ThinkingBlock_signature(const block_obj& o) {
    return text_at(o, "signature");
}

PyGetSetDef ThinkingBlock_getset[] = {
    computed<block_obj, Block_type>("type"),
    computed<block_obj, Block_raw>("raw"),
    computed<block_obj, ThinkingBlock_thinking>("thinking"),
    computed<block_obj, ThinkingBlock_signature>("signature"),
    {},
};

PyType_Slot ThinkingBlock_slots[] = {
    {Py_tp_getset, ThinkingBlock_getset},
    {Py_tp_repr, slot(unary_entry<Block_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ThinkingBlock_spec{class_name(class_id::thinking_block), sizeof(block_obj), 0,
                               k_type_flags, ThinkingBlock_slots};

}  // namespace kestro::py::reader
