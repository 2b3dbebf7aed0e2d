// ImageBlock: an image: .source_type, .media_type and .data of its source.
#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::optional<std::string_view> ImageBlock_source_type(const block_obj& o) {
    return find_text(o.item, {"source", "type"});
}
std::optional<std::string_view> ImageBlock_media_type(const block_obj& o) {
    return find_text(o.item, {"source", "media_type"});
}
std::optional<std::string_view> ImageBlock_data(const block_obj& o) {
    return find_text(o.item, {"source", "data"});
}

PyGetSetDef ImageBlock_getset[] = {
    computed<block_obj, Block_type>("type"),
    computed<block_obj, Block_raw>("raw"),
    computed<block_obj, ImageBlock_source_type>("source_type"),
    computed<block_obj, ImageBlock_media_type>("media_type"),
    computed<block_obj, ImageBlock_data>("data"),
    {},
};

PyType_Slot ImageBlock_slots[] = {
    {Py_tp_getset, ImageBlock_getset},
    {Py_tp_repr, slot(unary_entry<Block_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec ImageBlock_spec{class_name(class_id::image_block), sizeof(block_obj), 0, k_type_flags,
                            ImageBlock_slots};

}  // namespace kestro::py::reader
