// Everything a class of the module needs from the binding layer: owned
// references, type creation for native instances, the entry wrapper, argument
// binding and reading, exception raising, and the instance-method entry.
#ifndef OSSEL_PYTHON_BINDING_H_
#define OSSEL_PYTHON_BINDING_H_

#include "arguments.h"
#include "classes.h"
#include "entry.h"
#include "errors.h"
#include "native_class.h"
#include "py_ref.h"

#include <array>
#include <cstddef>

namespace ossel::python {

// The body of a METH_FASTCALL | METH_KEYWORDS instance method of a class
// whose instances own a T: binds the call to `signature` (N parameters),
// finds the receiver's native value and returns `operation(value, bound)`,
// all inside the entry wrapper. `bound` holds borrowed references, null for
// an optional parameter not given.
template <class T, size_t N, class Operation>
PyObject* run_method(const Signature& signature, PyObject* self, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* keyword_names, Operation&& operation) {
  return run_entry([&] {
    std::array<PyObject*, N> bound{};
    if (!bind_vectorcall(signature, args, nargs, keyword_names, bound)) return PyRef();
    const T* value = native_value<T>(self);
    if (value == nullptr) return PyRef();
    return operation(*value, bound);
  });
}

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_BINDING_H_
