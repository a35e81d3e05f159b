// Knowing that the interpreter finalizes. Once it does, a thread that asks
// for the interpreter lock back (a daemon thread whose wait ends) is ended by
// unwinding its stack without the lock (entry.h), and nothing on the way may
// touch a Python object.
#ifndef OSSEL_PYTHON_INTERPRETER_EXIT_H_
#define OSSEL_PYTHON_INTERPRETER_EXIT_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace ossel::python {

// Raised by the exit function that watch_interpreter_exit registers.
extern std::atomic<bool> interpreter_exit_began;

// Whether the interpreter finalizes, or has finalized. It is asked for every
// reference dropped, so the usual answer costs one load: the interpreter runs
// its exit functions before it finalizes, and only once the module's own has
// run is the interpreter itself asked (a program may also run them early).
inline bool interpreter_finalizing() {
  return interpreter_exit_began.load(std::memory_order_relaxed) && !Py_IsInitialized();
}

// Registers with `atexit`, once per process, the exit function that raises
// the flag. False with the Python error set.
bool watch_interpreter_exit();

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_INTERPRETER_EXIT_H_
