// How the second-layer modules are made: once per process, in the interpreter that imports them
// first, with __all__ listing what they add.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/ref.hpp"

namespace kestro::py {

// The module is filled once; later imports in the same interpreter get it back, and any other
// interpreter gets ImportError with `refusal` (the classes and globals are per process).
struct single_module {
    PyModuleDef* def;
    const char* refusal;
    bool (*fill)(PyObject* module);
    std::atomic<std::int64_t> interpreter{-1};
    PyObject* made = nullptr;

    // New reference, or nullptr with an exception set. A failed fill caches nothing.
    PyObject* init();
};

// Adds names to a module and lists them in its __all__, in the order added.
class module_names {
  public:
    explicit module_names(PyObject* module);
    // Borrows `value` (nullptr: a failure already set); false with an exception set.
    bool add(const char* name, PyObject* value);
    // Each function of the table, bound to the module.
    bool add_functions(PyMethodDef* functions);
    // Sets __all__; call once, after the last add.
    bool finish();

  private:
    PyObject* module_;
    ref all_;
};

}  // namespace kestro::py
