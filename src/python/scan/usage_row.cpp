// UsageRow: one reply of a usage table, its texts looked up in the table's pool.
//
//     row.timestamp / .project / .session_id / ... / .tools / .tool_errors / .cost_usd
#include <string>
#include <string_view>
#include <vector>

#include "python/scan/objects.hpp"

namespace kestro::py::scan {

namespace {

const usage_row& row_of(const row_obj& o) {
    return o.table->rows[o.index];
}
// The row's data member at `Member` (a member of the row or of its figures).
template <auto Member>
decltype(auto) row_member(const row_obj& o) {
    return (row_of(o).*Member);
}
std::optional<std::string_view> pooled(const row_obj& o, std::uint32_t index) {
    if (index == 0) return std::nullopt;
    return o.table->texts.at(index);
}

ref UsageRow_timestamp(const row_obj& o) {
    return ref::steal(utc_datetime(row_of(o).timestamp));
}
std::string_view UsageRow_project(const row_obj& o) {
    return o.table->texts.at(row_of(o).project);
}
std::string_view UsageRow_session_id(const row_obj& o) {
    return o.table->texts.at(row_of(o).session_id);
}
std::optional<std::string_view> UsageRow_agent_id(const row_obj& o) {
    return pooled(o, row_of(o).agent_id);
}
std::optional<std::string_view> UsageRow_model(const row_obj& o) {
    return pooled(o, row_of(o).model);
}
std::vector<std::string_view> UsageRow_tools(const row_obj& o) {
    std::vector<std::string_view> names;
    for (std::uint32_t tool : row_of(o).tools)
        names.push_back(o.table->texts.at(tool));
    return names;
}
std::vector<std::string_view> UsageRow_tool_errors(const row_obj& o) {
    std::vector<std::string_view> names;
    for (std::uint32_t tool : row_of(o).tool_errors)
        names.push_back(o.table->texts.at(tool));
    return names;
}
std::optional<double> UsageRow_cost_usd(const row_obj& o) {
    if (!o.costs) return std::nullopt;
    return o.costs->cost[o.index];
}

PyObject* UsageRow_repr(PyObject* self) {
    const auto& o = cast<row_obj>(self);
    const usage_row& r = row_of(o);
    return to_py("<UsageRow " + r.timestamp.to_rfc3339() +
                 " model=" + std::string(pooled(o, r.model).value_or("None")) +
                 " input_tokens=" + std::to_string(r.input_tokens) +
                 " output_tokens=" + std::to_string(r.output_tokens) + ">");
}

PyGetSetDef UsageRow_getset[] = {
    computed<row_obj, UsageRow_timestamp>("timestamp"),
    computed<row_obj, UsageRow_project>("project"),
    computed<row_obj, UsageRow_session_id>("session_id"),
    computed<row_obj, UsageRow_agent_id>("agent_id"),
    computed<row_obj, row_member<&usage_row::is_sidechain>>("is_sidechain"),
    computed<row_obj, UsageRow_model>("model"),
    computed<row_obj, row_member<&reply_figures::input_tokens>>("input_tokens"),
    computed<row_obj, row_member<&reply_figures::output_tokens>>("output_tokens"),
    computed<row_obj, row_member<&reply_figures::cache_creation_input_tokens>>(
        "cache_creation_tokens"),
    computed<row_obj, row_member<&reply_figures::ephemeral_5m_input_tokens>>(
        "cache_creation_5m_tokens"),
    computed<row_obj, row_member<&reply_figures::ephemeral_1h_input_tokens>>(
        "cache_creation_1h_tokens"),
    computed<row_obj, row_member<&reply_figures::cache_read_input_tokens>>("cache_read_tokens"),
    computed<row_obj, row_member<&reply_figures::cost_usd>>("logged_cost_usd"),
    computed<row_obj, UsageRow_tools>("tools"),
    computed<row_obj, UsageRow_tool_errors>("tool_errors"),
    computed<row_obj, row_member<&usage_row::message_id>>("message_id"),
    computed<row_obj, row_member<&usage_row::request_id>>("request_id"),
    computed<row_obj, UsageRow_cost_usd>("cost_usd"),
    {},
};

PyType_Slot UsageRow_slots[] = {
    {Py_tp_getset, UsageRow_getset},         {Py_tp_repr, slot(unary_entry<UsageRow_repr>)},
    {Py_tp_new, slot(refuse_new)},           {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<row_obj>)}, {0, nullptr},
};

}  // namespace

PyType_Spec UsageRow_spec{class_name(class_id::usage_row), sizeof(row_obj), 0, k_type_flags,
                          UsageRow_slots};

PyObject* make_row(const table_obj& table, std::size_t index) {
    PyObject* self = PyType_GenericAlloc(type_object(class_id::usage_row), 0);
    if (self == nullptr) return nullptr;
    auto& o = cast<row_obj>(self);
    new (&o.table) std::shared_ptr<const usage_table>(table.table);
    new (&o.costs) std::shared_ptr<const table_costs>(table.costs);
    o.index = index;
    return self;
}

}  // namespace kestro::py::scan
