// The module's classes, in the order the module adds them. Each function
// returns the class's type object, created on first use and cached for the
// life of the process; null with the Python error set if creation fails.
#ifndef OSSEL_PYTHON_CLASSES_H_
#define OSSEL_PYTHON_CLASSES_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "ossel/policy.h"

namespace ossel::python {

PyTypeObject* policy_type();
PyTypeObject* coverage_analyzer_type();
PyTypeObject* ossel_client_type();
PyTypeObject* trace_explainer_type();

// Borrows the Policy held by a Policy instance (or an instance of a subtype).
// Anything else, or an instance without a policy (see native_value), fails
// with a TypeError and the note for `parameter`, returning null.
const Policy* read_policy(PyObject* object, const char* parameter);

// Binds the arguments of a `{class_name}(policy)` constructor call and reads
// the policy; null with the Python error set when the call does not fit.
const Policy* bind_policy_constructor(const char* class_name, PyObject* args, PyObject* kwargs);

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_CLASSES_H_
