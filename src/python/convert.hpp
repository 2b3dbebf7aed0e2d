// Conversions of core values into new Python objects, and the number texts of the reprs.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/ref.hpp"
#include "types/decimal.hpp"
#include "types/packed_json.hpp"

namespace kestro::py {

// Each returns a new reference, or nullptr with an exception set.

// Text as str; byte sequences that are not UTF-8 become U+FFFD, so core text never fails.
inline PyObject* to_py(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}
inline PyObject* to_py(const std::string& text) {
    return to_py(std::string_view(text));
}
inline PyObject* to_py(const char* text) {
    return to_py(std::string_view(text));
}
inline PyObject* to_py(bool value) {
    return PyBool_FromLong(value ? 1 : 0);
}
inline PyObject* to_py(std::uint32_t value) {
    return PyLong_FromUnsignedLong(value);
}
inline PyObject* to_py(std::uint64_t value) {
    return PyLong_FromUnsignedLongLong(value);
}
inline PyObject* to_py(std::int64_t value) {
    return PyLong_FromLongLong(value);
}
inline PyObject* to_py(double value) {
    return PyFloat_FromDouble(value);
}
// An object already built (a getter that makes a class instance); passed through.
inline PyObject* to_py(ref value) {
    return value.release();
}

template <class T>
PyObject* to_py(const std::optional<T>& value) {
    if (!value) return Py_NewRef(Py_None);
    return to_py(*value);
}

template <class A, class B>
PyObject* to_py(const std::pair<A, B>& pair);

template <class T>
PyObject* to_py(const std::vector<T>& items) {
    ref list = ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = to_py(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
}

// A pair as a 2-tuple.
template <class A, class B>
PyObject* to_py(const std::pair<A, B>& pair) {
    ref first = ref::steal(to_py(pair.first));
    if (!first) return nullptr;
    ref second = ref::steal(to_py(pair.second));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

// A table of counts as a dict, in the table's order.
PyObject* to_py(const std::vector<std::pair<std::string, std::uint64_t>>& counts);

// A JSON value as plain Python objects: dicts with keys in the value's (sorted) order, lists,
// str, int (exact over the whole unsigned 64-bit range), float, bool, None. Iterative.
PyObject* json_to_py(const packed_json& value);
// The same for a value inside a packed value.
PyObject* json_to_py(packed_json::view value);

// Fixed-point with exactly four digits after the point, rounded from the double's exact value.
std::string four_decimals(double value);

}  // namespace kestro::py
