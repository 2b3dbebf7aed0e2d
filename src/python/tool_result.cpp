// ToolResult: what a paired tool use answered.
//
//     result.content             -> the result block's text form
//     result.effective_content() -> stderr for a failed call, else stdout, else content
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

std::string ToolResult_content(const result_obj& o) {
    return o.item->content();
}

PyObject* ToolResult_is_success(PyObject* self) {
    return to_py(is_success(*cast<result_obj>(self).item));
}

PyObject* ToolResult_effective_content(PyObject* self) {
    const auto& r = *cast<result_obj>(self).item;
    if (r.is_error && r.stderr_text && !r.stderr_text->empty()) return to_py(*r.stderr_text);
    if (r.stdout_text && !r.stdout_text->empty()) return to_py(*r.stdout_text);
    return to_py(r.content());
}

PyObject* ToolResult_repr(PyObject* self) {
    const auto& r = *cast<result_obj>(self).item;
    return to_py("<ToolResult id='" + std::string(r.tool_use_id) +
                 "' success=" + bool_text(is_success(r)) + ">");
}

PyGetSetDef ToolResult_getset[] = {
    member<result_obj, &tool_result::tool_use_id>("tool_use_id"),
    computed<result_obj, ToolResult_content>("content"),
    member<result_obj, &tool_result::stdout_text>("stdout"),
    member<result_obj, &tool_result::stderr_text>("stderr"),
    member<result_obj, &tool_result::interrupted>("interrupted"),
    member<result_obj, &tool_result::is_error>("is_error"),
    {},
};

PyMethodDef ToolResult_methods[] = {
    {"is_success", method(noargs_entry<ToolResult_is_success>), METH_NOARGS,
     "is_success($self)\n--\n\nCheck if this tool execution was successful"},
    {"effective_content", method(noargs_entry<ToolResult_effective_content>), METH_NOARGS,
     "effective_content($self)\n--\n\nGet the effective output content"},
    {},
};

constexpr const char* ToolResult_doc =
    "Result from a tool execution\n"
    "\n"
    "Contains the output and status information from a tool invocation.\n"
    "\n"
    "Properties:\n"
    "    tool_use_id: Unique identifier for this tool use\n"
    "    content: Output content from the tool\n"
    "    stdout: Standard output if available\n"
    "    stderr: Standard error if available\n"
    "    interrupted: Whether the execution was interrupted\n"
    "    is_error: Whether the execution resulted in an error";

PyType_Slot ToolResult_slots[] = {
    {Py_tp_doc, const_cast<char*>(ToolResult_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<result_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ToolResult_getset},
    {Py_tp_repr, slot(unary_entry<ToolResult_repr>)},
    {Py_tp_methods, ToolResult_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec ToolResult_spec{class_name(class_id::tool_result), sizeof(result_obj), 0, k_type_flags,
                            ToolResult_slots};

}  // namespace kestro::py
