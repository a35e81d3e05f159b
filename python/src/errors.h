// Handing native texts to Python: results, and exceptions with their messages.
#ifndef OSSEL_PYTHON_ERRORS_H_
#define OSSEL_PYTHON_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "ossel/progress.h"
#include "py_ref.h"

namespace ossel::python {

// Sets `type` (e.g. PyExc_ValueError) with `message` as its text and returns
// a null PyRef, so an operation can `return raise_error(...)`. Bytes that are
// not UTF-8 are replaced rather than turning the error into another one.
PyRef raise_error(PyObject* type, std::string_view message);

// The same, unless a Python exception is already set: an operation that gave
// up because code it ran raised (a signal handler during a blocking call, the
// caller's code during a conversion) passes that exception on unchanged.
PyRef raise_error_unless_set(PyObject* type, std::string_view message);

// A new str from UTF-8 text (an operation's result).
PyRef new_text(std::string_view utf8);

// Sets TypeError "'{type}' object is not an instance of '{class_name}'" with
// the qualified name of the object's type; for None, "'None' is not an
// instance of '{class_name}'".
void raise_not_instance(PyObject* object, const char* class_name);

// Whether the Python error that is set is an interruption: an exception that
// does not derive from Exception (KeyboardInterrupt, SystemExit, a
// PanicException from a nested call). It asks the program to stop rather than
// describing a bad value, so it is passed on as it is, never folded into
// another error or discarded.
bool interruption_pending();

// Whether no signal handler raised: runs the handlers of the signals that
// arrived since the interpreter last did (in the main thread only; elsewhere
// nothing runs). False with the handler's exception set (KeyboardInterrupt for
// Ctrl-C), which the operation that asked passes on as it is.
bool no_signal_raised();

// A ProgressCheck that asks no_signal_raised every 1024 units (elements of an
// argument read, calls converted, calls a rule looks at: a millisecond or less
// of work), so a long operation answers Ctrl-C part-way and ends with the
// handler's exception set. Each check first releases the references dropped
// since the last one (deferred_drops.h).
ProgressCheck signal_check();

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_ERRORS_H_
