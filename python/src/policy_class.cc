// The Policy class: a loaded policy file. Python code gets one only from
// Policy.from_file; the class itself cannot be instantiated.
#include <memory>
#include <string>

#include "binding.h"
#include "ossel/load_policy.h"
#include "text_file.h"

namespace ossel::python {
namespace {

constexpr const char* kFromFileParameters[] = {"path"};
constexpr Signature kFromFileSignature{"Policy", "from_file", kFromFileParameters, 1};

PyRef from_file(PyObject* path_argument) {
  std::optional<std::string_view> path = read_text(path_argument, "path");
  if (!path) return PyRef();
  // Every failure to read the file, whatever its cause, is reported as
  // FileNotFoundError with the read error's text; only an exception raised by
  // a signal handler while the read waited (Ctrl-C) is passed on as it is.
  Result<std::string> text = read_text_file(*path);
  if (!text.ok()) return raise_error_unless_set(PyExc_FileNotFoundError, text.message());
  // A long load (a large file, many alias replays) answers Ctrl-C: it stops
  // with the handler's exception set.
  Result<Policy> policy = load_policy(text.value(), &no_signal_raised);
  if (!policy.ok()) return raise_error_unless_set(PyExc_ValueError, policy.message());
  PyTypeObject* type = policy_type();
  if (type == nullptr) return PyRef();
  return new_native_object(type, std::make_unique<Policy>(std::move(policy).value()));
}

PyObject* from_file_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* keyword_names) {
  return run_entry([&] {
    PyObject* bound[1];
    if (!bind_vectorcall(kFromFileSignature, args, nargs, keyword_names, bound)) return PyRef();
    return from_file(bound[0]);
  });
}

PyMethodDef policy_methods[] = {
    {"from_file", as_method_table_entry(&from_file_entry),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_file(path)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

ClassSpec policy_spec() {
  return {"builtins.Policy", "", nullptr, policy_methods, sizeof(NativeObject<Policy>),
          &dealloc_native<Policy>};
}

TypeCell policy_cell(&policy_spec);

}  // namespace

PyTypeObject* policy_type() { return policy_cell.get(); }

const Policy* read_policy(PyObject* object, const char* parameter) {
  PyTypeObject* type = policy_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, type)) {
    raise_not_instance(object, "Policy");
    add_argument_note(parameter);
    return nullptr;
  }
  const Policy* policy = native_value<Policy>(object);
  if (policy == nullptr) add_argument_note(parameter);
  return policy;
}

const Policy* bind_policy_constructor(const char* class_name, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParameters[] = {"policy"};
  const Signature signature{class_name, "__new__", kParameters, 1};
  PyObject* bound[1];
  if (!bind_call(signature, args, kwargs, bound)) return nullptr;
  return read_policy(bound[0], "policy");
}

}  // namespace ossel::python
