// PyRef: owns one strong reference to a Python object and releases it when it
// goes out of scope, so ownership is visible in the types instead of in
// scattered Py_DECREF calls. Functions that return a new reference hand it
// over with PyRef::steal; borrowed references become owned with PyRef::borrow.
//
// A PyRef never runs Python code when it lets go of its reference: a drop
// that could free an object whose freeing runs code is queued instead and
// released later in straight-line code (deferred_drops.h says where).
#ifndef OSSEL_PYTHON_PY_REF_H_
#define OSSEL_PYTHON_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "deferred_drops.h"
#include "interpreter_exit.h"

namespace ossel::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null, e.g. after a failed API call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(const PyRef& other) : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  // The common drop, one that leaves other references behind, frees nothing
  // and is made here; any other (the last reference, or once the interpreter
  // began to exit) is decided out of line.
  ~PyRef() {
    if (object_ == nullptr) return;
    if (Py_REFCNT(object_) > 1 && !interpreter_exit_began.load(std::memory_order_relaxed)) {
      Py_DECREF(object_);
    } else {
      drop_reference_in_destructor(object_);
    }
  }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller (for returning a new reference to Python).
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_PY_REF_H_
