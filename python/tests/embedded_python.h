// Test support: one embedded CPython for the whole test program, and a way to
// look at the exception an entry left set.
#ifndef OSSEL_PYTHON_TESTS_EMBEDDED_PYTHON_H_
#define OSSEL_PYTHON_TESTS_EMBEDDED_PYTHON_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "py_ref.h"

namespace ossel::python::testing {

// The exception currently set, taken out of the interpreter's error state.
struct RaisedException {
  PyRef exception;
  std::string type_name;  // "{module}.{qualname}", "builtins." left out
  std::string message;    // str() of the exception
};
RaisedException take_raised_exception();

}  // namespace ossel::python::testing

#endif  // OSSEL_PYTHON_TESTS_EMBEDDED_PYTHON_H_
