#include "errors.h"

#include "deferred_drops.h"

namespace ossel::python {

PyRef raise_error(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return PyRef();
}

PyRef raise_error_unless_set(PyObject* type, std::string_view message) {
  if (PyErr_Occurred()) return PyRef();
  return raise_error(type, message);
}

PyRef new_text(std::string_view utf8) {
  return PyRef::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

void raise_not_instance(PyObject* object, const char* class_name) {
  if (object == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", class_name);
    return;
  }
  PyRef type_name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(),
               class_name);
}

bool no_signal_raised() { return PyErr_CheckSignals() == 0; }

ProgressCheck signal_check() {
  constexpr size_t kUnitsPerCheck = 1024;
  // The check is also where the references dropped meanwhile are released,
  // so that a long operation keeps no more than a check's worth queued.
  return ProgressCheck(
      [] {
        release_deferred_drops();
        return no_signal_raised();
      },
      kUnitsPerCheck);
}

bool interruption_pending() {
  return PyErr_Occurred() != nullptr && !PyErr_ExceptionMatches(PyExc_Exception);
}

}  // namespace ossel::python
