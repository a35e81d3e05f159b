// Dropping the last reference to a Python object can run Python code: its
// __del__, a weakref callback, the finalizers of everything it held. That code
// may let the interpreter lock go, and once the interpreter finalizes, a
// thread that asks for the lock back (a daemon thread) is ended with
// pthread_exit, which unwinds its stack (abi::__forced_unwind). Unwinding out
// of a destructor, or out of any other noexcept function, aborts the process.
//
// So a reference dropped where no Python code may run (PyRef's destructor and
// whatever calls it: containers, results, assignments) is released at once
// only when that cannot free an object whose freeing may run code; otherwise
// it goes to a queue of the calling thread's own, released in straight-line
// code where the unwinding may pass: at the end of every entry (entry.h), at
// every progress check of a long operation (errors.h), and every so many
// containers a conversion walks (convert.cc). Objects are still freed during
// a call, a little later than the drop, and in the order they were dropped.
#ifndef OSSEL_PYTHON_DEFERRED_DROPS_H_
#define OSSEL_PYTHON_DEFERRED_DROPS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ossel::python {

// Drops one reference, from a destructor or another noexcept function, with
// the interpreter lock held: at once when another reference remains or the
// object's freeing runs no code (an exact str, bytes, int or float), else
// queued on this thread. Never runs Python code and never throws; should the
// queue fail to grow, the reference is kept for good instead. Once the
// interpreter finalizes, the reference is left to it: the caller may be a
// thread that finalization is ending, without the interpreter lock.
void drop_reference_in_destructor(PyObject* object) noexcept;

// Drops every reference queued on this thread, first queued first, running
// whatever their freeing runs. Called with the interpreter lock held, and
// never from a destructor or a noexcept function. Python code it runs may
// queue more drops (they are released too) or release the queue itself.
void release_deferred_drops();

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_DEFERRED_DROPS_H_
