#include "entry.h"

#include <cstring>
#include <new>

namespace ossel::python {
namespace {

constexpr char kPanicDoc[] =
    "\nThe exception raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python\n"
    "interpreter to exit.\n";

constexpr char kFaultWithoutMessage[] = "internal error without a message in native code";

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // its creation error is set instead
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)),
                                                 "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

}  // namespace

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void raise_internal_fault(std::exception_ptr fault) noexcept {
  try {
    std::rethrow_exception(fault);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic(kFaultWithoutMessage);
  }
}

}  // namespace ossel::python
