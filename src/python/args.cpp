// Argument matching with the interpreter's wording of argument errors.
#include "python/args.hpp"

#include <string>

#include "python/exceptions.hpp"
#include "python/ref.hpp"

namespace kestro::py {
namespace {

std::string quoted_list(const std::string* names, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count == 2) {
                out += " and ";
            } else {
                out += i + 1 == count ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

bool too_many_positional(const parameters& params, Py_ssize_t nargs) {
    std::string message = params.callable;
    const std::size_t max = params.names.size();
    if (params.required == max) {
        message += " takes " + std::to_string(max);
    } else {
        message += " takes from " + std::to_string(params.required) + " to " + std::to_string(max);
    }
    message += " positional arguments but " + std::to_string(nargs) +
               (nargs == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message);
    return false;
}

}  // namespace

std::optional<std::string_view> utf8_of(PyObject* str) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    if (data == nullptr) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

bool match_arguments(const parameters& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out) {
    const std::size_t count = params.names.size();
    for (std::size_t i = 0; i < count; ++i)
        out[i] = nullptr;
    if (static_cast<std::size_t>(nargs) > count) return too_many_positional(params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];

    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (nkw < 0) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);  // borrowed from kwnames
        if (key == nullptr) return false;
        std::size_t slot = count;
        std::size_t i = 0;
        for (const char* name : params.names) {
            if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
                slot = i;
                break;
            }
            ++i;
        }
        if (slot == count) {
            ref msg = ref::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                                      params.callable, key));
            if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
            return false;
        }
        if (out[slot] != nullptr) {
            ref msg = ref::steal(PyUnicode_FromFormat("%s got multiple values for argument '%U'",
                                                      params.callable, key));
            if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
            return false;
        }
        out[slot] = args[nargs + k];
    }

    std::string missing[8];
    std::size_t n_missing = 0;
    std::size_t i = 0;
    for (const char* name : params.names) {
        if (i < params.required && out[i] == nullptr && n_missing < std::size(missing)) {
            missing[n_missing++] = name;
        }
        ++i;
    }
    if (n_missing > 0) {
        std::string message = std::string(params.callable) + " missing " +
                              std::to_string(n_missing) + " required positional argument" +
                              (n_missing == 1 ? "" : "s") + ": " + quoted_list(missing, n_missing);
        raise(PyExc_TypeError, message);
        return false;
    }
    return true;
}

std::nullptr_t raise_not_a_string(PyObject* value) {
    ref type_name = ref::steal(PyType_GetQualName(Py_TYPE(value)));
    if (!type_name) return nullptr;
    ref msg = ref::steal(
        PyUnicode_FromFormat("'%U' object cannot be converted to 'PyString'", type_name.get()));
    if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
    return nullptr;
}

std::optional<std::string_view> text_argument(PyObject* value, const char* name) {
    if (!PyUnicode_Check(value)) {
        ref type_name = ref::steal(PyType_GetQualName(Py_TYPE(value)));
        if (!type_name) return std::nullopt;
        ref msg = ref::steal(PyUnicode_FromFormat(
            "argument '%s': '%U' object cannot be converted to 'PyString'", name, type_name.get()));
        if (msg) PyErr_SetObject(PyExc_TypeError, msg.get());
        return std::nullopt;
    }
    return utf8_of(value);
}

bool optional_text_argument(PyObject* value, const char* name,
                            std::optional<std::string_view>& out) {
    out.reset();
    if (value == nullptr || value == Py_None) return true;
    out = text_argument(value, name);
    return out.has_value();
}

}  // namespace kestro::py
