// Record: a line of any type but user and assistant, with its raw JSON.
//
//     record.line / .type / .is_known / .uuid / .parent_uuid / .timestamp / .subtype / .raw
#include <string>

#include "python/reader/objects.hpp"

namespace kestro::py::reader {

std::optional<std::string> time_text(const std::optional<date_time>& t) {
    if (!t) return std::nullopt;
    return t->to_rfc3339();
}

namespace {

bool Record_is_known(const record_obj& o) {
    return o.item->kind == record_kind::known;
}
std::optional<std::string> Record_timestamp(const record_obj& o) {
    return time_text(o.item->timestamp);
}
ref Record_raw(const record_obj& o) {
    return ref::steal(json_to_py(o.item->raw));
}
PyObject* Record_repr(PyObject* self) {
    const auto& o = cast<record_obj>(self);
    return to_py("<Record line=" + std::to_string(o.item->line) + " type='" + o.item->type + "'>");
}

PyGetSetDef Record_getset[] = {
    member<record_obj, &transcript_record::line>("line"),
    member<record_obj, &transcript_record::type>("type"),
    computed<record_obj, Record_is_known>("is_known"),
    member<record_obj, &transcript_record::uuid>("uuid"),
    member<record_obj, &transcript_record::parent_uuid>("parent_uuid"),
    computed<record_obj, Record_timestamp>("timestamp"),
    member<record_obj, &transcript_record::subtype>("subtype"),
    computed<record_obj, Record_raw>("raw"),
    {},
};

PyType_Slot Record_slots[] = {
    {Py_tp_getset, Record_getset},
    {Py_tp_repr, slot(unary_entry<Record_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<record_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec Record_spec{class_name(class_id::record), sizeof(record_obj), 0, k_type_flags,
                        Record_slots};

}  // namespace kestro::py::reader
