// The slots every class of the native modules shares.
#include "python/class_support.hpp"

#include "python/ref.hpp"

namespace kestro::py {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    ref name = ref::steal(PyType_GetName(type));
    if (!name) return nullptr;
    return PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
}

int traverse_type(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

}  // namespace kestro::py
