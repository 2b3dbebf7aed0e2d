// Conversions of core values into Python objects, and number texts.
#include "python/convert.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <system_error>

namespace kestro::py {

PyObject* to_py(const std::vector<std::pair<std::string, std::uint64_t>>& counts) {
    ref dict = ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, count] : counts) {
        ref key = ref::steal(to_py(name));
        ref value = ref::steal(to_py(count));
        if (!key || !value) return nullptr;
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

namespace {

// A scalar as a new object; nullptr with an error. Arrays and objects come back empty (sized,
// for arrays) with `container` true, for the caller to fill.
PyObject* node_to_py(packed_json::view v, bool& container) {
    container = false;
    switch (v.kind()) {
        case packed_json::kind::null:
            return Py_NewRef(Py_None);
        case packed_json::kind::boolean:
            return PyBool_FromLong(v.boolean() ? 1 : 0);
        case packed_json::kind::uint:
            return PyLong_FromUnsignedLongLong(v.uint());
        case packed_json::kind::sint:
            return PyLong_FromLongLong(v.sint());
        case packed_json::kind::real:
            return PyFloat_FromDouble(v.real());
        case packed_json::kind::string:
            return to_py(v.string());
        case packed_json::kind::array:
            container = true;
            return PyList_New(static_cast<Py_ssize_t>(v.size()));
        case packed_json::kind::object:
            container = true;
            return PyDict_New();
    }
    return Py_NewRef(Py_None);
}

struct frame {
    packed_json::view next;  // the next element, or the next member's key
    PyObject* target;        // borrowed: owned by its parent container, or by `root`
    bool is_object;
    std::size_t done;
    std::size_t size;
};

}  // namespace

PyObject* json_to_py(const packed_json& value) {
    return json_to_py(value.root());
}

PyObject* json_to_py(packed_json::view top_view) {
    bool container = false;
    ref root = ref::steal(node_to_py(top_view, container));
    if (!root || !container) return root.release();

    std::vector<frame> stack;
    stack.push_back({top_view.first_child(), root.get(),
                     top_view.kind() == packed_json::kind::object, 0, top_view.size()});
    while (!stack.empty()) {
        frame& top = stack.back();
        if (top.done == top.size) {
            stack.pop_back();
            continue;
        }
        packed_json::view child = top.next;
        std::optional<packed_json::view> key;
        if (top.is_object) {
            key = child;
            child = child.next_sibling();
        }
        top.next = child.next_sibling();
        const std::size_t index = top.done++;
        PyObject* target = top.target;
        ref item = ref::steal(node_to_py(child, container));
        if (!item) return nullptr;
        PyObject* borrowed = item.get();
        if (!key) {
            // A fresh list is filled in order; SetItem takes the reference over.
            PyList_SetItem(target, static_cast<Py_ssize_t>(index), item.release());
        } else {
            ref key_obj = ref::steal(to_py(key->string()));
            if (!key_obj || PyDict_SetItem(target, key_obj.get(), item.get()) < 0) return nullptr;
        }
        // The container holds its own reference now, so the frame may borrow it.
        if (container) {
            stack.push_back({child.first_child(), borrowed,
                             child.kind() == packed_json::kind::object, 0, child.size()});
        }
    }
    return root.release();
}

std::string four_decimals(double value) {
    char buf[400];
    const int n = std::snprintf(buf, sizeof buf, "%.4f", value);
    if (n < 0) return {};
    return std::string(buf, static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1);
}

}  // namespace kestro::py
