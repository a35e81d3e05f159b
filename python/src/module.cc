// The module's only interpreter entry: multi-phase initialisation of
// "_native", whose one execution step adds the classes.
#include "module_def.h"

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(ossel::python::module_definition()); }
