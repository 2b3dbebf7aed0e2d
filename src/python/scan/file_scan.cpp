// The FileScan class of _scan: one file scanned from an offset, for callers that keep their own
// store of rows (the cache).
//
//     f.path / .start / .end / .lines / .dev / .ino / .size / .mtime_ns / .error
//     f.rows -> UsageTable     f.problems -> [(line, reason), ...]
//     f.session_id / .agent_id / .title / .first_timestamp / .last_timestamp
//     f.turn_duration_ms / .prompt_active_ms
//     f.open_calls -> [(call id, row index, tool name), ...]
//     f.stray_results -> [(call id, is_error), ...]
#include <string>
#include <utility>
#include <vector>

#include "python/scan/objects.hpp"

namespace kestro::py::scan {

namespace {

const file_scan& scan_of(const file_scan_obj& o) {
    return *o.item;
}

ref optional_time(const std::optional<date_time>& t) {
    return ref::steal(t ? utc_datetime(*t) : Py_NewRef(Py_None));
}
ref FileScan_first_timestamp(const file_scan_obj& o) {
    return optional_time(scan_of(o).first_timestamp);
}
ref FileScan_last_timestamp(const file_scan_obj& o) {
    return optional_time(scan_of(o).last_timestamp);
}
ref FileScan_rows(const file_scan_obj& o) {
    // The table shares the scan's ownership: it keeps the whole scan alive, nothing is copied.
    return ref::steal(make_table(std::shared_ptr<const usage_table>(o.item, &o.item->rows), {}));
}
std::vector<std::pair<std::uint64_t, std::string>> FileScan_problems(const file_scan_obj& o) {
    const auto& problems = scan_of(o).rows.problems;
    if (problems.empty()) return {};
    return problems.front().first;
}

ref FileScan_open_calls(const file_scan_obj& o) {
    const file_scan& f = scan_of(o);
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(f.open_calls.size())));
    if (!list) return list;
    for (std::size_t i = 0; i < f.open_calls.size(); ++i) {
        const file_scan::open_call& c = f.open_calls[i];
        const ref id = ref::steal(to_py(c.id));
        const ref row = ref::steal(to_py(std::uint64_t(c.row)));
        const ref name = ref::steal(to_py(f.rows.texts.at(c.name)));
        if (!id || !row || !name) return ref::steal(nullptr);
        PyObject* item = PyTuple_Pack(3, id.get(), row.get(), name.get());
        if (item == nullptr) return ref::steal(nullptr);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

PyObject* FileScan_repr(PyObject* self) {
    const file_scan& f = scan_of(cast<file_scan_obj>(self));
    return to_py("<FileScan '" + f.path + "' start=" + std::to_string(f.start) + " end=" +
                 std::to_string(f.end) + " rows=" + std::to_string(f.rows.rows.size()) + ">");
}

PyGetSetDef FileScan_getset[] = {
    member<file_scan_obj, &file_scan::path>("path"),
    member<file_scan_obj, &file_scan::start>("start"),
    member<file_scan_obj, &file_scan::end>("end"),
    member<file_scan_obj, &file_scan::lines>("lines"),
    member<file_scan_obj, &file_scan::dev>("dev"),
    member<file_scan_obj, &file_scan::ino>("ino"),
    member<file_scan_obj, &file_scan::size>("size"),
    member<file_scan_obj, &file_scan::mtime_ns>("mtime_ns"),
    member<file_scan_obj, &file_scan::error>("error"),
    computed<file_scan_obj, FileScan_rows>("rows"),
    computed<file_scan_obj, FileScan_problems>("problems"),
    member<file_scan_obj, &file_scan::session_id>("session_id"),
    member<file_scan_obj, &file_scan::agent_id>("agent_id"),
    member<file_scan_obj, &file_scan::title>("title"),
    computed<file_scan_obj, FileScan_first_timestamp>("first_timestamp"),
    computed<file_scan_obj, FileScan_last_timestamp>("last_timestamp"),
    member<file_scan_obj, &file_scan::turn_duration_ms>("turn_duration_ms"),
    member<file_scan_obj, &file_scan::prompt_active_ms>("prompt_active_ms"),
    computed<file_scan_obj, FileScan_open_calls>("open_calls"),
    member<file_scan_obj, &file_scan::stray_results>("stray_results"),
    {},
};

PyType_Slot FileScan_slots[] = {
    {Py_tp_getset, FileScan_getset},
    {Py_tp_repr, slot(unary_entry<FileScan_repr>)},
    {Py_tp_new, slot(refuse_new)},
    {Py_tp_traverse, slot(traverse_type)},
    {Py_tp_dealloc, slot(destroy<file_scan_obj>)},
    {0, nullptr},
};

}  // namespace

PyType_Spec FileScan_spec{class_name(class_id::file_scan), sizeof(file_scan_obj), 0, k_type_flags,
                          FileScan_slots};

PyObject* make_file_scan(std::shared_ptr<const file_scan> scan) {
    PyObject* self = PyType_GenericAlloc(type_object(class_id::file_scan), 0);
    if (self == nullptr) return nullptr;
    new (&cast<file_scan_obj>(self).item) std::shared_ptr<const file_scan>(std::move(scan));
    return self;
}

}  // namespace kestro::py::scan
