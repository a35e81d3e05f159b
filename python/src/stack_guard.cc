#include "stack_guard.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace ossel::python {
namespace {

constexpr size_t kLargestReserve = 256 * 1024;

// The lowest address the calling thread may use for its frames plus the
// reserve, found once per thread (the stack grows downwards). Zero when the
// bounds cannot be read: the check then never fires.
uintptr_t stack_floor() {
  thread_local const uintptr_t floor = [] {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return uintptr_t{0};
    void* low = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0;
    pthread_attr_destroy(&attributes);
    if (!known) return uintptr_t{0};
    return reinterpret_cast<uintptr_t>(low) + std::min(size / 4, kLargestReserve);
  }();
  return floor;
}

}  // namespace

bool stack_nearly_exhausted() {
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

bool raise_if_stack_exhausted(const char* where) {
  if (!stack_nearly_exhausted()) return false;
  PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
  return true;
}

}  // namespace ossel::python
