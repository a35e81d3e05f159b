// Drives the conversion of Python values directly, inside an embedded
// CPython, with objects built by Python snippets.
#include "convert.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "py_ref.h"

namespace ossel::python {
namespace {

// Helpers the test expressions refer to.
constexpr const char* kPrelude = R"PY(
import collections, collections.abc, dataclasses, enum, sys, types, typing

unraisable = []
sys.unraisablehook = lambda report: unraisable.append(report.exc_type.__name__)

class Pairs(collections.abc.Mapping):
    """Reports its (key, value) pairs verbatim, repeated and non-str keys included."""
    def __init__(self, *pairs): self.pairs = list(pairs)
    def __getitem__(self, key): return dict(self.pairs)[key]
    def __iter__(self): return iter(self.keys())
    def __len__(self): return len(self.pairs)
    def keys(self): return [k for k, _ in self.pairs]
    def values(self): return [v for _, v in self.pairs]

class Items(collections.abc.Sequence):
    def __init__(self, *items): self.items = list(items)
    def __len__(self): return len(self.items)
    def __getitem__(self, i): return self.items[i]

class Grumpy(Exception):
    def __str__(self): raise RuntimeError("no text")

class Raising(collections.abc.Mapping):
    """A mapping whose method named `failing` raises `error`."""
    def __init__(self, failing, error=ValueError):
        self.failing, self.error = failing, error
    def _run(self, name, result):
        if name == self.failing: raise self.error(name + " failed")
        return result
    def keys(self): return self._run("keys", ["tool"])
    def values(self): return self._run("values", ["t"])
    def __len__(self): return self._run("len", 1)
    def __getitem__(self, key): raise KeyError(key)
    def __iter__(self): return iter(())

class RaisingSequence(collections.abc.Sequence):
    def __init__(self, failing): self.failing = failing
    def __len__(self):
        if self.failing == "len": raise ValueError("len failed")
        return 2
    def __getitem__(self, i):
        if self.failing == "item" and i == 1: raise ValueError("item failed")
        return i

class NoClass:
    """isinstance() against an abstract class raises for this object."""
    @property
    def __class__(self): raise RuntimeError("no class")

class Outer:
    class Inner: pass

class Color(enum.IntEnum):
    RED = 7

class Text(str): pass

@dataclasses.dataclass
class Call:
    tool: object = None
    args: object = None

@dataclasses.dataclass
class Point:
    x: object
    y: object

@dataclasses.dataclass
class Tagged:
    tool: str
    kind: typing.ClassVar[str] = "tag"

@dataclasses.dataclass
class Note:
    note: object

class FakeDataclass:
    __dataclass_fields__ = 5

def nest(depth, leaf=0):
    for _ in range(depth): leaf = [leaf]
    return leaf

looping_list = []
looping_list.append(looping_list)
looping_dict = {}
looping_dict["self"] = [looping_dict]

class Shrinker(collections.abc.Sequence):
    """Empties `victim` when its length is asked for."""
    def __init__(self, victim): self.victim = victim
    def __len__(self): self.victim.clear(); return 0
    def __getitem__(self, i): raise IndexError(i)

def shrinking_list():
    outer = [None, "".join(["t", "wo"])]
    outer[0] = Shrinker(outer)
    return outer

class KeptKeys(collections.abc.Mapping):
    """keys() hands out a list it keeps; converting the first value empties it."""
    def __init__(self): self.kept = ["".join(["k", str(i)]) for i in range(2)]
    def keys(self): return self.kept
    def values(self): return [Shrinker(self.kept), 2]
    def __len__(self): return 2
    def __getitem__(self, key): raise KeyError(key)
    def __iter__(self): return iter(self.kept)

def fragile():
    point = Point(None, [1])
    point.x = Shrinker(point.__dict__)
    return point

class SetGrower(collections.abc.Sequence):
    def __init__(self, target): self.target = target
    def __hash__(self): return 1
    def __len__(self): self.target.add(object()); return 0
    def __getitem__(self, i): raise IndexError(i)

def growing_set():
    grown = set()
    grown.add(SetGrower(grown))
    return grown
)PY";

class ConvertTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    globals_ = PyDict_New();
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    PyDict_SetItemString(globals_, "__builtins__", builtins.get());
    PyRef code = PyRef::steal(PyUnicode_FromString(kPrelude));
    PyRef exec = PyRef::steal(PyObject_GetAttrString(builtins.get(), "exec"));
    PyRef done = PyRef::steal(PyObject_CallFunctionObjArgs(exec.get(), code.get(), globals_, nullptr));
    if (!done) PyErr_Print();
    ASSERT_TRUE(done);
  }

  // The value of a Python expression evaluated among the prelude's names.
  static PyRef eval(const std::string& expression) {
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    PyRef eval = PyRef::steal(PyObject_GetAttrString(builtins.get(), "eval"));
    PyRef text = PyRef::steal(PyUnicode_FromString(expression.c_str()));
    PyRef value = PyRef::steal(PyObject_CallFunctionObjArgs(eval.get(), text.get(), globals_, nullptr));
    if (!value) PyErr_Print();
    EXPECT_TRUE(value) << expression;
    return value;
  }

  static long unraisable_count() { return PyLong_AsLong(eval("len(unraisable)").get()); }

  // The conversion's outcome as one comparable text: the JSON, or "error: ...".
  // The object must hold as many references afterwards as before, unless its
  // own Python code let go of some (`keeps_references` false).
  static std::string json_outcome(const std::string& expression, bool keeps_references = true) {
    PyRef object = eval(expression);
    if (!object) return "<expression failed>";
    Py_ssize_t references = Py_REFCNT(object.get());
    Result<JsonValue> result = json_from_python(object.get());
    EXPECT_FALSE(PyErr_Occurred()) << expression;
    if (keeps_references) {
      EXPECT_EQ(Py_REFCNT(object.get()), references) << expression;
    }
    return result ? to_json(result.value()) : "error: " + result.message();
  }

  // "{tool} {args JSON}", "{tool} -" without arguments, or "error: ...".
  static std::string call_outcome(const std::string& expression) {
    PyRef object = eval(expression);
    if (!object) return "<expression failed>";
    Py_ssize_t references = Py_REFCNT(object.get());
    Result<ToolCall> result = tool_call_from_python(object.get());
    EXPECT_FALSE(PyErr_Occurred()) << expression;
    EXPECT_EQ(Py_REFCNT(object.get()), references) << expression;
    if (!result) return "error: " + result.message();
    return result->tool + " " + (result->args ? to_json(*result->args) : "-");
  }

  static PyObject* globals_;
};

PyObject* ConvertTest::globals_ = nullptr;

struct Case {
  std::string expression;
  std::string outcome;
};

TEST_F(ConvertTest, ScalarsAndBuiltInContainers) {
  const Case cases[] = {
      {"None", "null"},
      {"True", "true"},
      {"False", "false"},
      {"[True, 1]", "[true,1]"},  // bool is tested before int
      {"0", "0"},
      {"-1", "-1"},
      {"Color.RED", "7"},
      {"-2**63", "-9223372036854775808"},
      {"2**64 - 1", "18446744073709551615"},
      {"2**64", "error: JSON number out of range"},
      {"-2**63 - 1", "error: JSON number out of range"},
      {"2**128 - 1", "error: JSON number out of range"},
      {"-2**127", "error: JSON number out of range"},
      {"2**128", "error: OverflowError: int too big to convert"},
      {"-2**127 - 1", "error: OverflowError: int too big to convert"},
      {"1.5", "1.5"},
      {"[float('nan'), float('inf'), -float('inf')]", "[null,null,null]"},
      {"'caf\\u00e9'", "\"caf\xc3\xa9\""},
      {"Text('sub')", "\"sub\""},
      {"'\\ud800'",
       "error: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
       "surrogates not allowed"},
      {"[1, (2, 'x'), []]", "[1,[2,\"x\"],[]]"},
      {"({3},)", "[[3]]"},
      {"frozenset()", "[]"},
      {"{'b': 1, 'a': {'c': None}}", "{\"b\":1,\"a\":{\"c\":null}}"},
      {"collections.OrderedDict([('z', 1), ('y', 2)])", "{\"z\":1,\"y\":2}"},
      {"{1: 'x'}", "error: unexpected type: 'int' object is not an instance of 'str'"},
      {"{None: 'x'}", "error: unexpected type: 'None' is not an instance of 'str'"},
      {"b'x'", "error: invalid type: byte array, expected any valid JSON value"},
      {"bytearray(b'x')", "error: unexpected type: 'bytearray' object is not an instance of 'bytes'"},
      {"[1, {'k': [b'x']}]", "error: invalid type: byte array, expected any valid JSON value"},
      {"object()", "error: unsupported type object"},
      {"(x for x in ())", "error: unsupported type generator"},
      {"Outer.Inner()", "error: unsupported type Outer.Inner"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_outcome(c.expression), c.outcome) << c.expression;
}

TEST_F(ConvertTest, AbstractContainersAndDataclasses) {
  const Case cases[] = {
      {"range(3)", "[0,1,2]"},
      {"Items('a', Items())", "[\"a\",[]]"},
      {"types.MappingProxyType({'a': 1})", "{\"a\":1}"},
      {"Pairs(('a', 1), ('b', 2), ('a', 3))", "{\"a\":3,\"b\":2}"},
      {"Pairs((1, 'x'))", "error: unexpected type: 'int' object is not an instance of 'str'"},
      {"Point(1, Point([], {'k': 2.5}))", "{\"x\":1,\"y\":{\"x\":[],\"y\":{\"k\":2.5}}}"},
      {"[Call('t')]", "[{\"tool\":\"t\",\"args\":null}]"},
      {"Tagged('t')", "error: KeyError: 'kind'"},
      {"FakeDataclass()", "error: unexpected type: 'int' object is not an instance of 'dict'"},
      {"RaisingSequence('len')", "error: ValueError: len failed"},
      {"RaisingSequence('item')", "error: ValueError: item failed"},
      {"RaisingSequence(None)", "[0,1]"},
      {"Raising('keys')", "error: ValueError: keys failed"},
      {"Raising('values')", "error: ValueError: values failed"},
      {"Raising('len')", "error: ValueError: len failed"},
      {"Raising('keys', Grumpy)", "error: Grumpy: <exception str() failed>"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_outcome(c.expression), c.outcome) << c.expression;
}

TEST_F(ConvertTest, ToolCalls) {
  const Case cases[] = {
      {"{}", "unknown -"},
      {"{'tool': 'read'}", "read -"},
      {"{'name': 'read', 'args': {'path': '/tmp'}}", "read {\"path\":\"/tmp\"}"},
      {"{Text('tool'): Text('read')}", "read -"},
      {"{'tool': None, 'tool_name': 'fallback'}", "fallback -"},
      {"{'tool_name': 'second', 'tool': 'first'}", "first -"},
      {"{'tool': '', 'tool_name': 'ignored'}", " -"},
      {"{'args': None, 'params': {'p': 1}}", "unknown {\"p\":1}"},
      {"{'arguments': [1, 2]}", "unknown [1,2]"},
      {"{'params': 2, 'args': 1}", "unknown 1"},
      {"{'args': None}", "unknown -"},
      {"{'Tool': b'x', 'other': object(), 'tool': 'kept'}", "kept -"},
      {"types.MappingProxyType({'tool': 'read', 'args': types.MappingProxyType({'k': 'v'})})",
       "read {\"k\":\"v\"}"},
      {"Call('read', {'x': 1})", "read {\"x\":1}"},
      {"Note(b'never looked at')", "unknown -"},
      {"Tagged('t')", "error: KeyError: 'kind'"},
      {"FakeDataclass()", "error: unexpected type: 'int' object is not an instance of 'dict'"},
      {"None", "error: unexpected type: 'None' is not an instance of 'Mapping'"},
      {"1", "error: unexpected type: 'int' object is not an instance of 'Mapping'"},
      {"[('tool', 'x')]", "error: unexpected type: 'list' object is not an instance of 'Mapping'"},
      {"{1: 'x'}", "error: dict keys must have type str"},
      {"{'tool': 'a', 'name': 'b'}", "error: duplicate field `tool`"},
      {"{'tool': None, 'name': 'b'}", "error: duplicate field `tool`"},
      {"Pairs(('tool', 'a'), ('tool', b'x'))", "error: duplicate field `tool`"},
      {"Pairs(('tool_name', 'a'), ('tool_name', 'b'))", "error: duplicate field `tool_name`"},
      {"Pairs(('args', 1), ('args', 2))", "error: duplicate field `args`"},
      {"{'params': 1, 'arguments': 2}", "error: duplicate field `params`"},
      {"Pairs(('arguments', 1), ('arguments', 2))", "error: duplicate field `params`"},
      {"{'tool': 1}", "error: unexpected type: 'int' object is not an instance of 'str'"},
      {"{'tool_name': ['x']}", "error: unexpected type: 'list' object is not an instance of 'str'"},
      {"{'tool': '\\udfff'}",
       "error: UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 0: "
       "surrogates not allowed"},
      {"{'args': {1: 2}}", "error: unexpected type: 'int' object is not an instance of 'str'"},
      {"{'args': b'x', 'tool': 1}", "error: invalid type: byte array, expected any valid JSON value"},
      {"{'tool': 1, 'args': b'x'}", "error: unexpected type: 'int' object is not an instance of 'str'"},
      {"{'args': {'n': 2**64}}", "error: JSON number out of range"},
      {"{'args': bytearray()}", "error: unexpected type: 'bytearray' object is not an instance of 'bytes'"},
      {"{'args': [object()]}", "error: unsupported type object"},
      {"Raising('keys')", "error: ValueError: keys failed"},
      {"Raising('values')", "error: ValueError: values failed"},
      {"Raising('len')", "error: ValueError: len failed"},
      {"Raising(None)", "t -"},
  };
  for (const Case& c : cases) EXPECT_EQ(call_outcome(c.expression), c.outcome) << c.expression;
}

TEST_F(ConvertTest, FailingInstanceTestIsReportedAsUnraisable) {
  long before = unraisable_count();
  EXPECT_EQ(call_outcome("NoClass()"), "error: unexpected type: 'NoClass' object is not an instance of 'Mapping'");
  EXPECT_EQ(unraisable_count(), before + 1);
  // The Sequence test and the Mapping test both raise; then nothing else fits.
  EXPECT_EQ(json_outcome("NoClass()"), "error: unsupported type NoClass");
  EXPECT_EQ(unraisable_count(), before + 3);
}

TEST_F(ConvertTest, NestingDepthIsBounded) {
  const std::string deepest = std::string(kMaxNestingDepth, '[') + "0" + std::string(kMaxNestingDepth, ']');
  const std::string too_deep = std::string("error: ") + kNestingTooDeepMessage;
  const Case cases[] = {
      {"nest(256)", deepest},
      {"nest(257)", too_deep},
      {"looping_list", too_deep},
      {"looping_dict", too_deep},
      {"nest(300, {'k': 1})", too_deep},
  };
  for (const Case& c : cases) EXPECT_EQ(json_outcome(c.expression), c.outcome) << c.expression;
  // The arguments of a call get the whole depth; the call itself does not count.
  EXPECT_EQ(call_outcome("{'tool': 't', 'args': nest(256)}"), "t " + deepest);
  EXPECT_EQ(call_outcome("{'tool': 't', 'args': looping_list}"), too_deep);
  EXPECT_EQ(call_outcome("{'tool': 't', 'params': {'a': looping_dict}}"), too_deep);
}

// Python code run in the middle of a conversion empties the containers being
// walked; the conversion fails cleanly instead of reading freed memory.
TEST_F(ConvertTest, ContainersMutatedDuringConversion) {
  const Case cases[] = {
      {"shrinking_list()", "error: IndexError: list index out of range"},
      {"KeptKeys()", "error: IndexError: list index out of range"},
      {"fragile()", "error: KeyError: 'y'"},
      {"growing_set()", "error: RuntimeError: Set changed size during iteration"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_outcome(c.expression, false), c.outcome) << c.expression;
  EXPECT_EQ(call_outcome("{'args': shrinking_list()}"), "error: IndexError: list index out of range");
}

long resident_kilobytes() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Every reference taken during a conversion is released: converting the same
// objects many times keeps the process's memory flat.
TEST_F(ConvertTest, RepeatedConversionsKeepMemoryFlat) {
  PyRef call = eval(
      "{'tool': 'search', 'args': {'query': 'x' * 40, 'limit': 10, 'ratio': 0.5, 'tags': ('a', 'b'),"
      " 'proxy': types.MappingProxyType({'p': [1, 2]}), 'point': Point(1, range(3)), 'set': {7}},"
      " 'extra': object()}");
  PyRef failing = eval("{'args': {'ok': [1, 2], 'bad': Pairs(('k', b'x'))}}");
  auto run = [&](int times) {
    for (int i = 0; i < times; ++i) {
      ASSERT_TRUE(tool_call_from_python(call.get()));
      ASSERT_FALSE(tool_call_from_python(failing.get()));
    }
  };
  run(1000);
  long before = resident_kilobytes();
  auto start = std::chrono::steady_clock::now();
  run(100000);
  auto elapsed = std::chrono::steady_clock::now() - start;
  long growth = resident_kilobytes() - before;
  std::printf("100000 x 2 conversions: %lld ms, resident memory %+ld KiB\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()),
              growth);
  EXPECT_LT(growth, 1024);
}

}  // namespace
}  // namespace ossel::python

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  int status = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) status = 1;
  return status;
}
