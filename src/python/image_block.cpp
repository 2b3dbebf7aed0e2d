// ImageBlock: an image inside a message, with its encoded data.
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

PyObject* ImageBlock_repr(PyObject* self) {
    const auto& b = std::get<image_block>(cast<block_obj>(self).item->value);
    return to_py("<ImageBlock media_type='" + b.source.media_type + "'>");
}

PyGetSetDef ImageBlock_getset[] = {
    block_member<&image_block::source, &image_source::type>("source_type"),
    block_member<&image_block::source, &image_source::media_type>("media_type"),
    block_member<&image_block::source, &image_source::data>("data"),
    {},
};

constexpr const char* ImageBlock_doc = "An image block in a message";

PyType_Slot ImageBlock_slots[] = {
    {Py_tp_doc, const_cast<char*>(ImageBlock_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ImageBlock_getset},
    {Py_tp_repr, slot(unary_entry<ImageBlock_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ImageBlock_spec{class_name(class_id::image_block), sizeof(block_obj), 0, k_type_flags,
                            ImageBlock_slots};

}  // namespace kestro::py
