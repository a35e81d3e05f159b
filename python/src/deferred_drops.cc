#include "deferred_drops.h"

#include <cstddef>
#include <vector>

#include "interpreter_exit.h"

namespace ossel::python {
namespace {

// The references this thread dropped and has not yet released. Released
// first in, first out; `next` is the first one not yet released, so that a
// release that Python code starts inside another one goes on where it is.
struct DeferredDrops {
  std::vector<PyObject*> objects;
  size_t next = 0;
};

// Left behind when the thread ends: whatever is still queued then (on a
// thread that finalization ended) belongs to the interpreter.
thread_local DeferredDrops deferred;

// Whether freeing the object can run no Python code: the exact built-in types
// whose instances hold no other object.
bool frees_without_running_code(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
         type == &PyBytes_Type;
}

}  // namespace

void drop_reference_in_destructor(PyObject* object) noexcept {
  if (interpreter_finalizing()) return;
  if (Py_REFCNT(object) > 1 || frees_without_running_code(object)) {
    Py_DECREF(object);
    return;
  }
  try {
    deferred.objects.push_back(object);
  } catch (...) {
    // Out of memory: the object is kept rather than freed here.
  }
}

void release_deferred_drops() {
  DeferredDrops& drops = deferred;
  while (drops.next < drops.objects.size()) {
    PyObject* object = drops.objects[drops.next++];
    Py_DECREF(object);
  }
  drops.objects.clear();
  drops.next = 0;
}

}  // namespace ossel::python
