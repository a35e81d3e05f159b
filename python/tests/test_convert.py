"""Conversion of Python values end to end: tool calls as TraceExplainer.explain
reads them, trace objects as OsselClient.record_trace writes them."""
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

TOO_DEEP = "value nested more than 256 levels deep"
ABSENT = "<absent>"


@pytest.fixture
def explainer(tmp_path):
    path = tmp_path / "policy.yaml"
    path.write_text('version: "1"\n')
    try:
        policy = native.Policy.from_file(str(path))
    except ValueError as error:
        pytest.skip(f"a policy cannot be loaded in this build: {error}")
    return native.TraceExplainer(policy)


@pytest.fixture
def recorder(tmp_path):
    """Records one value and returns the line written, without its newline."""
    path = tmp_path / "trace.jsonl"
    try:
        client = native.OsselClient(str(path))
    except RuntimeError as error:
        pytest.skip(f"trace files cannot be opened in this build: {error}")

    def record(value):
        before = path.read_text()
        client.record_trace(value)
        written = path.read_text()[len(before):]
        assert written.endswith("\n") and written.count("\n") == 1
        return written[:-1]

    record.path = path
    return record


# --- Values the tests convert -----------------------------------------------------

class Pairs(collections.abc.Mapping):
    """Reports its (key, value) pairs verbatim, repeated and non-str keys included."""

    def __init__(self, *pairs):
        self.pairs = list(pairs)

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return len(self.pairs)

    def keys(self):
        return [key for key, _ in self.pairs]

    def values(self):
        return [value for _, value in self.pairs]


class FailingKeys(Pairs):
    def keys(self):
        raise LookupError("keys are gone")


class Shrinker(collections.abc.Sequence):
    """Empties `victim` when its length is asked for."""

    def __init__(self, victim):
        self.victim = victim

    def __len__(self):
        self.victim.clear()
        return 0

    def __getitem__(self, index):
        raise IndexError(index)


class NoClass:
    """isinstance() against an abstract class raises for this object."""

    @property
    def __class__(self):
        raise RuntimeError("no class")


class Level(enum.IntEnum):
    HIGH = 3


class Text(str):
    pass


@dataclasses.dataclass
class Call:
    tool: object = None
    args: object = None


@dataclasses.dataclass
class Renamed:
    name: object
    arguments: object
    note: object = b"never converted"


@dataclasses.dataclass
class Tagged:
    tool: str
    kind: typing.ClassVar[str] = "tag"


@dataclasses.dataclass
class Point:
    x: object
    y: object


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


def shrinking_list():
    value = [None, "".join(["t", "wo"])]
    value[0] = Shrinker(value)
    return value


# --- Tool calls -----------------------------------------------------------------------

def explained(explainer, trace):
    """(tool, args) of every step; ABSENT for a step without arguments."""
    steps = json.loads(explainer.explain(trace))["steps"]
    return [(step["tool"], step.get("args", ABSENT)) for step in steps]


@pytest.mark.parametrize(
    "call, tool, args",
    [
        ({}, "unknown", ABSENT),
        ({"tool": "read"}, "read", ABSENT),
        ({"name": "read", "args": {"path": "/tmp"}}, "read", {"path": "/tmp"}),
        ({"tool": None, "tool_name": "fallback"}, "fallback", ABSENT),
        ({"tool_name": "second", "tool": "first"}, "first", ABSENT),
        ({"args": None, "params": {"p": 1}}, "unknown", {"p": 1}),
        ({"arguments": [1, 2]}, "unknown", [1, 2]),
        ({"Tool": b"x", "other": object(), "tool": "kept"}, "kept", ABSENT),
        (types.MappingProxyType({"tool": "read", "args": types.MappingProxyType({"k": "v"})}),
         "read", {"k": "v"}),
        (Call("read", {"x": (1, {2})}), "read", {"x": [1, [2]]}),
        (Renamed("write", {"y": 1}), "write", {"y": 1}),
        ({"tool": "t", "args": nest(256)}, "t", nest(256)),
    ],
)
def test_calls_take_their_fields_by_key_and_precedence(explainer, call, tool, args):
    assert explained(explainer, [call]) == [(tool, args)]


@pytest.mark.parametrize(
    "call, message",
    [
        (None, "unexpected type: 'None' is not an instance of 'Mapping'"),
        (1, "unexpected type: 'int' object is not an instance of 'Mapping'"),
        ([("tool", "x")], "unexpected type: 'list' object is not an instance of 'Mapping'"),
        ({1: "x"}, "dict keys must have type str"),
        ({"tool": "a", "name": "b"}, "duplicate field `tool`"),
        ({"tool": None, "name": "b"}, "duplicate field `tool`"),
        (Pairs(("tool_name", "a"), ("tool_name", "b")), "duplicate field `tool_name`"),
        (Pairs(("args", 1), ("args", 2)), "duplicate field `args`"),
        ({"params": 1, "arguments": 2}, "duplicate field `params`"),
        ({"tool": 1}, "unexpected type: 'int' object is not an instance of 'str'"),
        ({"tool_name": ["x"]}, "unexpected type: 'list' object is not an instance of 'str'"),
        ({"args": {1: 2}}, "unexpected type: 'int' object is not an instance of 'str'"),
        ({"args": {"n": 2**64}}, "JSON number out of range"),
        ({"args": b"x"}, "invalid type: byte array, expected any valid JSON value"),
        ({"args": bytearray()}, "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
        ({"params": [object()]}, "unsupported type object"),
        # The first failing key in the mapping's order is the one reported.
        ({"args": b"x", "tool": 1}, "invalid type: byte array, expected any valid JSON value"),
        ({"tool": 1, "args": b"x"}, "unexpected type: 'int' object is not an instance of 'str'"),
        (Tagged("t"), "KeyError: 'kind'"),
        (FailingKeys(), "LookupError: keys are gone"),
        ({"tool": "\udfff"},
         "UnicodeEncodeError: 'utf-8' codec can't encode character '\\udfff' in position 0: "
         "surrogates not allowed"),
        ({"tool": "t", "args": nest(257)}, TOO_DEEP),
        ({"tool": "t", "args": looping_list()}, TOO_DEEP),
        ({"tool": "t", "params": looping_dict()}, TOO_DEEP),
        ({"args": shrinking_list()}, "IndexError: list index out of range"),
    ],
)
def test_unconvertible_calls_name_the_first_failure(explainer, call, message):
    with pytest.raises(ValueError) as raised:
        explainer.explain([{"tool": "fine"}, call])
    assert str(raised.value) == "Invalid tool call format: " + message


def test_a_failing_mapping_test_is_reported_as_unraisable(explainer, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report.exc_type))
    with pytest.raises(ValueError) as raised:
        explainer.explain([NoClass()])
    assert str(raised.value) == ("Invalid tool call format: "
                                 "unexpected type: 'NoClass' object is not an instance of 'Mapping'")
    assert reports == [RuntimeError]


# --- Trace objects ------------------------------------------------------------------

@pytest.mark.parametrize(
    "value, line",
    [
        (None, "null"),
        ([True, False, 1], "[true,false,1]"),
        ({"level": Level.HIGH}, '{"level":3}'),
        ([-2**63, 2**64 - 1], "[-9223372036854775808,18446744073709551615]"),
        ([1.5, 1e16, float("nan"), float("inf"), -float("inf")], "[1.5,1e+16,null,null,null]"),
        ({"b": 1, "a": [Text("x"), "caf\u00e9"]}, '{"b":1,"a":["x","caf\u00e9"]}'),
        (collections.OrderedDict([("z", 1), ("y", 2)]), '{"z":1,"y":2}'),
        (({3},), "[[3]]"),
        (frozenset(), "[]"),
        (range(3), "[0,1,2]"),
        (types.MappingProxyType({"k": None}), '{"k":null}'),
        (Pairs(("a", 1), ("b", 2), ("a", 3)), '{"a":3,"b":2}'),
        (Point(1, Point([], {"k": 2.5})), '{"x":1,"y":{"x":[],"y":{"k":2.5}}}'),
        ({"calls": [Call("read")]}, '{"calls":[{"tool":"read","args":null}]}'),
        (nest(256), "[" * 256 + "0" + "]" * 256),
    ],
)
def test_recorded_values_are_written_as_json(recorder, value, line):
    assert recorder(value) == line


@pytest.mark.parametrize(
    "value, message",
    [
        (2**64, "JSON number out of range"),
        (-2**127, "JSON number out of range"),
        ({"n": 2**128}, "OverflowError: int too big to convert"),
        ({1: "x"}, "unexpected type: 'int' object is not an instance of 'str'"),
        ({None: "x"}, "unexpected type: 'None' is not an instance of 'str'"),
        ([b"x"], "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
        (object(), "unsupported type object"),
        ((x for x in ()), "unsupported type generator"),
        (Tagged("t"), "KeyError: 'kind'"),
        (FailingKeys(), "LookupError: keys are gone"),
        ("\ud800",
         "UnicodeEncodeError: 'utf-8' codec can't encode character '\\ud800' in position 0: "
         "surrogates not allowed"),
        (nest(257), TOO_DEEP),
        (looping_list(), TOO_DEEP),
        ({"a": looping_dict()}, TOO_DEEP),
        (shrinking_list(), "IndexError: list index out of range"),
    ],
)
def test_unconvertible_values_are_refused_and_nothing_is_written(recorder, value, message):
    with pytest.raises(ValueError) as raised:
        recorder(value)
    assert str(raised.value) == "Invalid trace format: " + message
    assert recorder.path.read_text() == ""
