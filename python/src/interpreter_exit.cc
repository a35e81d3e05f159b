#include "interpreter_exit.h"

#include "py_ref.h"

namespace ossel::python {

std::atomic<bool> interpreter_exit_began{false};

namespace {

PyObject* note_exit(PyObject* /*self*/, PyObject* /*unused*/) {
  interpreter_exit_began.store(true, std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_definition = {"ossel_interpreter_exit", &note_exit, METH_NOARGS, nullptr};

}  // namespace

bool watch_interpreter_exit() {
  static bool watching = false;
  if (watching) return true;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  PyRef note = PyRef::steal(PyCFunction_New(&note_exit_definition, nullptr));
  if (!note) return false;
  PyRef registered =
      PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", note.get()));
  watching = static_cast<bool>(registered);
  return watching;
}

}  // namespace ossel::python
