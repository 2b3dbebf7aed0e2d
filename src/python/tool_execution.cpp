// ToolExecution: a tool use paired with its result and timing.
//
//     execution.input  -> new dict/list, or None
//     execution.output -> new ToolResult view
#include "python/classes.hpp"
#include "python/fields.hpp"

namespace kestro::py {
namespace {

ref ToolExecution_output(const execution_obj& o) {
    return ref::steal(make_view(class_id::tool_result, o.owner, &o.item->output));
}
std::string ToolExecution_timestamp(const execution_obj& o) {
    return o.item->timestamp.to_rfc3339();
}
ref ToolExecution_input(const execution_obj& o) {
    if (o.item->input == nullptr) return ref::steal(Py_NewRef(Py_None));
    return ref::steal(json_to_py(*o.item->input));
}

PyObject* ToolExecution_is_success(PyObject* self) {
    return to_py(is_success(cast<execution_obj>(self).item->output));
}

PyObject* ToolExecution_repr(PyObject* self) {
    const auto& e = *cast<execution_obj>(self).item;
    return to_py("<ToolExecution tool='" + std::string(e.tool_name) +
                 "' duration_ms=" + std::to_string(e.duration_ms) +
                 " success=" + bool_text(is_success(e.output)) + ">");
}

PyGetSetDef ToolExecution_getset[] = {
    member<execution_obj, &tool_execution::tool_name>("tool_name"),
    computed<execution_obj, ToolExecution_output>("output"),
    member<execution_obj, &tool_execution::duration_ms>("duration_ms"),
    computed<execution_obj, ToolExecution_timestamp>("timestamp"),
    computed<execution_obj, ToolExecution_input>("input"),
    {},
};

PyMethodDef ToolExecution_methods[] = {
    {"is_success", method(noargs_entry<ToolExecution_is_success>), METH_NOARGS,
     "is_success($self)\n--\n\nCheck if this tool execution was successful"},
    {},
};

constexpr const char* ToolExecution_doc =
    "Represents a complete tool execution with timing\n"
    "\n"
    "This class captures a complete tool invocation including input, output, and timing.\n"
    "\n"
    "Properties:\n"
    "    tool_name: Name of the tool executed\n"
    "    input: Input parameters passed to the tool (as dict)\n"
    "    output: ToolResult object with execution results\n"
    "    duration_ms: Execution duration in milliseconds\n"
    "    timestamp: When the tool was executed";

PyType_Slot ToolExecution_slots[] = {
    {Py_tp_doc, const_cast<char*>(ToolExecution_doc)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_dealloc, slot(destroy<execution_obj>)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_getset, ToolExecution_getset},
    {Py_tp_repr, slot(unary_entry<ToolExecution_repr>)},
    {Py_tp_methods, ToolExecution_methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec ToolExecution_spec{class_name(class_id::tool_execution), sizeof(execution_obj), 0,
                               k_type_flags, ToolExecution_slots};

}  // namespace kestro::py
