"""Conversion of Python values, as users see it: tool calls as
TraceExplainer.explain reads them, trace objects as OsselClient.record_trace
writes them. An outcome is "{tool} {args}" ("-" without arguments) for a call,
the line written for a trace, or "error: {text}" after the operation's prefix."""
import collections
import collections.abc
import dataclasses
import enum
import json
import sys
import types
import typing

import pytest

import ossel._native as native

TOO_DEEP = "error: value nested more than 256 levels deep"
SURROGATE = "error: UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


class Pairs(collections.abc.Mapping):
    """Reports its (key, value) pairs verbatim, repeated and non-str keys included;
    its method named `failing` ("keys", "values" or "len") raises `error`."""

    def __init__(self, *pairs, failing=None, error=ValueError):
        self.pairs, self.key_list, self.failing, self.error = list(pairs), [k for k, _ in pairs], failing, error

    def check(self, name, result):
        if name == self.failing:
            raise self.error(name + " failed")
        return result

    def keys(self):
        return self.check("keys", self.key_list)

    def values(self):
        return self.check("values", [value for _, value in self.pairs])

    def __len__(self):
        return self.check("len", len(self.pairs))

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter(self.key_list)


class Items(collections.abc.Sequence):
    """A sequence whose len() first runs `on_len` and may claim `length` items; its
    `failing` step ("len" or item 1) raises."""

    def __init__(self, *items, failing=None, on_len=lambda: None, length=None):
        self.items, self.failing, self.on_len, self.length = list(items), failing, on_len, length

    def __len__(self):
        self.on_len()
        if self.failing == "len":
            raise ValueError("len failed")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        if self.failing == "item" and index == 1:
            raise ValueError("item failed")
        return self.items[index]


class NoClass:
    """isinstance() against an abstract class raises for this object."""

    @property
    def __class__(self):
        raise RuntimeError("no class")


Grumpy = type("Grumpy", (Exception,), {"__str__": lambda self: 1 / 0})
Inner = type("Inner", (), {"__qualname__": "Outer.Inner"})
FakeDataclass = type("FakeDataclass", (), {"__dataclass_fields__": 5})
Text = type("Text", (str,), {})
Level = enum.IntEnum("Level", {"HIGH": 3})
Call = dataclasses.make_dataclass("Call", [("tool", object, None), ("args", object, None)])
Renamed = dataclasses.make_dataclass("Renamed", ["name", "arguments", ("note", object, b"never converted")])
Tagged = dataclasses.make_dataclass("Tagged", [("tool", str), ("kind", typing.ClassVar[str], "tag")])
Point = dataclasses.make_dataclass("Point", ["x", "y"])


def nest(depth, leaf=0):
    for _ in range(depth):
        leaf = [leaf]
    return leaf


def looping_list():
    value = []
    value.append(value)
    return value


def looping_dict():
    value = {}
    value["self"] = [value]
    return value


# Containers that Python code, run in the middle of their conversion, empties or grows.
def shrinking_list():
    value = [None, "two"]
    value[0] = Items(on_len=value.clear)
    return value


def emptied_dict():
    value = {"a": None, "b": ["two"]}
    value["a"] = Items(on_len=value.clear)
    return value


def kept_keys():
    mapping = Pairs(("k0", None), ("k1", 2))
    mapping.pairs[0] = ("k0", Items(on_len=mapping.key_list.clear))
    return mapping


def fragile_point():
    point = Point(None, [1])
    point.x = Items(on_len=point.__dict__.clear)
    return point


def growing_set():
    grown = set()
    grown.add(Items(on_len=lambda: grown.add(object())))
    return grown


@pytest.fixture
def explain(load_policy):
    explainer = native.TraceExplainer(load_policy())

    def outcome(call):
        try:
            step = json.loads(explainer.explain([{"tool": "fine"}, call]))["steps"][1]
        except ValueError as error:
            assert type(error) is ValueError and not hasattr(error, "__notes__")
            assert str(error).startswith("Invalid tool call format: ")
            return "error: " + str(error).removeprefix("Invalid tool call format: ")
        return step["tool"] + " " + (json.dumps(step["args"], separators=(",", ":")) if "args" in step else "-")

    return keeping_no_reference(outcome)


def keeping_no_reference(outcome):
    """Whatever the outcome, no reference to the converted value is kept (a value
    that empties itself may lose the references its own parts held to it)."""
    def checked(value):
        references = sys.getrefcount(value)
        text = outcome(value)
        assert sys.getrefcount(value) <= references
        return text

    return checked


@pytest.mark.parametrize("call, outcome", [
    ({}, "unknown -"),
    ({"tool": "read"}, "read -"),
    ({"name": "read", "args": {"path": "/tmp"}}, 'read {"path":"/tmp"}'),
    ({Text("tool"): Text("read")}, "read -"),
    ({"tool": None, "tool_name": "fallback"}, "fallback -"),
    ({"tool_name": "second", "tool": "first"}, "first -"),
    ({"tool": "", "tool_name": "ignored"}, " -"),
    ({"args": None, "params": {"p": 1}}, 'unknown {"p":1}'),
    ({"arguments": [1, 2]}, "unknown [1,2]"),
    ({"params": 2, "args": 1}, "unknown 1"),
    ({"args": None}, "unknown -"),
    ({"Tool": b"x", "other": object(), "tool": "kept"}, "kept -"),
    (types.MappingProxyType({"tool": "read", "args": types.MappingProxyType({"k": "v"})}), 'read {"k":"v"}'),
    (Call("read", {"x": (1, {2})}), 'read {"x":[1,[2]]}'),
    (Renamed("write", {"y": 1}), 'write {"y":1}'),
    (Pairs(("tool", "t")), "t -"),
    ({"tool": "t", "args": nest(256)}, "t " + json.dumps(nest(256))),
    (None, "error: unexpected type: 'None' is not an instance of 'Mapping'"),
    (1, "error: unexpected type: 'int' object is not an instance of 'Mapping'"),
    ([("tool", "x")], "error: unexpected type: 'list' object is not an instance of 'Mapping'"),
    ({1: "x"}, "error: dict keys must have type str"),
    ({"tool": "a", "name": "b"}, "error: duplicate field `tool`"),
    ({"tool": None, "name": "b"}, "error: duplicate field `tool`"),
    (Pairs(("tool", "a"), ("tool", b"x")), "error: duplicate field `tool`"),
    (Pairs(("tool_name", "a"), ("tool_name", "b")), "error: duplicate field `tool_name`"),
    (Pairs(("args", 1), ("args", 2)), "error: duplicate field `args`"),
    ({"params": 1, "arguments": 2}, "error: duplicate field `params`"),
    (Pairs(("arguments", 1), ("arguments", 2)), "error: duplicate field `params`"),
    ({"tool": 1}, "error: unexpected type: 'int' object is not an instance of 'str'"),
    ({"tool_name": ["x"]}, "error: unexpected type: 'list' object is not an instance of 'str'"),
    ({"tool": "\ud800"}, SURROGATE),
    ({"args": {1: 2}}, "error: unexpected type: 'int' object is not an instance of 'str'"),
    ({"args": {"n": 2**64}}, "error: JSON number out of range"),
    ({"args": b"x"}, "error: invalid type: byte array, expected any valid JSON value"),
    ({"args": bytearray()}, "error: unexpected type: 'bytearray' object is not an instance of 'bytes'"),
    ({"params": [object()]}, "error: unsupported type object"),
    # The first failing key in the mapping's order is the one reported.
    ({"args": b"x", "tool": 1}, "error: invalid type: byte array, expected any valid JSON value"),
    ({"tool": 1, "args": b"x"}, "error: unexpected type: 'int' object is not an instance of 'str'"),
    (Tagged("t"), "error: KeyError: 'kind'"),
    (FakeDataclass(), "error: unexpected type: 'int' object is not an instance of 'dict'"),
    (Pairs(("tool", "t"), failing="keys"), "error: ValueError: keys failed"),
    (Pairs(("tool", "t"), failing="values"), "error: ValueError: values failed"),
    (Pairs(("tool", "t"), failing="len"), "error: ValueError: len failed"),
    (Pairs(failing="keys", error=Grumpy), "error: Grumpy: <exception str() failed>"),
    ({"tool": "t", "args": nest(257)}, TOO_DEEP),
    ({"tool": "t", "args": looping_list()}, TOO_DEEP),
    ({"tool": "t", "params": {"a": looping_dict()}}, TOO_DEEP),
    ({"args": shrinking_list()}, "error: IndexError: list index out of range"),
])
def test_tool_calls(explain, call, outcome):
    assert explain(call) == outcome


@pytest.fixture
def record(tmp_path):
    path = tmp_path / "trace.jsonl"
    client = native.OsselClient(str(path))

    def outcome(value):
        try:
            client.record_trace(value)
        except ValueError as error:
            assert str(error).startswith("Invalid trace format: ") and path.read_text() == ""
            return "error: " + str(error).removeprefix("Invalid trace format: ")
        line = path.read_text()
        assert line.endswith("\n") and line.count("\n") == 1
        path.write_text("")
        return line[:-1]

    return keeping_no_reference(outcome)


@pytest.mark.parametrize("value, outcome", [
    (None, "null"),
    ([True, False, 1, 0, -1], "[true,false,1,0,-1]"),
    ({"level": Level.HIGH}, '{"level":3}'),
    ([-2**63, 2**64 - 1], "[-9223372036854775808,18446744073709551615]"),
    ([1.5, 1e16, float("nan"), float("inf"), -float("inf")], "[1.5,1e+16,null,null,null]"),
    ({"b": 1, "a": [Text("x"), "caf\u00e9"]}, '{"b":1,"a":["x","caf\u00e9"]}'),
    (collections.OrderedDict([("z", 1), ("y", 2)]), '{"z":1,"y":2}'),
    (({3}, frozenset(), range(3)), "[[3],[],[0,1,2]]"),
    (Items("a", Items()), '["a",[]]'),
    (types.MappingProxyType({"k": None}), '{"k":null}'),
    (Pairs(("a", 1), ("b", 2), ("a", 3)), '{"a":3,"b":2}'),
    (Point(1, Point([], {"k": 2.5})), '{"x":1,"y":{"x":[],"y":{"k":2.5}}}'),
    ({"calls": [Call("read")]}, '{"calls":[{"tool":"read","args":null}]}'),
    (nest(256), "[" * 256 + "0" + "]" * 256),
    (2**64, "error: JSON number out of range"),
    (-2**63 - 1, "error: JSON number out of range"),
    (-2**127, "error: JSON number out of range"),
    ({"n": 2**128}, "error: OverflowError: int too big to convert"),
    (-2**127 - 1, "error: OverflowError: int too big to convert"),
    ({1: "x"}, "error: unexpected type: 'int' object is not an instance of 'str'"),
    ({None: "x"}, "error: unexpected type: 'None' is not an instance of 'str'"),
    (Pairs((1, "x")), "error: unexpected type: 'int' object is not an instance of 'str'"),
    ([1, {"k": [b"x"]}], "error: invalid type: byte array, expected any valid JSON value"),
    (bytearray(b"x"), "error: unexpected type: 'bytearray' object is not an instance of 'bytes'"),
    (object(), "error: unsupported type object"),
    ((x for x in ()), "error: unsupported type generator"),
    (Inner(), "error: unsupported type Outer.Inner"),
    (Tagged("t"), "error: KeyError: 'kind'"),
    (FakeDataclass(), "error: unexpected type: 'int' object is not an instance of 'dict'"),
    (Items(1, 2, failing="len"), "error: ValueError: len failed"),
    (Items(1, 2, failing="item"), "error: ValueError: item failed"),
    (Items(1, length=sys.maxsize), "error: IndexError: list index out of range"),
    (Pairs(("tool", "t"), failing="values"), "error: ValueError: values failed"),
    ("\ud800", SURROGATE),
    (nest(257), TOO_DEEP),
    (looping_list(), TOO_DEEP),
    ({"a": looping_dict()}, TOO_DEEP),
    (nest(300, {"k": 1}), TOO_DEEP),
    (shrinking_list(), "error: IndexError: list index out of range"),
    # A dict emptied mid-way is converted as it was when its conversion began.
    (emptied_dict(), '{"a":[],"b":["two"]}'),
    (kept_keys(), "error: IndexError: list index out of range"),
    (fragile_point(), "error: KeyError: 'y'"),
    (growing_set(), "error: RuntimeError: Set changed size during iteration"),
])
def test_trace_values(record, value, outcome):
    assert record(value) == outcome


def test_a_failing_abstract_class_test_is_reported_as_unraisable(explain, record, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_type))
    assert explain(NoClass()) == "error: unexpected type: 'NoClass' object is not an instance of 'Mapping'"
    assert reports == [RuntimeError]
    # A value is tested against Sequence, then Mapping; both raise, then nothing else fits.
    assert record(NoClass()) == "error: unsupported type NoClass"
    assert reports == [RuntimeError] * 3


class Interrupt(BaseException):
    """Like KeyboardInterrupt: not an Exception."""


def interrupting():
    """Values whose conversion raises Interrupt, each from another step."""
    def stop(*_):
        raise Interrupt

    class Hidden:  # the dataclass test raises
        __getattr__ = stop

    class Classless:  # the abstract class tests raise
        __class__ = property(stop)

    class Loud(Exception):
        __str__ = stop

    yield Items(on_len=stop)
    yield Pairs(("tool", "t"), failing="keys", error=Interrupt)
    yield Pairs(("tool", "t"), failing="keys", error=Loud)
    yield Hidden()
    yield Classless()


@pytest.mark.parametrize("operation", ["call", "explain", "analyze", "record_trace", "analyze_traces", "threshold"])
def test_interruptions_raised_by_python_code_reach_the_caller_unchanged(load_policy, tmp_path, operation):
    policy = load_policy()
    explainer, analyzer = native.TraceExplainer(policy), native.CoverageAnalyzer(policy)
    client = native.OsselClient(str(tmp_path / "trace.jsonl"))

    class Threshold:
        def __float__(self):
            return explainer.explain([{"args": self.value}])

    def with_threshold(value):
        threshold = Threshold()
        threshold.value = value
        return analyzer.analyze([], threshold)

    run = {
        "call": lambda value: explainer.explain([{"tool": "t"}, value]),
        "explain": lambda value: explainer.explain([{"tool": "t", "args": value}]),
        "analyze": lambda value: analyzer.analyze([[{"tool": "t", "args": value}]], 1.0),
        "record_trace": client.record_trace,
        "analyze_traces": lambda value: analyzer.analyze(Items(on_len=lambda: client.record_trace(value)), 1),
        "threshold": with_threshold,
    }[operation]
    for value in interrupting():
        if operation == "call" and type(value) is Items:
            continue  # not a mapping: refused before any of its code runs
        with pytest.raises(Interrupt):
            run(value)
    assert (tmp_path / "trace.jsonl").read_text() == ""
