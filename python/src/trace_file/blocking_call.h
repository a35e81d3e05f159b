// Blocking system calls made from a Python method the way Python's own file
// objects make them: the interpreter lock is released while the call waits,
// so other Python threads go on running; when a signal interrupts the call
// (EINTR), the lock is taken back and Python's signal handlers run, and the
// call is repeated unless a handler raised. A raised exception (such as the
// KeyboardInterrupt of Ctrl-C) ends the call and stays set, for the method to
// pass on unchanged.
//
// A thread whose wait ends once the interpreter finalizes (a daemon thread
// still waiting when the program ends) does not get the lock back: taking it
// ends the thread with pthread_exit, which unwinds the thread's stack
// (abi::__forced_unwind). That unwinding passes through here and through the
// method's entry (entry.h) to the interpreter's own frames; the destructors it
// runs on the way must not need the interpreter lock (py_ref.h).
#ifndef OSSEL_PYTHON_TRACE_FILE_BLOCKING_CALL_H_
#define OSSEL_PYTHON_TRACE_FILE_BLOCKING_CALL_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>

namespace ossel::python {

// Runs `call`, a system call that returns a negative value with errno set
// when it fails, as described above. Called with the interpreter lock held.
// Returns the call's own result; a failure leaves errno set, and errno is
// EINTR only when a signal handler raised, its exception then being set.
template <class Call>
auto call_blocking(Call&& call) -> decltype(call()) {
  // The lock is taken back outside any destructor: a destructor is noexcept,
  // and the unwinding that ends a thread during finalization would abort the
  // process there. `call` cannot throw, so nothing leaves the lock released.
  static_assert(noexcept(call()), "a blocking call must not throw");
  for (;;) {
    PyThreadState* const thread_state = PyEval_SaveThread();
    const decltype(call()) result = call();
    const int error = errno;
    PyEval_RestoreThread(thread_state);
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
