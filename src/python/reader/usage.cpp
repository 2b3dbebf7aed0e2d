// Usage: a message's token counts as logged; a missing count is None.
#include <string>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

PyObject* Usage_repr(PyObject* self) {
    const auto& o = cast<usage_obj>(self);
    return to_py("<Usage input_tokens=" + std::to_string(o.item->input_tokens.value_or(0)) +
                 " output_tokens=" + std::to_string(o.item->output_tokens.value_or(0)) + ">");
}

PyGetSetDef Usage_getset[] = {
    member<usage_obj, &usage_counts::input_tokens>("input_tokens"),
    member<usage_obj, &usage_counts::output_tokens>("output_tokens"),
    member<usage_obj, &usage_counts::cache_creation_input_tokens>("cache_creation_input_tokens"),
    member<usage_obj, &usage_counts::cache_read_input_tokens>("cache_read_input_tokens"),
    member<usage_obj, &usage_counts::ephemeral_5m_input_tokens>("ephemeral_5m_input_tokens"),
    member<usage_obj, &usage_counts::ephemeral_1h_input_tokens>("ephemeral_1h_input_tokens"),
    member<usage_obj, &usage_counts::service_tier>("service_tier"),
    {},
};

PyType_Slot Usage_slots[] = {
    {Py_tp_getset, Usage_getset},
    {Py_tp_repr, slot(unary_entry<Usage_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<usage_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Usage_spec{class_name(class_id::usage), sizeof(usage_obj), 0, k_type_flags,
                       Usage_slots};

}  // namespace kestro::py::reader
