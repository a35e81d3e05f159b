"""TraceExplainer end to end: the explanation of a trace with blocked calls,
how the traces argument is read, the conversion errors of tool calls, and
independence and re-entrancy of explainer objects."""
import collections.abc
import gc
import json

import pytest

import ossel._native as native
from policy_files import load_policy

POLICY = """\
version: "1.0"
name: demo
tools:
  allow: [read_file, write_file, search]
  deny: [delete_file]
sequences:
  - type: before
    first: read_file
    then: write_file
  - type: max_calls
    tool: search
    max: 1
"""


@pytest.fixture
def policy(tmp_path):
    return load_policy(tmp_path, POLICY)


@pytest.fixture
def explainer(policy):
    return native.TraceExplainer(policy)


def ordered(text):
    """The JSON text as nested lists of (key, value) pairs, to check key order."""
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


def before_rule(passed, explanation, first_seen, is_then):
    return {
        "rule_id": "before_read_file_then_write_file",
        "rule_type": "before",
        "passed": passed,
        "explanation": explanation,
        "context": {"first": "read_file", "then": "write_file", "first_seen": first_seen,
                    "is_then_call": is_then},
    }


def max_rule(passed, explanation, count):
    return {
        "rule_id": "max_calls_search_1",
        "rule_type": "max_calls",
        "passed": passed,
        "explanation": explanation,
        "context": {"tool": "search", "max": 1, "current_count": count},
    }


NOT_APPLICABLE = "Not 'write_file', rule not applicable"
TRACE = [
    {"tool": "read_file", "args": {"path": "a.txt"}},
    {"tool": "search"},
    {"tool": "search"},
    {"tool": "delete_file"},
    {"name": "write_file", "params": {"x": 1.5}},
]
EXPECTED = {
    "policy_name": "demo",
    "policy_version": "1.0",
    "total_steps": 5,
    "allowed_steps": 2,
    "blocked_steps": 3,
    "first_block_index": 2,
    "steps": [
        {"index": 0, "tool": "read_file", "args": {"path": "a.txt"}, "verdict": "allowed",
         "rules_evaluated": [before_rule(True, NOT_APPLICABLE, False, False),
                             max_rule(True, "'search' call 0/1", 0)],
         "state_snapshot": {"calls:read_file": "1"}},
        {"index": 1, "tool": "search", "verdict": "allowed",
         "rules_evaluated": [before_rule(True, NOT_APPLICABLE, True, False),
                             max_rule(True, "'search' call 1/1", 1)],
         "state_snapshot": {"calls:read_file": "1", "calls:search": "1"}},
        {"index": 2, "tool": "search", "verdict": "blocked",
         "rules_evaluated": [before_rule(True, NOT_APPLICABLE, True, False),
                             max_rule(False, "'search' exceeded max calls (2 > 1)", 2)],
         "state_snapshot": {"calls:read_file": "1", "calls:search": "2"}},
        {"index": 3, "tool": "delete_file", "verdict": "blocked",
         "rules_evaluated": [
             {"rule_id": "deny_list", "rule_type": "deny", "passed": False,
              "explanation": "Tool 'delete_file' is in deny list"},
             before_rule(True, NOT_APPLICABLE, True, False),
             max_rule(False, "'search' exceeded max calls (2 > 1)", 2)],
         "state_snapshot": {"calls:read_file": "1", "calls:search": "2", "calls:delete_file": "1"}},
        {"index": 4, "tool": "write_file", "args": {"x": 1.5}, "verdict": "blocked",
         "rules_evaluated": [before_rule(True, "'read_file' was called first ✓", True, True),
                             max_rule(False, "'search' exceeded max calls (2 > 1)", 2)],
         "state_snapshot": {"calls:read_file": "1", "calls:search": "2", "calls:delete_file": "1",
                            "calls:write_file": "1"}},
    ],
    "blocking_rules": ["max_calls_search_1", "deny_list"],
}


def test_explains_a_trace_with_blocked_calls(explainer):
    text = explainer.explain(TRACE)
    assert type(text) is str
    assert json.loads(text) == EXPECTED
    top = ordered(text)
    assert [key for key, _ in top] == list(EXPECTED)
    first_step = dict(top)["steps"][0]
    assert [key for key, _ in first_step] == ["index", "tool", "args", "verdict", "rules_evaluated",
                                             "state_snapshot"]


def test_explain_accepts_any_non_text_sequence(explainer):
    class Calls(collections.abc.Sequence):
        def __init__(self, calls):
            self.calls = calls

        def __len__(self):
            raise RuntimeError("the length is only a hint")

        def __getitem__(self, index):
            return self.calls[index]

    expected = json.loads(explainer.explain(TRACE))
    for traces in (tuple(TRACE), Calls(TRACE), collections.deque(TRACE)):
        assert json.loads(explainer.explain(traces)) == expected


def test_empty_trace_has_no_steps_and_no_first_block(explainer):
    assert explainer.explain([]) == (
        '{"policy_name":"demo","policy_version":"1.0","total_steps":0,"allowed_steps":0,'
        '"blocked_steps":0,"steps":[],"blocking_rules":[]}'
    )


class BrokenIteration:
    def __getitem__(self, index):
        raise LookupError("no calls here")


@pytest.mark.parametrize(
    "traces, error_type, message",
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        ({"tool": "x"}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        ({"tool"}, TypeError, "'set' object is not an instance of 'Sequence'"),
        ((c for c in TRACE), TypeError, "'generator' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        (3, TypeError, "'int' object is not an instance of 'Sequence'"),
        (BrokenIteration(), LookupError, "no calls here"),
    ],
    ids=["str", "dict", "set", "generator", "None", "int", "raising iteration"],
)
def test_traces_that_are_not_sequences_carry_the_traces_note(explainer, traces, error_type, message):
    with pytest.raises(error_type) as raised:
        explainer.explain(traces)
    assert type(raised.value) is error_type
    assert str(raised.value) == message
    assert raised.value.__notes__ == ["while processing 'traces'"]


@pytest.mark.parametrize(
    "trace, message",
    [
        ([{"tool": "a"}, 5], "unexpected type: 'int' object is not an instance of 'Mapping'"),
        ([None], "unexpected type: 'None' is not an instance of 'Mapping'"),
        ([{"tool": 1}], "unexpected type: 'int' object is not an instance of 'str'"),
        ([{"tool": "a", "name": "b"}], "duplicate field `tool`"),
        ([{"tool": "a", "args": b"x"}], "invalid type: byte array, expected any valid JSON value"),
        ([{"args": {"n": 2**64}}], "JSON number out of range"),
    ],
)
def test_unconvertible_calls_are_value_errors_without_note(explainer, trace, message):
    with pytest.raises(ValueError) as raised:
        explainer.explain(trace)
    assert type(raised.value) is ValueError
    assert str(raised.value) == "Invalid tool call format: " + message
    assert not getattr(raised.value, "__notes__", None)


def test_self_containing_arguments_are_refused_not_recursed_forever(explainer):
    looped_list = []
    looped_list.append(looped_list)
    looped_dict = {}
    looped_dict["self"] = looped_dict
    for value in (looped_list, looped_dict):
        with pytest.raises(ValueError) as raised:
            explainer.explain([{"tool": "read_file", "args": value}])
        assert str(raised.value).startswith("Invalid tool call format: ")
    assert json.loads(explainer.explain(TRACE)) == EXPECTED


def test_explainers_keep_their_own_copy_of_the_policy(policy):
    first = native.TraceExplainer(policy)
    second = native.TraceExplainer(policy)
    del policy
    gc.collect()
    assert json.loads(first.explain(TRACE)) == EXPECTED
    assert first.explain([{"tool": "search"}]) == second.explain([{"tool": "search"}])


def test_explain_called_again_from_inside_a_conversion(explainer):
    inner_results = []

    class ReentrantCall(collections.abc.Mapping):
        def __init__(self):
            self.data = {"tool": "search"}

        def __getitem__(self, key):
            return self.data[key]

        def __iter__(self):
            return iter(self.data)

        def __len__(self):
            inner_results.append(explainer.explain(TRACE))
            return len(self.data)

        def keys(self):
            inner_results.append(explainer.explain(TRACE))
            return list(self.data)

    outer = json.loads(explainer.explain([{"tool": "read_file"}, ReentrantCall()]))
    assert inner_results, "the conversion called back into Python"
    for inner in inner_results:
        assert json.loads(inner) == EXPECTED
    assert [step["tool"] for step in outer["steps"]] == ["read_file", "search"]
    assert outer["blocked_steps"] == 0
