// The classes of the _scan module: their ids and names, their instance layouts, their
// descriptions (one file per class), and how instances are made.
#pragma once

#include <Python.h>

#include <cstddef>
#include <memory>

#include "python/class_support.hpp"
#include "python/fields.hpp"
#include "python/scan/arrow.hpp"
#include "session/usage_scan.hpp"

namespace kestro::py::scan {

// In the order the module adds them.
enum class class_id : unsigned char { usage_table, usage_row, file_scan };
inline constexpr std::size_t k_class_count = 3;
static_assert(static_cast<std::size_t>(class_id::file_scan) + 1 == k_class_count);

// The class's qualified name. No default: a class without its name fails to compile (-Wswitch,
// an error in CI), and the name is where the class's description gets it.
constexpr const char* class_name(class_id id) {
    switch (id) {
        case class_id::usage_table:
            return "kestro_sdk._scan.UsageTable";
        case class_id::usage_row:
            return "kestro_sdk._scan.UsageRow";
        case class_id::file_scan:
            return "kestro_sdk._scan.FileScan";
    }
    return nullptr;
}

// The name the module adds the class under: the qualified name without the module's.
inline constexpr std::size_t k_module_prefix = sizeof("kestro_sdk._scan.") - 1;
constexpr const char* short_class_name(class_id id) {
    return class_name(id) + k_module_prefix;
}

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

// One file's scan, owned whole (`item`, as the property rows read it).
struct file_scan_obj {
    PyObject_HEAD std::shared_ptr<const file_scan> item;
};

// The type object, created at import. Borrowed.
PyTypeObject* type_object(class_id id);

// The descriptions, each in its class's file; the module maps each class_id to its own.
extern PyType_Spec UsageTable_spec;
extern PyType_Spec UsageRow_spec;
extern PyType_Spec FileScan_spec;

// This module's properties have always shown None as their doc string.
using undocumented::computed;
using undocumented::member;

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
