// Binding the arguments of a method or constructor call to its parameters,
// and reading the bound values, with the TypeError texts callers see.
//
// Every parameter is positional-or-keyword; the first `required` ones must be
// given. Binding fails with a TypeError naming the callable as
// "{class}.{function}()"; reading a bound value that has the wrong kind fails
// with that reader's error, to which the caller adds the note
// "while processing '{parameter}'" (see ArgumentNote).
#ifndef OSSEL_PYTHON_ARGUMENTS_H_
#define OSSEL_PYTHON_ARGUMENTS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "ossel/progress.h"
#include "py_ref.h"

namespace ossel::python {

struct Signature {
  const char* class_name;
  const char* function_name;  // "__new__" for a constructor
  std::span<const char* const> parameters;
  size_t required;
};

// Binds a vectorcall-convention call (positional values, then one value per
// name in `keyword_names`). `bound` has one slot per parameter and receives
// borrowed references, null for a parameter not given. False with the
// TypeError set when the call does not fit the signature.
bool bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* keyword_names, std::span<PyObject*> bound);

// The same for a tp_new call: an argument tuple and an optional keyword dict.
bool bind_call(const Signature& signature, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> bound);

// Adds the note "while processing '{parameter}'" to the Python exception that
// is currently set; if adding it fails, the exception stays as it was.
void add_argument_note(const char* parameter);

// Readers of bound values. Each returns nullopt with the Python error set and
// the note for `parameter` added.

// A str (or subclass) as its UTF-8 text, valid while `object` lives.
std::optional<std::string_view> read_text(PyObject* object, const char* parameter);

// A non-str value with the sequence protocol, as the list of its elements in
// iteration order. Every element read counts as a unit on `progress`; when it
// says stop, the reader ends with the signal handler's exception set as it is,
// without the note.
std::optional<std::vector<PyRef>> read_sequence(PyObject* object, const char* parameter,
                                                ProgressCheck& progress);

// A sequence whose elements are sequences in turn, as lists of their elements.
// Each element is read as soon as the outer iteration reaches it, so the first
// fault in iteration order is the one reported. The outer elements and the
// inner ones count on `progress` as read_sequence's do.
std::optional<std::vector<std::vector<PyRef>>> read_sequence_of_sequences(PyObject* object,
                                                                         const char* parameter,
                                                                         ProgressCheck& progress);

// Anything the interpreter's float conversion accepts.
std::optional<double> read_double(PyObject* object, const char* parameter);

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_ARGUMENTS_H_
