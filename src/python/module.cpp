// The extension module _core: its one exported symbol, the order in which it is filled, and
// the refusal of sub-interpreters.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "python/exceptions.hpp"
#include "python/functions.hpp"
#include "python/ref.hpp"
#include "python/types.hpp"

namespace kestro::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_core", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that imported the module first (-1: none yet), and the filled module, which
// every later import in that interpreter gets back.
std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

bool append_to_all(PyObject* module, const char* name) {
    ref all = ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    ref text = ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        raise_panic("could not append __name__ to __all__");
        return false;
    }
    return true;
}

// Borrows `value`; the module takes its own reference.
bool add(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    if (!append_to_all(module, name)) return false;
    return PyModule_AddObjectRef(module, name, value) == 0;
}

bool fill(PyObject* module) {
    for (std::size_t i = 0; i < k_module_class_count; ++i) {
        PyTypeObject* type = type_object(static_cast<class_id>(i));
        if (!add(module, short_class_name(static_cast<class_id>(i)),
                 reinterpret_cast<PyObject*>(type)))
            return false;
    }
    for (std::size_t i = 0; i < k_exception_count; ++i) {
        const auto which = static_cast<exception_class>(i);
        if (!add(module, short_exception_name(which), exception_type(which))) return false;
    }
    ref module_name = ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef* def = module_functions; def->ml_name != nullptr; ++def) {
        ref function = ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
        if (!add(module, def->ml_name, function.get())) return false;
    }
    return true;
}

PyObject* init() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return propagate();
    std::int64_t expected = -1;
    if (!g_interpreter.compare_exchange_strong(expected, current) && expected != current) {
        return raise(PyExc_ImportError,
                     "the _core module of kestro_sdk does not support sub-interpreters");
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    ref module = ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    // A failed filling leaves nothing cached; a later import starts again from here.
    if (!fill(module.get())) return propagate();
    mark_initialised();
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace kestro::py

// The one name the interpreter looks for: reserved-looking, but not ours to choose.
PyMODINIT_FUNC PyInit__core(void) {  // NOLINT(bugprone-reserved-identifier)
    kestro::reserve_exception_state();
    return kestro::py::guarded([] { return kestro::py::init(); });
}
