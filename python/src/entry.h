// The boundary between the interpreter and native code. Every method,
// constructor and module-execution entry runs its body through run_entry, so
// no C++ exception ever unwinds into the interpreter: an internal fault is
// raised as pyo3_runtime.PanicException (derived from BaseException, so that
// `except Exception` does not swallow it), and exhausted memory as
// MemoryError, instead of ending the process.
//
// One unwinding is let through: the one that ends a thread. Once the
// interpreter finalizes, a thread that asks for the interpreter lock back (a
// daemon thread whose wait ends, inside a blocking call or inside Python code
// that a conversion runs) is ended with pthread_exit, which unwinds its stack
// with abi::__forced_unwind up to the thread's start. Stopping it here, or in
// any noexcept frame, would abort the process; so the entries are not
// noexcept, and they pass it on.
#ifndef OSSEL_PYTHON_ENTRY_H_
#define OSSEL_PYTHON_ENTRY_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>

#include "deferred_drops.h"
#include "py_ref.h"
#include "stack_guard.h"

namespace ossel::python {

// The PanicException type, created on first use and kept for the life of the
// process; null with the Python error set if it cannot be created.
PyObject* panic_exception_type();

// Sets the Python exception for a C++ exception that reached the boundary.
void raise_internal_fault(std::exception_ptr fault) noexcept;

// Runs `body` (returning a PyRef, null with the Python error set on failure)
// and hands its reference to the interpreter, once the references the body
// dropped are released (deferred_drops.h): here, outside any destructor, the
// code their freeing runs may end the thread. An entry reached with the C
// stack nearly used up (Python code run by an operation calling the module
// again, round after round) fails with RecursionError instead.
template <class Body>
PyObject* run_entry(Body&& body) {
  if (raise_if_stack_exhausted(" while calling a Python object")) return nullptr;
  PyObject* result = nullptr;
  try {
    result = body().release();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_internal_fault(std::current_exception());
  }
  release_deferred_drops();
  return result;
}

// The same for entries that report 0 on success and -1 on failure.
template <class Body>
int run_status_entry(Body&& body) {
  int status = -1;
  try {
    status = body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    raise_internal_fault(std::current_exception());
  }
  release_deferred_drops();
  return status;
}

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_ENTRY_H_
