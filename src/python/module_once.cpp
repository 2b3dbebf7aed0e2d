// How the second-layer modules are made.
#include "python/module_once.hpp"

#include "python/exceptions.hpp"

namespace kestro::py {

PyObject* single_module::init() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current < 0) return propagate();
    std::int64_t expected = -1;
    if (!interpreter.compare_exchange_strong(expected, current) && expected != current) {
        return raise(PyExc_ImportError, refusal);
    }
    if (made != nullptr) return Py_NewRef(made);
    ref module = ref::steal(PyModule_Create(def));
    if (!module) return nullptr;
    if (!fill(module.get())) return propagate();
    made = Py_NewRef(module.get());
    return module.release();
}

module_names::module_names(PyObject* module) : module_(module), all_(ref::steal(PyList_New(0))) {}

bool module_names::add(const char* name, PyObject* value) {
    if (!all_ || value == nullptr || PyModule_AddObjectRef(module_, name, value) < 0) return false;
    ref text = ref::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all_.get(), text.get()) == 0;
}

bool module_names::add_functions(PyMethodDef* functions) {
    ref module_name = ref::steal(PyModule_GetNameObject(module_));
    if (!module_name) return false;
    for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
        ref function = ref::steal(PyCFunction_NewEx(def, module_, module_name.get()));
        if (!add(def->ml_name, function.get())) return false;
    }
    return true;
}

bool module_names::finish() {
    return all_ && PyModule_AddObjectRef(module_, "__all__", all_.get()) == 0;
}

}  // namespace kestro::py
