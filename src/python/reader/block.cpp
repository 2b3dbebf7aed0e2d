// Block: a content block of a type without a class of its own, shown by its raw JSON. Also what
// every block class shares: .type, .raw and the repr.
//
//     block.type -> "tool_reference", ...     block.raw -> new dict built from the stored JSON
#include <string>
#include <string_view>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {

std::optional<std::string_view> text_at(const block_obj& o, std::string_view key) {
    return find_text(o.item, {key});
}

std::string_view text_or_empty(const block_obj& o, std::string_view key) {
    return text_at(o, key).value_or(std::string_view());
}

std::string_view Block_type(const block_obj& o) {
    if (o.item.kind() == packed_json::kind::string) return "text";
    return text_or_empty(o, "type");
}

ref Block_raw(const block_obj& o) {
    if (o.item.kind() == packed_json::kind::string) {
        ref raw = ref::steal(PyDict_New());
        ref type = ref::steal(to_py("text"));
        ref text = ref::steal(to_py(o.item.string()));
        if (!raw || !type || !text || PyDict_SetItemString(raw.get(), "text", text.get()) < 0 ||
            PyDict_SetItemString(raw.get(), "type", type.get()) < 0) {
            return ref();
        }
        return raw;
    }
    return ref::steal(json_to_py(o.item));
}

// <TextBlock type='text'>, <Block type='tool_reference'>, ...
PyObject* Block_repr(PyObject* self) {
    ref name = ref::steal(PyType_GetName(Py_TYPE(self)));
    if (!name) return nullptr;
    const std::string type(Block_type(cast<block_obj>(self)));
    return PyUnicode_FromFormat("<%U type='%s'>", name.get(), type.c_str());
}

namespace {

PyGetSetDef Block_getset[] = {
    computed<block_obj, Block_type>("type"),
    computed<block_obj, Block_raw>("raw"),
    {},
};

PyType_Slot Block_slots[] = {
    {Py_tp_getset, Block_getset},
    {Py_tp_repr, slot(unary_entry<Block_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<block_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Block_spec{class_name(class_id::block), sizeof(block_obj), 0, k_type_flags,
                       Block_slots};

}  // namespace kestro::py::reader
