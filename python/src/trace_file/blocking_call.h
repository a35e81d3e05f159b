// Blocking system calls made from a Python method the way Python's own file
// objects make them: the interpreter lock is released while the call waits,
// so other Python threads go on running; when a signal interrupts the call
// (EINTR), the lock is taken back and Python's signal handlers run, and the
// call is repeated unless a handler raised. A raised exception (such as the
// KeyboardInterrupt of Ctrl-C) ends the call and stays set, for the method to
// pass on unchanged.
#ifndef OSSEL_PYTHON_TRACE_FILE_BLOCKING_CALL_H_
#define OSSEL_PYTHON_TRACE_FILE_BLOCKING_CALL_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>

namespace ossel::python {

// Releases the interpreter lock for the lifetime of the object. The thread
// must hold it when the object is made, and must not touch Python objects
// until the object is gone.
class InterpreterLockReleased {
 public:
  InterpreterLockReleased() : thread_state_(PyEval_SaveThread()) {}
  ~InterpreterLockReleased() { PyEval_RestoreThread(thread_state_); }
  InterpreterLockReleased(const InterpreterLockReleased&) = delete;
  InterpreterLockReleased& operator=(const InterpreterLockReleased&) = delete;

 private:
  PyThreadState* thread_state_;
};

// Runs `call`, a system call that returns a negative value with errno set
// when it fails, as described above. Called with the interpreter lock held.
// Returns the call's own result; a failure leaves errno set, and errno is
// EINTR only when a signal handler raised, its exception then being set.
template <class Call>
auto call_blocking(Call&& call) -> decltype(call()) {
  for (;;) {
    decltype(call()) result;
    int error;
    {
      InterpreterLockReleased released;
      result = call();
      error = errno;
    }
    // Only the main thread runs handlers; elsewhere this returns 0 at once
    // and the call is simply repeated.
    if (result >= 0 || error != EINTR || PyErr_CheckSignals() < 0) {
      errno = error;
      return result;
    }
  }
}

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_TRACE_FILE_BLOCKING_CALL_H_
