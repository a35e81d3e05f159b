// A blocking call that a signal interrupts lets Python's handlers run: the
// call is made again when they return, and given up, with the exception left
// set, when one raises. The waits on FIFOs that rely on this are driven from
// Python in test_interrupts.py.
#include "trace_file/blocking_call.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <string>

#include "embedded_python.h"
#include "py_ref.h"

namespace ossel::python {
namespace {

using testing::take_raised_exception;

// Installs a Python handler for SIGUSR1, given as the text of an expression
// that may use the signal module, and restores the default on the way out.
class PythonSignalHandler {
 public:
  explicit PythonSignalHandler(const char* handler) {
    PyRef eval = PyRef::steal(PyObject_GetAttrString(builtins_.get(), "eval"));
    PyRef globals = PyRef::steal(PyDict_New());
    PyDict_SetItemString(globals.get(), "signal", signal_.get());
    PyRef function = PyRef::steal(PyObject_CallFunction(eval.get(), "sO", handler, globals.get()));
    EXPECT_TRUE(function && install(function.get())) << handler;
  }
  ~PythonSignalHandler() {
    PyRef default_action = PyRef::steal(PyObject_GetAttrString(signal_.get(), "SIG_DFL"));
    install(default_action.get());
  }

 private:
  bool install(PyObject* action) {
    return static_cast<bool>(
        PyRef::steal(PyObject_CallMethod(signal_.get(), "signal", "iO", SIGUSR1, action)));
  }
  PyRef builtins_ = PyRef::steal(PyImport_ImportModule("builtins"));
  PyRef signal_ = PyRef::steal(PyImport_ImportModule("signal"));
};

TEST(BlockingCallTest, AnInterruptedCallRunsTheHandlersAndGivesUpWhenOneRaises) {
  struct Case {
    const char* handler;
    int interruptions;  // how many calls in a row a signal interrupts
    int calls;          // how many calls are made
    int result;
    std::string raised;  // "{type}: {message}" of the exception left set, or empty
  };
  const Case cases[] = {
      {"lambda signum, frame: None", 0, 1, 7, ""},
      {"lambda signum, frame: None", 3, 4, 7, ""},
      {"signal.default_int_handler", 1, 1, -1, "KeyboardInterrupt: "},
      {"lambda signum, frame: 1 / 0", 2, 1, -1, "ZeroDivisionError: division by zero"},
  };
  for (const Case& test : cases) {
    PythonSignalHandler handler(test.handler);
    int calls = 0;
    errno = 0;
    const int result = call_blocking([&]() noexcept {
      if (calls++ >= test.interruptions) return 7;
      raise(SIGUSR1);  // runs the interpreter's own C handler, which only notes the signal
      errno = EINTR;
      return -1;
    });
    EXPECT_EQ(result, test.result) << test.handler;
    EXPECT_EQ(calls, test.calls) << test.handler;
    auto raised = take_raised_exception();
    EXPECT_EQ(raised.exception ? raised.type_name + ": " + raised.message : "", test.raised);
    if (result < 0) {
      EXPECT_EQ(errno, EINTR);
    }
  }
}

}  // namespace
}  // namespace ossel::python
