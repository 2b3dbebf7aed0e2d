// TextBlock: the text of a message; a string content is one of these, its own text.
#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::string_view TextBlock_text(const block_obj& o) {
    if (o.item.kind() == packed_json::kind::string) return o.item.string();
    return text_or_empty(o, "text");
}

PyGetSetDef TextBlock_getset[] = {
    computed<block_obj, Block_type>("type"),
    computed<block_obj, Block_raw>("raw"),
    computed<block_obj, TextBlock_text>("text"),
    {},
};

PyType_Slot TextBlock_slots[] = {
    {Py_tp_getset, TextBlock_getset},
    {Py_tp_repr, slot(unary_entry<Block_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec TextBlock_spec{class_name(class_id::text_block), sizeof(block_obj), 0, k_type_flags,
                           TextBlock_slots};

}  // namespace kestro::py::reader
