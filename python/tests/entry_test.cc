// The boundary never lets a C++ exception reach the interpreter: an internal
// fault becomes pyo3_runtime.PanicException with the fault's text, exhausted
// memory becomes MemoryError, and a normal result passes through untouched.
#include "entry.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "embedded_python.h"

namespace ossel::python {
namespace {

using testing::take_raised_exception;

TEST(EntryTest, FaultsBecomeTheirPythonExceptions) {
  struct Case {
    void (*throw_fault)();
    const char* type_name;
    const char* message;  // null: any non-empty text
  };
  const Case cases[] = {
      {[] { throw std::out_of_range("vector index 7 out of range"); }, "pyo3_runtime.PanicException",
       "vector index 7 out of range"},
      {[] { throw std::runtime_error("bad \xff byte"); }, "pyo3_runtime.PanicException", "bad \xef\xbf\xbd byte"},
      {[] { throw std::bad_alloc(); }, "MemoryError", ""},
      {[] { throw 42; }, "pyo3_runtime.PanicException", nullptr},
  };
  for (const Case& fault : cases) {
    EXPECT_EQ(run_entry([&]() -> PyRef {
                fault.throw_fault();
                return PyRef::borrow(Py_None);
              }),
              nullptr);
    auto raised = take_raised_exception();
    ASSERT_TRUE(raised.exception);
    EXPECT_EQ(raised.type_name, fault.type_name);
    if (fault.message) EXPECT_EQ(raised.message, fault.message);
    else EXPECT_FALSE(raised.message.empty());
    EXPECT_EQ(PyErr_Occurred(), nullptr);
  }
  EXPECT_EQ(run_status_entry([]() -> int { throw std::logic_error("module step broke"); }), -1);
  auto raised = take_raised_exception();
  EXPECT_EQ(raised.type_name + ": " + raised.message, "pyo3_runtime.PanicException: module step broke");
}

TEST(EntryTest, PanicExceptionIsOneBaseExceptionWithTheMessageAsItsArgument) {
  PyObject* type = panic_exception_type();
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(panic_exception_type(), type) << "created once per process";
  EXPECT_EQ(PyObject_IsSubclass(type, PyExc_BaseException), 1);
  EXPECT_EQ(PyObject_IsSubclass(type, PyExc_Exception), 0);
  run_entry([]() -> PyRef { throw std::runtime_error("boom"); });
  auto raised = take_raised_exception();
  ASSERT_TRUE(raised.exception);
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(raised.exception.get())), type);
  PyRef args = PyRef::steal(PyObject_GetAttrString(raised.exception.get(), "args"));
  ASSERT_TRUE(args);
  EXPECT_EQ(PyTuple_Size(args.get()), 1);
}

TEST(EntryTest, ResultsAndPythonErrorsPassThroughUnchanged) {
  EXPECT_EQ(run_status_entry([] { return 0; }), 0);
  PyRef value = PyRef::steal(PyLong_FromLong(7));
  PyObject* result = run_entry([&] { return value; });
  EXPECT_EQ(result, value.get());
  Py_XDECREF(result);
  EXPECT_EQ(run_entry([] {
              PyErr_SetString(PyExc_ValueError, "Invalid tool call format: x");
              return PyRef();
            }),
            nullptr);
  auto raised = take_raised_exception();
  EXPECT_EQ(raised.type_name + ": " + raised.message, "ValueError: Invalid tool call format: x");
}

}  // namespace
}  // namespace ossel::python
