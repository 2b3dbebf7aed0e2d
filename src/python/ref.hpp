// An owned reference to a Python object.
#pragma once

#include <Python.h>

#include <utility>

namespace kestro::py {

// Holds one strong reference. `steal` adopts a reference the caller owns (a new reference from
// the C API, possibly null), `borrow` takes a reference of its own to a borrowed object, and
// `release` hands the reference back to the caller.
class ref {
  public:
    ref() = default;
    static ref steal(PyObject* o) noexcept { return ref(o); }
    static ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return ref(o);
    }
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ref(ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
    ref& operator=(ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~ref() { Py_XDECREF(o_); }

    [[nodiscard]] PyObject* get() const noexcept { return o_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const noexcept { return o_ != nullptr; }

  private:
    explicit ref(PyObject* o) noexcept : o_(o) {}
    PyObject* o_ = nullptr;
};

}  // namespace kestro::py
