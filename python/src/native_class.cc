#include "native_class.h"

#include <vector>

namespace ossel::python {

PyRef create_class(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  if (spec.doc != nullptr && spec.doc[0] != '\0') {
    slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  }
  if (spec.constructor != nullptr) {
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.constructor)});
  }
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
  slots.push_back({Py_tp_methods, spec.methods});
  slots.push_back({0, nullptr});

  // Without Py_TPFLAGS_BASETYPE the class cannot be subclassed; a class
  // without a constructor must also refuse Python-level instantiation, or it
  // would inherit object.__new__ and make instances without a native value.
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (spec.constructor == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;

  PyType_Spec type_spec = {spec.type_name, spec.basic_size, 0, flags, slots.data()};
  return PyRef::steal(PyType_FromSpec(&type_spec));
}

void raise_no_native_value(PyObject* self) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(self)));
  if (name) PyErr_Format(PyExc_TypeError, "'%U' object is uninitialized", name.get());
}

PyTypeObject* TypeCell::get() {
  if (type_ == nullptr) type_ = create_class(spec_()).release();
  return reinterpret_cast<PyTypeObject*>(type_);
}

}  // namespace ossel::python
