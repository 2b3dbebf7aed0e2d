// Problem: a line that could not be read, and why.
//
//     problem.line / .type (None when the line named none) / .reason
#include <string>
#include <string_view>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {
namespace {

std::optional<std::string_view> Problem_type(const record_obj& o) {
    if (o.item->type.empty()) return std::nullopt;
    return o.item->type;
}
PyObject* Problem_repr(PyObject* self) {
    const auto& o = cast<record_obj>(self);
    return to_py("<Problem line=" + std::to_string(o.item->line) + " reason='" + o.item->reason +
                 "'>");
}

PyGetSetDef Problem_getset[] = {
    member<record_obj, &transcript_record::line>("line"),
    computed<record_obj, Problem_type>("type"),
    member<record_obj, &transcript_record::reason>("reason"),
    {},
};

PyType_Slot Problem_slots[] = {
    {Py_tp_getset, Problem_getset},
    {Py_tp_repr, slot(unary_entry<Problem_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<record_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Problem_spec{class_name(class_id::problem), sizeof(record_obj), 0, k_type_flags,
                         Problem_slots};

}  // namespace kestro::py::reader
