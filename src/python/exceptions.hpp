// The module's exception classes, the internal-fault exception, and the one noexcept guard that
// every entry point from Python runs through.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <string_view>

#include "error.hpp"

namespace kestro::py {

// The module's exception classes: the root first, then the classes derived from it.
enum class exception_class : unsigned char {
    kestro_sdk_error,
    parse_error,
    validation_error,
    session_error,
};
inline constexpr std::size_t k_exception_count = 4;
static_assert(static_cast<std::size_t>(exception_class::session_error) + 1 == k_exception_count);

// The class's qualified name. No default: a class without its name fails to compile (-Wswitch,
// an error in CI).
constexpr const char* exception_name(exception_class which) {
    switch (which) {
        case exception_class::kestro_sdk_error:
            return "_core.KestroSDKError";
        case exception_class::parse_error:
            return "_core.ParseError";
        case exception_class::validation_error:
            return "_core.ValidationError";
        case exception_class::session_error:
            return "_core.SessionError";
    }
    return nullptr;
}

// The name the module adds the class under: the qualified name without the module's.
constexpr const char* short_exception_name(exception_class which) {
    return exception_name(which) + sizeof("_core.") - 1;
}

// The class object, created on first need (the three subclasses create their base first).
// Borrowed from a process-wide slot; nullptr with the internal-fault exception set on failure.
PyObject* exception_type(exception_class which);

// Sets `type` with `message` (bytes that are not UTF-8 shown as U+FFFD). Always returns nullptr
// so callers can `return raise(...)`.
std::nullptr_t raise(PyObject* type, std::string_view message);

// Returns nullptr, making sure an exception is set: a C API call that failed without setting
// one becomes SystemError.
std::nullptr_t propagate();

// Sets the internal-fault exception (a BaseException subclass created on first use) with
// `message`. If that exception cannot be built, or building it faults, the error already set
// stays, else SystemError; it never aborts.
void raise_panic(std::string_view message) noexcept;

// Which module function met a core error; the function decides the exception class and prefix.
enum class core_call : unsigned char {
    load,
    find_sessions,
    find_projects,
    project_sessions,
};

// The one translation of core errors into Python exceptions. Returns nullptr.
std::nullptr_t raise_core_error(core_call call, const sdk_error& error);

// Runs `body` so that no C++ exception reaches the interpreter: std::bad_alloc becomes
// MemoryError, anything else the internal-fault exception; `failure` is returned then. Any
// Python thread may be the caller, and the first throw on a thread would need memory just
// when none is left: the thread's exception state is set up before the body runs.
template <class R, class F>
R guarded(R failure, F&& body) noexcept {
    reserve_exception_state();
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("internal fault of unknown kind");
    }
    return failure;
}

template <class F>
PyObject* guarded(F&& body) noexcept {
    return guarded<PyObject*>(nullptr, static_cast<F&&>(body));
}

}  // namespace kestro::py
