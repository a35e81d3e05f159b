#include "module_def.h"

#include <stdexcept>

#include "binding.h"
#include "interpreter_exit.h"

namespace ossel::python {
namespace {

// The classes in the order they are added to the module and to __all__.
struct ModuleClass {
  const char* name;
  PyTypeObject* (*type)();
};
constexpr ModuleClass kModuleClasses[] = {
    {"Policy", &policy_type},
    {"CoverageAnalyzer", &coverage_analyzer_type},
    {"OsselClient", &ossel_client_type},
    {"TraceExplainer", &trace_explainer_type},
};

// Replaces the current Python error by RuntimeError "An error occurred while
// initializing class {name}" whose __cause__ is the original error.
void raise_class_initialization_error(const char* name) {
  PyRef cause = PyRef::steal(PyErr_GetRaisedException());
  PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s", name);
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (cause) PyException_SetCause(error.get(), cause.release());
  PyErr_SetRaisedException(error.release());
}

// The module's __all__ list, created empty on first use.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
  PyErr_Clear();
  all = PyRef::steal(PyList_New(0));
  if (all && PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PyRef();
  return all;
}

// Adds every class; the first failure ends the step.
bool add_classes(PyObject* module) {
  for (const ModuleClass& entry : kModuleClasses) {
    PyTypeObject* type = entry.type();
    if (type == nullptr) {
      raise_class_initialization_error(entry.name);
      return false;
    }
    PyRef name = PyRef::steal(PyUnicode_FromString(entry.name));
    if (!name) return false;
    PyRef all = all_list(module);
    if (!all) return false;
    if (!PyList_Check(all.get())) {
      raise_not_instance(all.get(), "list");
      return false;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
      throw std::runtime_error("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) return false;
  }
  return true;
}

int module_exec(PyObject* module) {
  return run_status_entry([&] {
    if (!PyModule_Check(module)) {
      raise_not_instance(module, "PyModule");
      return -1;
    }
    return watch_interpreter_exit() && add_classes(module) ? 0 : -1;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc: an empty docstring, not a missing one
    0,          // m_size: the module keeps no state
    nullptr,    // m_methods
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyModuleDef* module_definition() { return &module_def; }

}  // namespace ossel::python
