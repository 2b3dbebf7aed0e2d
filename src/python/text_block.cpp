// TextBlock: a text block of a message.
//
//     block.text -> new str
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

PyObject* TextBlock_repr(PyObject* self) {
    const std::string& text = std::get<text_block>(cast<block_obj>(self).item->value).text;
    std::string shown;
    if (text.size() <= 50) {
        shown = text;
    } else {
        // Cut at a character boundary: back off over continuation bytes.
        std::size_t cut = 50;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        shown = text.substr(0, cut) + "...";
    }
    return to_py("<TextBlock text='" + shown + "'>");
}

PyGetSetDef TextBlock_getset[] = {
    block_member<&text_block::text>("text"),
    {},
};

constexpr const char* TextBlock_doc = "A block of text content in a message";

PyType_Slot TextBlock_slots[] = {
    {Py_tp_doc, const_cast<char*>(TextBlock_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, TextBlock_getset},
    {Py_tp_repr, slot(unary_entry<TextBlock_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec TextBlock_spec{class_name(class_id::text_block), sizeof(block_obj), 0, k_type_flags,
                           TextBlock_slots};

}  // namespace kestro::py
