#include "embedded_python.h"

#include <gtest/gtest.h>

namespace ossel::python::testing {
namespace {

class EmbeddedPython : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};

[[maybe_unused]] ::testing::Environment* const kEmbeddedPython =
    ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

std::string text_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "<str() failed>";
  }
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
  return utf8 != nullptr ? utf8 : "<not UTF-8>";
}

}  // namespace

RaisedException take_raised_exception() {
  RaisedException raised;
  raised.exception = PyRef::steal(PyErr_GetRaisedException());
  if (!raised.exception) return raised;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.exception.get()));
  PyRef module = PyRef::steal(PyObject_GetAttrString(type, "__module__"));
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__qualname__"));
  std::string module_text = module ? text_of(module.get()) : "";
  raised.type_name = (module_text == "builtins" ? "" : module_text + ".") +
                     (name ? text_of(name.get()) : "?");
  raised.message = text_of(raised.exception.get());
  PyErr_Clear();
  return raised;
}

}  // namespace ossel::python::testing
