// What Python code cannot see of a conversion: whatever the outcome, no Python
// error is left set on return and the converted object holds exactly the
// references it held before.
#include "convert.h"
#include "deferred_drops.h"

#include <gtest/gtest.h>

#include "embedded_python.h"

namespace ossel::python {
namespace {

constexpr const char* kValues = R"PY(
import collections.abc, dataclasses, sys, typing
sys.unraisablehook = lambda report: None

class Failing(collections.abc.Mapping):
    def keys(self): raise ValueError("keys failed")
    def __getitem__(self, key): raise KeyError(key)
    def __iter__(self): return iter(())
    def __len__(self): raise ValueError("len failed")

class Grumpy(Exception):
    def __str__(self): raise RuntimeError("no text")

class FailingText(Failing):
    def keys(self): raise Grumpy()

class FailingItem(collections.abc.Sequence):
    def __len__(self): return 2
    def __getitem__(self, i): raise IndexError(i) if i else LookupError("item failed")

class NoClass:
    @property
    def __class__(self): raise RuntimeError("no class")

@dataclasses.dataclass
class Tagged:
    tool: str
    kind: typing.ClassVar[str] = "tag"

looping = []
looping.append(looping)
values = [
    None, True, 2**63, 2**64, 2**128, 1.5, "caf\u00e9", "\ud800", b"x", bytearray(), object(), {1, 2},
    [1, (2, "x")], {"tool": "t", "name": "n"}, {"tool": 1}, {1: "x"}, {"args": {1: 2}},
    {"tool": "t", "args": {"n": [1.5, None], "s": {3}}}, {"tool": None, "params": range(3)},
    Failing(), FailingText(), FailingItem(), NoClass(), Tagged("t"), looping, {"args": looping},
]
)PY";

TEST(ConvertTest, LeavesNoErrorSetAndNoReferenceBehind) {
  PyRef globals = PyRef::steal(PyDict_New());
  PyRef code = PyRef::steal(Py_CompileString(kValues, "values", Py_file_input));
  ASSERT_TRUE(code);
  PyRef done = PyRef::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) PyErr_Print();
  ASSERT_TRUE(done);
  PyObject* values = PyDict_GetItemString(globals.get(), "values");  // borrowed
  for (Py_ssize_t i = 0; i < PyList_Size(values); ++i) {
    PyObject* value = PyList_GetItem(values, i);
    const Py_ssize_t references = Py_REFCNT(value);
    Result<JsonValue> json = json_from_python(value);
    EXPECT_FALSE(PyErr_Occurred()) << "value " << i;
    Result<ToolCall> call = tool_call_from_python(value);
    EXPECT_FALSE(PyErr_Occurred()) << "call " << i;
    // What the conversions dropped is released as the end of an entry would.
    release_deferred_drops();
    EXPECT_EQ(Py_REFCNT(value), references) << i;
    PyErr_Clear();
  }
}

}  // namespace
}  // namespace ossel::python
