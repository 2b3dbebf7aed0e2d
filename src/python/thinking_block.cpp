// ThinkingBlock: the model's reasoning inside an assistant message.
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

PyObject* ThinkingBlock_repr(PyObject* self) {
    const auto& b = std::get<thinking_block>(cast<block_obj>(self).item->value);
    return to_py("<ThinkingBlock thinking='" + b.thinking + "'>");
}

PyGetSetDef ThinkingBlock_getset[] = {
    block_member<&thinking_block::thinking>("thinking"),
    block_member<&thinking_block::signature>("signature"),
    {},
};

constexpr const char* ThinkingBlock_doc = "A thinking block in a message";

PyType_Slot ThinkingBlock_slots[] = {
    {Py_tp_doc, const_cast<char*>(ThinkingBlock_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ThinkingBlock_getset},
    {Py_tp_repr, slot(unary_entry<ThinkingBlock_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ThinkingBlock_spec{class_name(class_id::thinking_block), sizeof(block_obj), 0,
                               k_type_flags, ThinkingBlock_slots};

}  // namespace kestro::py
