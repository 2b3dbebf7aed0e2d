// Exception classes of the module and the translation of core errors and internal faults.
#include "python/exceptions.hpp"

#include <array>
#include <string>

#include "python/ref.hpp"

namespace kestro::py {
namespace {

// Filled once and kept for the life of the process, like the module itself.
std::array<PyObject*, k_exception_count> g_exception_slots{};
PyObject* g_panic_type = nullptr;

constexpr const char* k_panic_doc =
    "Raised when internal code called from Python fails in an unrecoverable way.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "typically propagates all the way up the stack and makes the interpreter exit.";

PyObject* panic_type() {
    if (g_panic_type == nullptr) {
        g_panic_type = PyErr_NewExceptionWithDoc("_core.PanicException", k_panic_doc,
                                                 PyExc_BaseException, nullptr);
    }
    return g_panic_type;
}

PyObject* decode_lossy(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace

PyObject* exception_type(exception_class which) {
    const auto index = static_cast<std::size_t>(which);
    if (g_exception_slots[index] != nullptr) return g_exception_slots[index];
    PyObject* base = PyExc_Exception;
    if (which != exception_class::kestro_sdk_error) {
        base = exception_type(exception_class::kestro_sdk_error);
        if (base == nullptr) return nullptr;
    }
    PyObject* created = PyErr_NewException(exception_name(which), base, nullptr);
    if (created == nullptr) {
        raise_panic("Failed to initialize new exception type.");
        return nullptr;
    }
    g_exception_slots[index] = created;
    return created;
}

std::nullptr_t raise(PyObject* type, std::string_view message) {
    ref text = ref::steal(decode_lossy(message));
    if (text) PyErr_SetObject(type, text.get());
    return nullptr;
}

std::nullptr_t propagate() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
}

void raise_panic(std::string_view message) noexcept {
    try {
        // The fault's own pending error, if any, is superseded by the fault report.
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        PyObject* panic = panic_type();
        if (panic == nullptr) {
            if (PyErr_Occurred()) {
                Py_XDECREF(type);
                Py_XDECREF(value);
                Py_XDECREF(trace);
            } else if (type != nullptr) {
                PyErr_Restore(type, value, trace);
            } else {
                PyErr_SetString(PyExc_SystemError, "failed to create the internal-fault exception");
            }
            return;
        }
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(trace);
        raise(panic, message);
    } catch (...) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "uncaught panic at ffi boundary");
        }
    }
}

std::nullptr_t raise_core_error(core_call call, const sdk_error& error) {
    const std::string rendered = error.render();
    PyObject* type = nullptr;
    const char* prefix = "";
    switch (call) {
        case core_call::load:
            switch (error.kind()) {
                case error_kind::session_not_found:
                    type = PyExc_FileNotFoundError;
                    prefix = "Session not found: ";
                    break;
                case error_kind::parse:
                    type = exception_type(exception_class::parse_error);
                    prefix = "Failed to parse session: ";
                    break;
                case error_kind::execution:
                    type = exception_type(exception_class::session_error);
                    prefix = "Session processing error: ";
                    break;
                case error_kind::io:
                    // Whatever the operating system's category: a file that cannot be read
                    // counts as not found for callers.
                    type = PyExc_FileNotFoundError;
                    prefix = "IO error: ";
                    break;
                case error_kind::json:
                    type = exception_type(exception_class::parse_error);
                    prefix = "JSON error: ";
                    break;
            }
            break;
        case core_call::find_sessions:
            type = exception_type(exception_class::parse_error);
            prefix = "Failed to discover sessions: ";
            break;
        case core_call::find_projects:
            type = exception_type(exception_class::parse_error);
            prefix = "Failed to discover projects: ";
            break;
        case core_call::project_sessions:
            type = exception_type(exception_class::parse_error);
            prefix = "Failed to discover sessions in project: ";
            break;
    }
    if (type == nullptr) return propagate();
    return raise(type, std::string(prefix) + rendered);
}

}  // namespace kestro::py
