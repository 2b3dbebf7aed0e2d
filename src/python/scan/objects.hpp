// The classes of the _scan module: their instance layouts, and how instances are made.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "python/class_support.hpp"
#include "python/scan/arrow.hpp"
#include "session/usage_scan.hpp"

namespace kestro::py::scan {

enum class class_id : unsigned char { usage_table, usage_row, file_scan };
inline constexpr std::size_t k_class_count = 3;

// A table: its rows (shared with every row object and Arrow stream made from it) and the
// costs with_costs set, if any.
struct table_obj {
    PyObject_HEAD std::shared_ptr<const usage_table> table;
    std::shared_ptr<const table_costs> costs;
};

// One row of a table.
struct row_obj {
    PyObject_HEAD std::shared_ptr<const usage_table> table;
    std::shared_ptr<const table_costs> costs;
    std::size_t index;
};

struct file_scan_obj {
    PyObject_HEAD std::shared_ptr<const file_scan> scan;
};

// The type object, created at import. Borrowed.
PyTypeObject* type_object(class_id id);
const PyType_Spec& spec_of(class_id id);

// Each returns a new reference or nullptr.
PyObject* make_table(std::shared_ptr<const usage_table> table,
                     std::shared_ptr<const table_costs> costs);
PyObject* make_row(const table_obj& table, std::size_t index);
PyObject* make_file_scan(std::shared_ptr<const file_scan> scan);

// A UTC instant as a timezone-aware datetime (microseconds, rounded down).
PyObject* utc_datetime(const date_time& t);

// The rows' problems as [(path, count, [(line, reason), ...]), ...].
PyObject* problems_list(const std::vector<file_problems>& problems);

}  // namespace kestro::py::scan
