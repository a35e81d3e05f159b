#include "module_def.h"

namespace ossel::python {
namespace {

int module_exec(PyObject* module) {
  // The classes are added here as they are built.
  (void)module;
  return 0;
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
