// Conversions of core values into Python objects, and number texts.
#include "python/convert.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <system_error>
#include <variant>

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

// A scalar as a new object; nullptr with an error, or `container` true for arrays and objects
// (which the caller fills).
PyObject* scalar_to_py(const json_value& value, bool& container) {
    container = false;
    return std::visit(
        [&](const auto& v) -> PyObject* {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::nullptr_t>) {
                return Py_NewRef(Py_None);
            } else if constexpr (std::is_same_v<T, bool>) {
                return PyBool_FromLong(v ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                return PyLong_FromUnsignedLongLong(v);
            } else if constexpr (std::is_same_v<T, std::int64_t>) {
                return PyLong_FromLongLong(v);
            } else if constexpr (std::is_same_v<T, double>) {
                return PyFloat_FromDouble(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return to_py(v);
            } else if constexpr (std::is_same_v<T, json_value::array>) {
                container = true;
                return PyList_New(0);
            } else {
                container = true;
                return PyDict_New();
            }
        },
        value.get());
}

struct frame {
    const json_value* value;
    PyObject* target;  // borrowed: owned by its parent container, or by `root`
    std::size_t next = 0;
};

}  // namespace

PyObject* json_to_py(const json_value& value) {
    bool container = false;
    ref root = ref::steal(scalar_to_py(value, container));
    if (!root || !container) return root.release();

    std::vector<frame> stack;
    stack.push_back({&value, root.get()});
    while (!stack.empty()) {
        frame& top = stack.back();
        const auto& storage = top.value->get();
        const json_value* child = nullptr;
        const std::string* key = nullptr;
        if (const auto* arr = std::get_if<json_value::array>(&storage)) {
            if (top.next < arr->size()) child = &(*arr)[top.next];
        } else {
            const auto& obj = std::get<json_value::object>(storage);
            if (top.next < obj.size()) {
                key = &obj[top.next].first;
                child = &obj[top.next].second;
            }
        }
        if (child == nullptr) {
            stack.pop_back();
            continue;
        }
        ++top.next;
        PyObject* target = top.target;
        ref item = ref::steal(scalar_to_py(*child, container));
        if (!item) return nullptr;
        if (key == nullptr) {
            if (PyList_Append(target, item.get()) < 0) return nullptr;
        } else {
            ref key_obj = ref::steal(to_py(*key));
            if (!key_obj || PyDict_SetItem(target, key_obj.get(), item.get()) < 0) return nullptr;
        }
        // The container holds its own reference now, so the frame may borrow it.
        if (container) stack.push_back({child, item.get()});
    }
    return root.release();
}

std::string four_decimals(double value) {
    char buf[400];
    const int n = std::snprintf(buf, sizeof buf, "%.4f", value);
    if (n < 0) return {};
    return std::string(buf, static_cast<std::size_t>(n) < sizeof buf ? n : sizeof buf - 1);
}

std::string shortest_decimal(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buf[64];
    const double magnitude = std::fabs(value);
    const bool exponent = magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4);
    const auto format = exponent ? std::chars_format::scientific : std::chars_format::fixed;
    const auto res = std::to_chars(buf, buf + sizeof buf, value, format);
    std::string text(buf, res.ptr);
    if (!exponent) {
        if (text.find('.') == std::string::npos) text += ".0";
        return text;
    }
    // to_chars writes e+16 / e-05; the wanted form is e16 / e-5.
    const auto e = text.find('e');
    std::string mantissa = text.substr(0, e);
    std::string exp = text.substr(e + 1);
    bool negative = false;
    if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
        negative = exp[0] == '-';
        exp.erase(0, 1);
    }
    const auto nz = exp.find_first_not_of('0');
    exp = nz == std::string::npos ? "0" : exp.substr(nz);
    return mantissa + "e" + (negative ? "-" : "") + exp;
}

}  // namespace kestro::py
