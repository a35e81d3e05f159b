#include "arguments.h"

#include <algorithm>
#include <string>

#include "errors.h"

namespace ossel::python {
namespace {

// Fills the parameter slots of one call: positional values first, then the
// keywords in the order given, then the check that every required one is there.
class Binder {
 public:
  Binder(const Signature& signature, std::span<PyObject*> bound)
      : signature_(signature), bound_(bound) {
    for (PyObject*& slot : bound_) slot = nullptr;
  }

  bool take_positional(PyObject* const* values, size_t count) {
    const size_t parameters = signature_.parameters.size();
    if (count > parameters) {
      const char* verb = count == 1 ? "was" : "were";
      if (signature_.required == parameters) {
        PyErr_Format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zu %s given",
                     signature_.class_name, signature_.function_name, parameters, count, verb);
      } else {
        PyErr_Format(PyExc_TypeError,
                     "%s.%s() takes from %zu to %zu positional arguments but %zu %s given",
                     signature_.class_name, signature_.function_name, signature_.required,
                     parameters, count, verb);
      }
      return false;
    }
    for (size_t i = 0; i < count; ++i) bound_[i] = values[i];
    return true;
  }

  bool take_keyword(PyObject* name, PyObject* value) {
    for (size_t i = 0; i < signature_.parameters.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(name, signature_.parameters[i]) != 0) continue;
      if (bound_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%U'",
                     signature_.class_name, signature_.function_name, name);
        return false;
      }
      bound_[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'",
                 signature_.class_name, signature_.function_name, name);
    return false;
  }

  bool check_required() {
    std::vector<const char*> missing;
    for (size_t i = 0; i < signature_.required; ++i) {
      if (bound_[i] == nullptr) missing.push_back(signature_.parameters[i]);
    }
    if (missing.empty()) return true;
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
      names += '\'';
      names += missing[i];
      names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional %s: %s",
                 signature_.class_name, signature_.function_name, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }

 private:
  const Signature& signature_;
  std::span<PyObject*> bound_;
};

// The elements of a non-str value with the sequence protocol, in iteration
// order, each counted on `progress` and handed to `take` as it is reached;
// `reserve` first receives the value's length as a size hint. False with the
// Python error set when the value is refused, its iteration raises, `progress`
// says stop or `take` fails.
template <class Reserve, class Take>
bool iterate_sequence(PyObject* object, ProgressCheck& progress, Reserve&& reserve, Take&& take) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_not_instance(object, "Sequence");
    return false;
  }
  // The length is only a hint: a failure to measure it is not an error, and a
  // length far beyond what the iteration delivers must not make the caller
  // reserve memory for it, so the hint is capped.
  constexpr Py_ssize_t kLargestHint = 1 << 16;
  Py_ssize_t size_hint = PySequence_Size(object);
  if (size_hint < 0) {
    if (interruption_pending()) return false;
    PyErr_Clear();
  }
  if (size_hint > 0) reserve(static_cast<size_t>(std::min(size_hint, kLargestHint)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef element = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!progress.advance() || !take(std::move(element))) return false;
  }
  return !PyErr_Occurred();
}

// Appends the elements of a non-str sequence to `elements`.
bool collect_sequence(PyObject* object, std::vector<PyRef>& elements, ProgressCheck& progress) {
  auto reserve = [&](size_t hint) { elements.reserve(hint); };
  auto take = [&](PyRef element) {
    elements.push_back(std::move(element));
    return true;
  };
  return iterate_sequence(object, progress, reserve, take);
}

// Adds the note for `parameter` to the error of a failed read, unless the
// read was stopped: a signal handler's exception reaches the caller as the
// handler raised it.
void note_unless_stopped(const ProgressCheck& progress, const char* parameter) {
  if (!progress.stopped()) add_argument_note(parameter);
}

}  // namespace

bool bind_vectorcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* keyword_names, std::span<PyObject*> bound) {
  Binder binder(signature, bound);
  if (!binder.take_positional(args, static_cast<size_t>(nargs))) return false;
  if (keyword_names != nullptr) {
    Py_ssize_t count = PyTuple_Size(keyword_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!binder.take_keyword(PyTuple_GetItem(keyword_names, i), args[nargs + i])) return false;
    }
  }
  return binder.check_required();
}

bool bind_call(const Signature& signature, PyObject* args, PyObject* kwargs,
               std::span<PyObject*> bound) {
  Binder binder(signature, bound);
  std::vector<PyObject*> positional(static_cast<size_t>(PyTuple_Size(args)));
  for (size_t i = 0; i < positional.size(); ++i) {
    positional[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }
  if (!binder.take_positional(positional.data(), positional.size())) return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!binder.take_keyword(name, value)) return false;
    }
  }
  return binder.check_required();
}

void add_argument_note(const char* parameter) {
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (!error) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyRef added;
  if (note) added = PyRef::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(error.release());
}

std::optional<std::string_view> read_text(PyObject* object, const char* parameter) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    add_argument_note(parameter);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) {
    add_argument_note(parameter);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<size_t>(size));
}

std::optional<std::vector<PyRef>> read_sequence(PyObject* object, const char* parameter,
                                                ProgressCheck& progress) {
  std::vector<PyRef> elements;
  if (!collect_sequence(object, elements, progress)) {
    note_unless_stopped(progress, parameter);
    return std::nullopt;
  }
  return elements;
}

std::optional<std::vector<std::vector<PyRef>>> read_sequence_of_sequences(PyObject* object,
                                                                         const char* parameter,
                                                                         ProgressCheck& progress) {
  std::vector<std::vector<PyRef>> sequences;
  auto reserve = [&](size_t hint) { sequences.reserve(hint); };
  auto take = [&](PyRef element) {
    return collect_sequence(element.get(), sequences.emplace_back(), progress);
  };
  if (!iterate_sequence(object, progress, reserve, take)) {
    note_unless_stopped(progress, parameter);
    return std::nullopt;
  }
  return sequences;
}

std::optional<double> read_double(PyObject* object, const char* parameter) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) {
    add_argument_note(parameter);
    return std::nullopt;
  }
  return value;
}

}  // namespace ossel::python
