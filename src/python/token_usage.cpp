// TokenUsage: the token counts of an assistant message.
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

PyObject* TokenUsage_repr(PyObject* self) {
    const auto& u = *cast<usage_obj>(self).item;
    return to_py("<TokenUsage in=" + std::to_string(u.input_tokens) +
                 " out=" + std::to_string(u.output_tokens) + ">");
}

PyGetSetDef TokenUsage_getset[] = {
    member<usage_obj, &token_usage::input_tokens>("input_tokens"),
    member<usage_obj, &token_usage::cache_creation_input_tokens>("cache_creation_input_tokens"),
    member<usage_obj, &token_usage::cache_read_input_tokens>("cache_read_input_tokens"),
    member<usage_obj, &token_usage::output_tokens>("output_tokens"),
    member<usage_obj, &token_usage::service_tier>("service_tier"),
    {},
};

constexpr const char* TokenUsage_doc = "Token usage statistics for a message";

PyType_Slot TokenUsage_slots[] = {
    {Py_tp_doc, const_cast<char*>(TokenUsage_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<usage_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, TokenUsage_getset},
    {Py_tp_repr, slot(unary_entry<TokenUsage_repr>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec TokenUsage_spec{class_name(class_id::token_usage), sizeof(usage_obj), 0, k_type_flags,
                            TokenUsage_slots};

}  // namespace kestro::py
