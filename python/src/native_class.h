// Python classes whose instances each own one native C++ value.
//
// Every class is a heap type made once per process with PyType_FromSpec and
// cached for the life of the process, so a second import of the module gets
// the very same type objects. The types take no subclasses, carry no instance
// dict and no weak-reference slot, and are not garbage-collected: an instance
// holds no reference to any other Python object, only its native value.
#ifndef OSSEL_PYTHON_NATIVE_CLASS_H_
#define OSSEL_PYTHON_NATIVE_CLASS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "py_ref.h"

namespace ossel::python {

// The instance layout: the object header, then the owned native value. The
// value lives on the C++ heap so that it never moves once built.
template <class T>
struct NativeObject {
  PyObject_HEAD
  T* value;
};

// A METH_FASTCALL | METH_KEYWORDS method entry, as the method table stores it.
using FastMethod = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* keyword_names);
inline PyCFunction as_method_table_entry(FastMethod method) {
  // The method table stores every calling convention under one pointer type;
  // the flags tell the interpreter which one to call it with.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// What a class looks like to the interpreter.
struct ClassSpec {
  const char* type_name;   // "builtins.{class}": the types have no module of their own
  const char* doc;         // stored doc text; an empty one adds no doc slot
  newfunc constructor;     // null for a class Python code cannot instantiate
  PyMethodDef* methods;    // terminated by a zeroed entry
  int basic_size;          // sizeof(NativeObject<T>)
  destructor dealloc;      // dealloc_native<T>
};

// Builds a type object from `spec`; null with the Python error set on failure.
PyRef create_class(const ClassSpec& spec);

// One class's type object, created on first use and then kept for the life of
// the process (it is never released, because instances and other module
// objects may refer to it until the interpreter ends).
class TypeCell {
 public:
  using SpecFunction = ClassSpec (*)();
  explicit constexpr TypeCell(SpecFunction spec) : spec_(spec) {}

  // The cached type, created now if this is its first use; null with the
  // Python error set when creation fails (a later call tries again).
  PyTypeObject* get();

 private:
  SpecFunction spec_;
  PyObject* type_ = nullptr;
};

// Sets TypeError "'{class}' object is uninitialized".
void raise_no_native_value(PyObject* self);

// The native value of an instance of a class made from a NativeObject<T> spec;
// null with TypeError set for an instance that has none. The types are
// mutable, so Python code can give a class a __new__ that makes a bare
// object.__new__ instance; using one must fail, not read a null value.
template <class T>
T* native_value(PyObject* self) {
  T* value = reinterpret_cast<NativeObject<T>*>(self)->value;
  if (value == nullptr) raise_no_native_value(self);
  return value;
}

// A new instance of `type` owning `value`. When the interpreter cannot
// allocate the object, its error is set, null is returned and `value` is
// destroyed with the unique_ptr.
template <class T>
PyRef new_native_object(PyTypeObject* type, std::unique_ptr<T> value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef object = PyRef::steal(alloc(type, 0));
  if (object) reinterpret_cast<NativeObject<T>*>(object.get())->value = value.release();
  return object;
}

// The deallocation slot: destroys the native value, frees the object with its
// type's free function and drops the reference every heap-type instance holds
// to its type.
template <class T>
void dealloc_native(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<NativeObject<T>*>(self)->value;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

}  // namespace ossel::python

#endif  // OSSEL_PYTHON_NATIVE_CLASS_H_
