// The module definition of ossel._native.
#ifndef OSSEL_PYTHON_MODULE_DEF_H_
#define OSSEL_PYTHON_MODULE_DEF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ossel::python {

// Name "_native", empty docstring, no functions, one execution slot.
PyModuleDef* module_definition();

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_MODULE_DEF_H_
