// Everything a class of the module needs from the binding layer: owned
// references, type creation for native instances, the entry wrapper, argument
// binding and reading, and exception raising.
//
// A method entry follows one pattern:
//
//   PyObject* record_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
//                          PyObject* keyword_names) {
//     return run_entry([&] {
//       PyObject* bound[1];
//       if (!bind_vectorcall(kSignature, args, nargs, keyword_names, bound)) return PyRef();
//       const Record* record = native_value<Record>(self);
//       if (record == nullptr) return PyRef();
//       return append(*record, bound[0]);
//     });
//   }
#ifndef OSSEL_PYTHON_BINDING_H_
#define OSSEL_PYTHON_BINDING_H_

#include "arguments.h"
#include "classes.h"
#include "entry.h"
#include "errors.h"
#include "native_class.h"
#include "py_ref.h"

#endif  // OSSEL_PYTHON_BINDING_H_
