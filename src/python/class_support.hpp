// What every class of the native modules shares: the instance cast, finalisation, the
// entry-point wrappers that run through the guard, and the per-field getter template.
#pragma once

#include <Python.h>

#include <memory>

#include "python/convert.hpp"
#include "python/exceptions.hpp"

namespace kestro::py {

// The common flags: collected (to visit the type), immutable, and no Py_TPFLAGS_BASETYPE.
#ifdef Py_TPFLAGS_IMMUTABLETYPE
inline constexpr unsigned int k_type_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE;
#else
inline constexpr unsigned int k_type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#endif

template <class Obj>
Obj& cast(PyObject* self) {
    return *reinterpret_cast<Obj*>(self);
}

// Calling a class: there is no constructor.
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Visits the type, which every instance of a heap type keeps alive.
int traverse_type(PyObject* self, visitproc visit, void* arg);

// Untrack, drop the C++ members, free, then release the type.
template <class Obj>
void destroy(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    std::destroy_at(&cast<Obj>(self));
    // Only the members were destroyed; the head is still the interpreter's.
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

// Entry points, each run through the guard.

// A property: `Read(const Obj&)` returns a core value converted by to_py.
template <class Obj, auto Read>
PyObject* field(PyObject* self, void*) noexcept {
    return guarded([&] { return to_py(Read(cast<Obj>(self))); });
}

template <auto Fn>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return guarded([&] { return Fn(self); });
}

template <auto Fn>
PyObject* fast_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    return guarded([&] { return Fn(self, args, nargs, kwnames); });
}

template <auto Fn>
PyObject* unary_entry(PyObject* self) noexcept {
    return guarded([&] { return Fn(self); });
}

template <auto Fn>
Py_ssize_t length_entry(PyObject* self) noexcept {
    return guarded<Py_ssize_t>(-1, [&] { return Fn(self); });
}

// Casts for the method and slot tables.
template <class F>
void* slot(F f) {
    return reinterpret_cast<void*>(f);
}
template <class F>
PyCFunction method(F f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace kestro::py
